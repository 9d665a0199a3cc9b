// The hidden tray window, its notification icon and menu (Windows only).
#pragma once

#include "common/windows_include.h"

inline constexpr wchar_t kTrayWindowClass[] = L"TrayWndClass";
inline constexpr UINT kTrayIconId = 1000;
inline constexpr UINT kTrayCallbackMessage = WM_USER;
inline constexpr int kTrayIconResource = 107;
inline constexpr UINT kMenuTitleCommand = 104;
inline constexpr UINT kMenuExitCommand = 105;
// Posted by the server thread: another user's program holds the API's port.
inline constexpr UINT kPortHeldMessage = WM_APP + 1;

// Written once by wWinMain before the message loop, read on the UI thread only.
extern HWND trayWindow;
extern HINSTANCE moduleInstance;

LRESULT CALLBACK TrayWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
BOOL AddTrayIcon();
BOOL RemoveTrayIcon();
// Adds the icon, retrying until the shell takes it, and follows taskbar restarts.
void StartTrayIcon();
// From any thread: has the tray window show, from its icon, that another
// user's program holds the port.
void NotifyPortHeldByOtherUser();
