// Bounded reads of regular files.
#include "linux_agent/file_read_posix.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>

bool IsRegularFileWithin(int fd, size_t limit) {
  struct stat st;
  return fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0 &&
         static_cast<uint64_t>(st.st_size) <= limit;
}

std::optional<std::string> ReadRegularFile(int fd, size_t limit) {
  struct stat st;
  if (!IsRegularFileWithin(fd, limit) || fstat(fd, &st) != 0) return std::nullopt;
  std::string bytes(static_cast<size_t>(st.st_size), '\0');
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = read(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;  // shorter than it was a moment ago
    done += static_cast<size_t>(n);
  }
  return bytes;
}
