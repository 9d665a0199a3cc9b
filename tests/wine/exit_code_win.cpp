// Test tool: runs the command line in the environment variable KELO_COMMAND_LINE
// exactly as written (Wine would re-quote arguments given to it) and prints the
// whole exit code, which Wine cuts to its low 8 bits on the way out.
//   exit_code.exe        prints "exit=<code>"; its own exit code is 0 when it could run it
#include "common/unique_owner_win.h"

#include <cstdio>
#include <vector>

int wmain() {
  const DWORD length = GetEnvironmentVariableW(L"KELO_COMMAND_LINE", nullptr, 0);
  if (length == 0) {
    std::fprintf(stderr, "KELO_COMMAND_LINE is not set\n");
    return 2;
  }
  std::vector<wchar_t> commandLine(length);
  (void)GetEnvironmentVariableW(L"KELO_COMMAND_LINE", commandLine.data(), length);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    std::fprintf(stderr, "CreateProcessW failed: %lu\n", GetLastError());
    return 1;
  }
  UniqueHandle process(info.hProcess);
  UniqueHandle thread(info.hThread);
  (void)WaitForSingleObject(process.Get(), INFINITE);
  DWORD code = 0;
  if (!GetExitCodeProcess(process.Get(), &code)) return 1;
  std::printf("exit=%lu\n", code);
  return 0;
}
