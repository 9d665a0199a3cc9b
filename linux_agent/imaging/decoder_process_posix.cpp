// posix_spawn with a clean environment, signal mask and descriptor table; the
// answer read through a pipe against a deadline.
#include "linux_agent/imaging/decoder_process_posix.h"

#include "linux_agent/file_read_posix.h"
#include "linux_agent/image_decoder/decoder_protocol.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Reads exactly length bytes unless the pipe ends or the deadline passes.
enum class Received { kAll, kEnded, kLate, kFailed };

Received ReadExactly(int fd, void* data, size_t length, Clock::time_point deadline) {
  char* p = static_cast<char*>(data);
  while (length > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return Received::kLate;
    pollfd wait = {fd, POLLIN, 0};
    const int ready = poll(&wait, 1, static_cast<int>(left < INT_MAX ? left : INT_MAX));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return Received::kFailed;
    if (ready == 0) return Received::kLate;
    const ssize_t n = read(fd, p, length);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) return Received::kFailed;
    if (n == 0) return Received::kEnded;
    p += n;
    length -= static_cast<size_t>(n);
  }
  return Received::kAll;
}

// How the process ended, waiting until the deadline and then killing it.
std::string Reap(pid_t pid, Clock::time_point deadline, bool& answeredAndExited) {
  int status = 0;
  answeredAndExited = false;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) return "waiting for it failed: " + std::string(std::strerror(errno));
    if (Clock::now() >= deadline) {
      (void)kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      return "killed after the deadline";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (WIFSIGNALED(status)) return "ended by signal " + std::to_string(WTERMSIG(status));
  if (WIFEXITED(status) && WEXITSTATUS(status) != 0) return "exit status " + std::to_string(WEXITSTATUS(status));
  answeredAndExited = true;
  return std::string();
}

class SpawnSetup {
 public:
  SpawnSetup() {
    (void)posix_spawn_file_actions_init(&actions_);
    (void)posix_spawnattr_init(&attr_);
  }
  ~SpawnSetup() {
    (void)posix_spawn_file_actions_destroy(&actions_);
    (void)posix_spawnattr_destroy(&attr_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  // Standard input is the image, standard output the pipe, standard error
  // nowhere, and nothing else is open. The agent's blocked signals (it takes
  // SIGTERM by sigwait) and its ignored SIGPIPE are not passed on.
  bool Prepare(int input, int output) {
    sigset_t none;
    sigset_t all;
    (void)sigemptyset(&none);
    (void)sigfillset(&all);
    (void)sigdelset(&all, SIGKILL);
    (void)sigdelset(&all, SIGSTOP);
    return posix_spawn_file_actions_adddup2(&actions_, input, STDIN_FILENO) == 0 &&
           posix_spawn_file_actions_adddup2(&actions_, output, STDOUT_FILENO) == 0 &&
           posix_spawn_file_actions_addopen(&actions_, STDERR_FILENO, "/dev/null", O_WRONLY, 0) == 0 &&
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
           posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1) == 0 &&
#endif
           posix_spawnattr_setsigmask(&attr_, &none) == 0 && posix_spawnattr_setsigdefault(&attr_, &all) == 0 &&
           posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;
  }
  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attr() const { return &attr_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attr_;
};

}  // namespace

std::string DefaultDecoderPath() {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "/usr/libexec/kelo-print-agent/kelo-image-decoder";
  std::string dir(self, static_cast<size_t>(n));
  dir.erase(dir.find_last_of('/') + 1);
  return dir + "../libexec/kelo-print-agent/kelo-image-decoder";
}

DecodeResult DecoderProcess::Decode(int imageFd, const DecodeLimits& limits, LabelBitmap& out,
                                    std::string& detail) const {
  out = LabelBitmap();
  detail.clear();
  const Clock::time_point deadline = Clock::now() + deadline_;
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    detail = "no pipe: " + std::string(std::strerror(errno));
    return DecodeResult::kDecoderFailed;
  }
  const UniqueFd answer(ends[0]);
  UniqueFd writeEnd(ends[1]);
  SpawnSetup setup;
  if (!setup.Prepare(imageFd, writeEnd.Get())) {
    detail = "the process could not be prepared";
    return DecodeResult::kDecoderFailed;
  }
  const std::string pixels = std::to_string(limits.maxPixels);
  const std::string bytes = std::to_string(limits.maxBytes);
  char* const argv[] = {const_cast<char*>(path_.c_str()), const_cast<char*>(pixels.c_str()),
                        const_cast<char*>(bytes.c_str()), nullptr};
  char* const environment[] = {nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, path_.c_str(), setup.actions(), setup.attr(), argv, environment);
  (void)close(writeEnd.Release());  // only the child holds the write end now: its exit ends the pipe
  if (spawned != 0) {
    detail = "cannot start " + path_ + ": " + std::strerror(spawned);
    return DecodeResult::kDecoderFailed;
  }

  DecodedHeader header{};
  Received received = ReadExactly(answer.Get(), &header, sizeof header, deadline);
  std::string problem;
  LabelBitmap bitmap;
  DecodeResult result = DecodeResult::kDecoderFailed;
  if (received != Received::kAll) {
    problem = received == Received::kLate ? "no answer within the deadline" : "no answer";
  } else if (std::memcmp(header.magic, kDecodedMagic, sizeof header.magic) != 0 ||
             header.result > static_cast<uint32_t>(DecodeResult::kOutOfMemory)) {
    problem = "an answer that is not one";
  } else if (static_cast<DecodeResult>(header.result) != DecodeResult::kOk) {
    result = static_cast<DecodeResult>(header.result);
  } else {
    const uint64_t count = uint64_t{header.width} * header.height;
    // Trusted no more than the image: a bitmap over the limits is refused unread.
    if (count == 0 || count > limits.maxPixels || count > limits.maxBytes / sizeof(uint32_t)) {
      problem = "a bitmap over its limits";
    } else {
      bitmap.pixels.reset(static_cast<uint32_t*>(std::malloc(static_cast<size_t>(count) * sizeof(uint32_t))));
      if (!bitmap.pixels) {
        problem = "no memory for the bitmap";
      } else if ((received = ReadExactly(answer.Get(), bitmap.pixels.get(), static_cast<size_t>(count) * 4,
                                         deadline)) != Received::kAll) {
        problem = received == Received::kLate ? "the bitmap did not arrive within the deadline"
                                              : "the bitmap was cut short";
      } else {
        bitmap.width = header.width;
        bitmap.height = header.height;
        result = DecodeResult::kOk;
      }
    }
  }
  // After a problem the process only gets a moment to end: one that crashed
  // closes its pipe just before it can be reaped.
  const Clock::time_point grace = Clock::now() + std::chrono::milliseconds(200);
  bool exited = false;
  const std::string ending = Reap(pid, problem.empty() || grace > deadline ? deadline : grace, exited);
  if (!problem.empty() || !exited) {
    detail = problem.empty() ? ending : (ending.empty() ? problem : problem + ", " + ending);
    return DecodeResult::kDecoderFailed;
  }
  if (result == DecodeResult::kOk) out = std::move(bitmap);
  return result;
}
