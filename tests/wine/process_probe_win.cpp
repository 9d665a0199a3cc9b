// Test tool: the handle count and memory of running processes by executable name,
// as Windows reports them.
//   process_probe NAME.exe    one line per process: pid, handles, private and working set bytes
#include "common/unique_owner_win.h"

#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// One entry of the system's handle table (SystemHandleInformation, class 16).
struct HandleEntry {
  ULONG processId;
  UCHAR objectType;
  UCHAR flags;
  USHORT handle;
  PVOID object;
  ACCESS_MASK access;
};

// Wine answers GetProcessHandleCount with 0; the system's handle table has the truth.
DWORD HandlesFromSystemTable(DWORD processId) {
  using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
  auto query = reinterpret_cast<Query>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return 0;
  constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
  std::vector<BYTE> buffer(1 << 16);
  LONG status = kInfoLengthMismatch;
  for (int attempt = 0; attempt < 12 && status == kInfoLengthMismatch; ++attempt) {
    ULONG needed = 0;
    status = query(16, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
    if (status == kInfoLengthMismatch) buffer.resize(buffer.size() * 2);
  }
  if (status != 0) return 0;
  const ULONG count = *reinterpret_cast<const ULONG*>(buffer.data());
  const auto* entries = reinterpret_cast<const HandleEntry*>(buffer.data() + sizeof(ULONG_PTR));
  DWORD handles = 0;
  for (ULONG i = 0; i < count; ++i) handles += entries[i].processId == processId ? 1 : 0;
  return handles;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: process_probe NAME.exe\n");
    return 2;
  }
  // Fails with INVALID_HANDLE_VALUE, as files do.
  UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return 1;
  const std::wstring name(argv[1], argv[1] + std::strlen(argv[1]));
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  int found = 0;
  for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry)) {
    if (lstrcmpiW(entry.szExeFile, name.c_str()) != 0) continue;
    UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry.th32ProcessID));
    if (!process) continue;
    DWORD handles = 0;
    if (!GetProcessHandleCount(process.Get(), &handles) || handles == 0) {
      handles = HandlesFromSystemTable(entry.th32ProcessID);
    }
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof(memory);
    (void)GetProcessMemoryInfo(process.Get(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof(memory));
    std::printf("pid=%lu handles=%lu private=%lu working=%lu\n", entry.th32ProcessID, handles,
                static_cast<unsigned long>(memory.PrivateUsage), static_cast<unsigned long>(memory.WorkingSetSize));
    ++found;
  }
  return found > 0 ? 0 : 1;
}
