// The per-user directory of stored images on POSIX systems.
#pragma once

#include "linux_agent/file_read_posix.h"
#include "print_service/imaging/temp_image.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// $XDG_RUNTIME_DIR/kelo when XDG_RUNTIME_DIR names an absolute path, otherwise
// /tmp/kelo-<uid>.
std::string ImageDirectoryPath();

// An open handle on the directory, which is made (mode 0700) when missing and
// used only when it is a real directory, not a link, owned by this user, with
// no access for anyone else: in a shared /tmp another user may have made it
// first, and must not see or plant what we store.
class ImageDirectory {
 public:
  // nullopt with the reason when the directory is missing and cannot be made,
  // or may not be used.
  static std::optional<ImageDirectory> Open(const std::string& path, std::string& reason);
  ImageDirectory(ImageDirectory&&) noexcept = default;
  ImageDirectory& operator=(ImageDirectory&&) = delete;
  ImageDirectory(const ImageDirectory&) = delete;

  const std::string& path() const { return path_; }
  // name inside the directory, never followed if it is a link; 0600, truncated
  // when it exists. The errno value, 0 when every byte was written.
  int Write(const std::string& name, std::string_view bytes) const;
  // A regular file of at most limit bytes; nullopt otherwise.
  std::optional<std::string> Read(const std::string& name, size_t limit) const;
  // The same file opened for reading (blocking) by another process; -1 inside
  // when it is not a regular file of at most limit bytes.
  UniqueFd OpenForReading(const std::string& name, size_t limit) const;
  // Entries "tempKL_*.JPG", with their modification times and whether each is a directory.
  std::vector<FoundFile> ListStoredImages() const;
  bool Remove(const std::string& name) const;

 private:
  ImageDirectory(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  UniqueFd fd_;
  std::string path_;
};
