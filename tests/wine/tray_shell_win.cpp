// Test tool: plays the shell's part towards the tray program's icon.
//   tray_shell.exe forget      deletes the icon of the "TrayWndClass" window, as a
//                              restarting shell loses every icon
//   tray_shell.exe restarted   broadcasts "TaskbarCreated", as a new taskbar does
#include "common/windows_include.h"

#include <shellapi.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  if (std::wcscmp(argv[1], L"forget") == 0) {
    NOTIFYICONDATAW nid = {};
    nid.cbSize = sizeof(nid);
    nid.hWnd = FindWindowW(L"TrayWndClass", nullptr);
    nid.uID = 1000;
    if (nid.hWnd == nullptr) {
      std::fprintf(stderr, "no TrayWndClass window\n");
      return 1;
    }
    return Shell_NotifyIconW(NIM_DELETE, &nid) ? 0 : 1;
  }
  if (std::wcscmp(argv[1], L"restarted") == 0) {
    const UINT message = RegisterWindowMessageW(L"TaskbarCreated");
    return message != 0 && PostMessageW(HWND_BROADCAST, message, 0, 0) ? 0 : 1;
  }
  return 2;
}
