// KeloTrayClose: run by the installer before it replaces or removes the tray
// program's file. Asks every running KeloPrintService to close (WM_CLOSE to its
// hidden window, which ends it as Exit does), waits for them, and forces only
// those still running after the grace period. Exit code: how many were forced.
#include "common/unique_owner_win.h"
#include "print_service/tray/tray_window_win.h"

#include <tlhelp32.h>

#include <vector>

namespace {

// Exit lets requests in progress finish for up to 3 s; a print job may be
// slower, and an installer can afford to wait a little longer than that.
constexpr DWORD kGraceMs = 10000;

bool IsTrayProgram(const wchar_t* exeName) { return lstrcmpiW(exeName, L"KeloPrintService.exe") == 0; }

std::vector<DWORD> TrayProcessIds() {
  std::vector<DWORD> ids;
  UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return ids;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry)) {
    if (IsTrayProgram(entry.szExeFile)) ids.push_back(entry.th32ProcessID);
  }
  return ids;
}

struct CloseRequest {
  const std::vector<DWORD>* ids;
};

BOOL CALLBACK AskToClose(HWND window, LPARAM param) {
  const auto* request = reinterpret_cast<const CloseRequest*>(param);
  DWORD pid = 0;
  (void)GetWindowThreadProcessId(window, &pid);
  wchar_t className[64] = {};
  if (GetClassNameW(window, className, 64) == 0 || lstrcmpW(className, kTrayWindowClass) != 0) return TRUE;
  for (DWORD id : *request->ids) {
    if (id == pid) (void)PostMessageW(window, WM_CLOSE, 0, 0);  // a window of another desktop is not seen at all
  }
  return TRUE;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const std::vector<DWORD> ids = TrayProcessIds();
  if (ids.empty()) return 0;
  std::vector<UniqueHandle> processes;
  for (DWORD id : ids) {
    UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, id));
    if (process) processes.push_back(std::move(process));
  }
  CloseRequest request{&ids};
  (void)EnumWindows(AskToClose, reinterpret_cast<LPARAM>(&request));

  const DWORD start = GetTickCount();
  int forced = 0;
  for (UniqueHandle& process : processes) {
    const DWORD elapsed = GetTickCount() - start;
    const DWORD left = elapsed < kGraceMs ? kGraceMs - elapsed : 0;
    if (WaitForSingleObject(process.Get(), left) == WAIT_OBJECT_0) continue;
    // Another user's tray (its window lies on another desktop) or one that hangs.
    if (TerminateProcess(process.Get(), 1)) ++forced;
    (void)WaitForSingleObject(process.Get(), 2000);  // the file stays in use until it has gone
  }
  return forced;
}
