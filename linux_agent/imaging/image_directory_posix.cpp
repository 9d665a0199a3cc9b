// Stored images through a directory descriptor: every name is opened relative to
// the directory that was checked, never through a path that could be swapped.
#include "linux_agent/imaging/image_directory_posix.h"

#include "linux_agent/file_read_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr std::string_view kPrefix = "tempKL_";
constexpr std::string_view kSuffix = ".JPG";

bool IsStoredImageName(std::string_view name) {
  return name.size() > kPrefix.size() + kSuffix.size() && name.substr(0, kPrefix.size()) == kPrefix &&
         name.substr(name.size() - kSuffix.size()) == kSuffix;
}

uint64_t ModificationTime(const struct stat& st) {
#ifdef __APPLE__
  const struct timespec t = st.st_mtimespec;
#else
  const struct timespec t = st.st_mtim;
#endif
  return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_nsec);
}

}  // namespace

std::string ImageDirectoryPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/kelo";
  return "/tmp/kelo-" + std::to_string(static_cast<unsigned long>(geteuid()));
}

std::optional<ImageDirectory> ImageDirectory::Open(const std::string& path, std::string& reason) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    reason = std::string("cannot be made: ") + std::strerror(errno);
    return std::nullopt;
  }
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    reason = errno == ELOOP || errno == ENOTDIR ? "is not a directory" : std::string("cannot be opened: ") +
                                                                             std::strerror(errno);
    return std::nullopt;
  }
  ImageDirectory directory(fd, path);
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode)) {
    reason = "is not a directory";
    return std::nullopt;
  }
  if (st.st_uid != geteuid()) {
    reason = "belongs to another user";
    return std::nullopt;
  }
  if ((st.st_mode & 0777) != 0700) {
    reason = "may be reached by other users (mode must be 0700)";
    return std::nullopt;
  }
  return directory;
}

int ImageDirectory::Write(const std::string& name, std::string_view bytes) const {
  UniqueFd file(openat(fd_.Get(), name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (file.Get() < 0) return errno;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(file.Get(), bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    done += static_cast<size_t>(n);
  }
  return close(file.Release()) == 0 ? 0 : errno;
}

std::optional<std::string> ImageDirectory::Read(const std::string& name, size_t limit) const {
  const UniqueFd file = OpenForReading(name, limit);
  return ReadRegularFile(file.Get(), limit);
}

UniqueFd ImageDirectory::OpenForReading(const std::string& name, size_t limit) const {
  UniqueFd file(openat(fd_.Get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!IsRegularFileWithin(file.Get(), limit)) return UniqueFd();
  // O_NONBLOCK kept a fifo in the file's place from blocking the open; a regular
  // file is read as any other.
  const int flags = fcntl(file.Get(), F_GETFL);
  if (flags < 0 || fcntl(file.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return UniqueFd();
  return file;
}

std::vector<FoundFile> ImageDirectory::ListStoredImages() const {
  std::vector<FoundFile> files;
  // The listing gets a descriptor of its own: closedir closes it.
  UniqueFd listFd(openat(fd_.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (listFd.Get() < 0) return files;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(fdopendir(listFd.Get()), closedir);
  if (!dir) return files;
  (void)listFd.Release();  // closedir closes it now
  while (const struct dirent* entry = readdir(dir.get())) {
    const std::string_view name(entry->d_name);
    if (!IsStoredImageName(name)) continue;
    struct stat st;
    if (fstatat(fd_.Get(), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    files.push_back({std::wstring(name.begin(), name.end()), ModificationTime(st), S_ISDIR(st.st_mode)});
  }
  return files;
}

bool ImageDirectory::Remove(const std::string& name) const { return unlinkat(fd_.Get(), name.c_str(), 0) == 0; }
