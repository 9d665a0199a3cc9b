// The decoder's confinement, tried in forked children: what it allows works,
// anything else kills the process.
#include "linux_agent/image_decoder/decoder_sandbox_linux.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>

namespace {

constexpr uint64_t kBound = 64u << 20;

// Runs `attempt` confined in a child; its wait status.
int RunConfined(const std::function<int()>& attempt) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (!EnterDecoderSandbox(kBound, 1)) _exit(100);
    _exit(attempt());
  }
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  return status;
}

int Touch(size_t bytes) {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return 7;
  std::memset(p, 1, bytes);
  return munmap(p, bytes) == 0 ? 0 : 8;
}

TEST(DecoderSandbox, AllowsItsWorkAndKillsAnythingElse) {
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  const int writeEnd = pipeEnds[1];
  const struct {
    const char* name;
    std::function<int()> attempt;
    int signal;    // the signal that must end it, or 0
    int exitCode;  // else its exit status
  } rows[] = {
      {"writing to a descriptor it has", [&] { return write(writeEnd, "x", 1) == 1 ? 0 : 9; }, 0, 0},
      {"memory within the bound", [] { return Touch(16u << 20); }, 0, 0},
      {"memory past the bound", [] { return Touch(kBound + (64u << 20)); }, 0, 7},
      {"opening a file", [] { return open("/etc/hostname", O_RDONLY) >= 0 ? 0 : 9; }, SIGSYS, 0},
      {"making a socket", [] { return socket(AF_INET, SOCK_STREAM, 0) >= 0 ? 0 : 9; }, SIGSYS, 0},
      {"starting a program", [] {
         char* const argv[] = {const_cast<char*>("/bin/true"), nullptr};
         return execv("/bin/true", argv) == 0 ? 0 : 9;
       }, SIGSYS, 0},
      {"making a child", [] { return fork() >= 0 ? 0 : 9; }, SIGSYS, 0},
      {"executable memory", [] {
         void* p = mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
         return p == MAP_FAILED ? 9 : 0;
       }, SIGSYS, 0},
      {"running past its CPU time", [] {
         for (volatile uint64_t i = 0;; ++i) {
         }
         return 0;
       }, SIGXCPU, 0},
  };
  for (const auto& row : rows) {
    const int status = RunConfined(row.attempt);
    if (row.signal != 0) {
      ASSERT_TRUE(WIFSIGNALED(status)) << row.name << ": exit " << WEXITSTATUS(status);
      EXPECT_EQ(WTERMSIG(status), row.signal) << row.name;
    } else {
      ASSERT_TRUE(WIFEXITED(status)) << row.name << ": signal " << WTERMSIG(status);
      EXPECT_EQ(WEXITSTATUS(status), row.exitCode) << row.name;
    }
  }
  close(pipeEnds[0]);
  close(pipeEnds[1]);
}

}  // namespace
