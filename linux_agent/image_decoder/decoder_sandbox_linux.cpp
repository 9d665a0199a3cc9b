// rlimits, no_new_privs and a seccomp filter written out as classic BPF.
#include "linux_agent/image_decoder/decoder_sandbox_linux.h"

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <vector>

namespace {

#if defined(__x86_64__)
constexpr uint32_t kArch = AUDIT_ARCH_X86_64;
#elif defined(__i386__)
constexpr uint32_t kArch = AUDIT_ARCH_I386;
#elif defined(__aarch64__)
constexpr uint32_t kArch = AUDIT_ARCH_AARCH64;
#elif defined(__arm__)
constexpr uint32_t kArch = AUDIT_ARCH_ARM;
#else
#error "the decoder's system-call filter knows no other architecture"
#endif

// Headroom over the address space at the call: the stack and the libraries'
// small allocations.
constexpr uint64_t kSlackBytes = 32u << 20;

// The address space now, from /proc/self/statm (its first field, in pages).
uint64_t AddressSpaceBytes() {
  const int fd = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[128] = {};
  const ssize_t n = read(fd, text, sizeof text - 1);
  (void)close(fd);
  unsigned long long pages = 0;
  if (n <= 0 || std::sscanf(text, "%llu", &pages) != 1) return 0;
  return pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

bool Limit(int resource, uint64_t soft, uint64_t hard) {
  const struct rlimit limit = {static_cast<rlim_t>(soft), static_cast<rlim_t>(hard)};
  return setrlimit(resource, &limit) == 0;
}

sock_filter Statement(uint16_t code, uint32_t k) { return sock_filter{code, 0, 0, k}; }
sock_filter Jump(uint16_t code, uint32_t k, uint8_t ifTrue, uint8_t ifFalse) {
  return sock_filter{code, ifTrue, ifFalse, k};
}

std::vector<sock_filter> Filter() {
  // Reading input and writing output, memory, and the ways out (the sanitizers'
  // runtime takes down its signal stack on the way).
  const uint32_t allowed[] = {
      SYS_read, SYS_write, SYS_close, SYS_lseek, SYS_brk, SYS_munmap, SYS_mremap, SYS_madvise,
      SYS_exit, SYS_exit_group, SYS_rt_sigreturn, SYS_sigaltstack,
#ifdef SYS_sigreturn
      SYS_sigreturn,
#endif
#ifdef SYS__llseek
      SYS__llseek,
#endif
  };
  // Mapped or protected memory is allowed only without PROT_EXEC.
  const uint32_t mapping[] = {
      SYS_mmap, SYS_mprotect,
#ifdef SYS_mmap2
      SYS_mmap2,
#endif
  };
  constexpr uint32_t kKill = SECCOMP_RET_KILL_PROCESS;
  std::vector<sock_filter> f;
  f.push_back(Statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)));
  f.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0));
  f.push_back(Statement(BPF_RET | BPF_K, kKill));
  f.push_back(Statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
#if defined(__x86_64__)
  // x32 calls carry this bit: none is allowed.
  f.push_back(Jump(BPF_JMP | BPF_JGE | BPF_K, 0x40000000u, 0, 1));
  f.push_back(Statement(BPF_RET | BPF_K, kKill));
#endif
  for (const uint32_t nr : allowed) {
    f.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, nr, 0, 1));
    f.push_back(Statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  }
  for (const uint32_t nr : mapping) {
    // nr matches: check the protection (the low word of the third argument).
    f.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, nr, 0, 4));
    f.push_back(Statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args) + 2 * sizeof(uint64_t)));
    f.push_back(Jump(BPF_JMP | BPF_JSET | BPF_K, PROT_EXEC, 0, 1));
    f.push_back(Statement(BPF_RET | BPF_K, kKill));
    f.push_back(Statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  }
  f.push_back(Statement(BPF_RET | BPF_K, kKill));
  return f;
}

}  // namespace

bool EnterDecoderSandbox(uint64_t maxBytes, unsigned cpuSeconds) {
  const uint64_t now = AddressSpaceBytes();
  if (now == 0 || maxBytes > UINT64_MAX - now - kSlackBytes) return false;
  // SIGXCPU at the soft limit, SIGKILL a second later.
  if (!Limit(RLIMIT_AS, now + maxBytes + kSlackBytes, now + maxBytes + kSlackBytes) ||
      !Limit(RLIMIT_CPU, cpuSeconds, cpuSeconds + 1) || !Limit(RLIMIT_FSIZE, 0, 0) || !Limit(RLIMIT_CORE, 0, 0) ||
      !Limit(RLIMIT_NOFILE, 3, 3)) {
    return false;
  }
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return false;
  std::vector<sock_filter> filter = Filter();
  const sock_fprog program = {static_cast<unsigned short>(filter.size()), filter.data()};
  return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program, 0, 0) == 0;
}
