// Window procedure of the hidden tray window: icon, menu, Exit.
#include "print_service/tray/tray_window_win.h"

#include "common/unique_owner_win.h"
#include "print_service/tray/tray_texts.h"

#include <shellapi.h>

#include <cwchar>

HWND trayWindow = nullptr;
HINSTANCE moduleInstance = nullptr;

namespace {

// At logon the shell may not take icons yet, so a failed add is retried.
constexpr UINT_PTR kAddRetryTimer = 1;
constexpr UINT kAddRetryMilliseconds = 2000;

// Sent to every top-level window when the taskbar is (re)created: the icon must be added again.
UINT TaskbarCreatedMessage() {
  static const UINT message = RegisterWindowMessageW(L"TaskbarCreated");
  return message;
}

void AddTrayIconOrRetry() {
  if (AddTrayIcon()) {
    (void)KillTimer(trayWindow, kAddRetryTimer);  // may not exist; nothing to undo
  } else {
    (void)SetTimer(trayWindow, kAddRetryTimer, kAddRetryMilliseconds, nullptr);
  }
}

void ShowTrayMenu() {
  UniqueMenu menu(CreatePopupMenu());
  if (!menu) return;
  const TrayTexts& texts = GetTrayTexts();
  (void)AppendMenuW(menu.Get(), MF_STRING, kMenuTitleCommand, texts.menuTitle);
  (void)AppendMenuW(menu.Get(), MF_SEPARATOR, 0, nullptr);
  (void)AppendMenuW(menu.Get(), MF_STRING, kMenuExitCommand, texts.exitText);

  POINT pt = {};
  (void)GetCursorPos(&pt);
  // Without the foreground the menu would not close when the user clicks elsewhere.
  (void)SetForegroundWindow(trayWindow);
  (void)TrackPopupMenu(menu.Get(), 0, pt.x, pt.y, 0, trayWindow, nullptr);
  // Lets the menu close properly when it is opened again right away.
  (void)PostMessageW(trayWindow, WM_NULL, 0, 0);
}

// A balloon from the icon, in the user's language; shown once the shell takes it.
void ShowPortHeldNotice() {
  NOTIFYICONDATAW nid = {};
  nid.cbSize = sizeof(nid);
  nid.hWnd = trayWindow;
  nid.uID = kTrayIconId;
  nid.uFlags = NIF_INFO;
  nid.dwInfoFlags = NIIF_WARNING;
  const TrayTexts& texts = GetTrayTexts();
  (void)swprintf(nid.szInfoTitle, sizeof(nid.szInfoTitle) / sizeof(nid.szInfoTitle[0]), L"%ls", texts.tipText);
  (void)swprintf(nid.szInfo, sizeof(nid.szInfo) / sizeof(nid.szInfo[0]), L"%ls", texts.portHeldText);
  (void)Shell_NotifyIconW(NIM_MODIFY, &nid);  // (void): without an icon there is nowhere to show it
}

}  // namespace

void NotifyPortHeldByOtherUser() {
  if (trayWindow != nullptr) (void)PostMessageW(trayWindow, kPortHeldMessage, 0, 0);
}

BOOL AddTrayIcon() {
  NOTIFYICONDATAW nid = {};
  nid.cbSize = sizeof(nid);
  nid.hWnd = trayWindow;
  nid.uID = kTrayIconId;
  nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  nid.uCallbackMessage = kTrayCallbackMessage;
  // A shared icon from the module: never destroyed.
  nid.hIcon = LoadIconW(moduleInstance, MAKEINTRESOURCEW(kTrayIconResource));
  (void)swprintf(nid.szTip, sizeof(nid.szTip) / sizeof(nid.szTip[0]), L"%ls", GetTrayTexts().tipText);
  return Shell_NotifyIconW(NIM_ADD, &nid);
}

BOOL RemoveTrayIcon() {
  NOTIFYICONDATAW nid = {};
  nid.cbSize = sizeof(nid);
  nid.hWnd = trayWindow;
  nid.uID = kTrayIconId;
  return Shell_NotifyIconW(NIM_DELETE, &nid);
}

LRESULT CALLBACK TrayWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_DESTROY:
      (void)KillTimer(hwnd, kAddRetryTimer);
      (void)RemoveTrayIcon();  // gone already if the shell never took it
      PostQuitMessage(0);
      break;
    case WM_COMMAND:
      if (LOWORD(wParam) == kMenuExitCommand) (void)DestroyWindow(trayWindow);
      break;
    case WM_TIMER:
      if (wParam == kAddRetryTimer) AddTrayIconOrRetry();
      break;
    case kPortHeldMessage:
      ShowPortHeldNotice();
      break;
    case kTrayCallbackMessage:
      if (lParam == WM_LBUTTONDOWN) ShowTrayMenu();
      break;
    default:
      if (message == TaskbarCreatedMessage() && message != 0) AddTrayIconOrRetry();
      break;
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

// Called by wWinMain once the window exists.
void StartTrayIcon() {
  (void)TaskbarCreatedMessage();
  AddTrayIconOrRetry();
}
