// Test tool: opens a popup menu shaped like the tray menu, with texts given as
// UTF-16 code units in hex ("4b,45,4c,4f"), at a given point, so that a test can
// compare its pixels with the tray program's menu. Ends when the menu closes.
//   reference_menu.exe X Y TITLE_HEX EXIT_HEX
#include "common/unique_owner_win.h"
#include "common/windows_include.h"

#include <shellapi.h>

#include <cwchar>
#include <string>

namespace {

std::wstring FromHex(const wchar_t* hex) {
  std::wstring text;
  const wchar_t* p = hex;
  while (*p != L'\0') {
    wchar_t* end = nullptr;
    const unsigned long unit = std::wcstoul(p, &end, 16);
    if (end == p) break;
    text.push_back(static_cast<wchar_t>(unit));
    p = (*end == L',') ? end + 1 : end;
  }
  return text;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  const UniqueLocal argvBlock(argv);
  if (argv == nullptr || argc < 5) return 2;
  const int x = _wtoi(argv[1]);
  const int y = _wtoi(argv[2]);
  const std::wstring title = FromHex(argv[3]);
  const std::wstring exitText = FromHex(argv[4]);

  WNDCLASSW wndClass = {};
  wndClass.lpfnWndProc = DefWindowProcW;
  wndClass.hInstance = instance;
  wndClass.lpszClassName = L"ReferenceMenuWindow";
  (void)RegisterClassW(&wndClass);
  HWND window = CreateWindowExW(0, wndClass.lpszClassName, L"", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                100, 100, nullptr, nullptr, instance, nullptr);
  UniqueMenu menu(CreatePopupMenu());
  if (!menu) return 3;
  (void)AppendMenuW(menu.Get(), MF_STRING, 104, title.c_str());
  (void)AppendMenuW(menu.Get(), MF_SEPARATOR, 0, nullptr);
  (void)AppendMenuW(menu.Get(), MF_STRING, 105, exitText.c_str());
  (void)SetForegroundWindow(window);
  (void)TrackPopupMenu(menu.Get(), 0, x, y, 0, window, nullptr);
  (void)DestroyWindow(window);
  return 0;
}
