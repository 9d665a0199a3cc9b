// Owning POSIX file descriptors and reading small regular files through them.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <optional>
#include <string>

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) (void)close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&&) = delete;
  int Get() const { return fd_; }
  // Gives the descriptor up, for a caller that closes it and wants the result.
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Whether fd is a regular file of at most limit bytes.
bool IsRegularFileWithin(int fd, size_t limit);

// The whole file behind fd when it is a regular file of at most limit bytes;
// nullopt for anything else (a pipe, a device, a directory), a larger file or a
// read that fails or ends early. Open it with O_NONBLOCK, so that a pipe put in
// a file's place is never waited for.
std::optional<std::string> ReadRegularFile(int fd, size_t limit);
