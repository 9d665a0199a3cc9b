// Entry of the tray program: hidden window, notification icon, server thread, message loop.
#include "common/windows_include.h"

#include "common/diagnostic_log.h"

#include "print_service/http_api/http_api.h"
#include "print_service/tray/tray_window_win.h"

#include <chrono>
#include <thread>

namespace {
// How long Exit lets requests in progress (a print job) finish before the process ends.
constexpr std::chrono::milliseconds kServerStopWait(3000);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  PrepareDiagnosticStreams();
  WNDCLASSW wndClass = {};
  wndClass.lpfnWndProc = TrayWndProc;
  wndClass.hInstance = instance;
  wndClass.lpszClassName = kTrayWindowClass;
  (void)RegisterClassW(&wndClass);  // without a window the server still runs

  // A real top-level window, never shown: message-only windows miss TaskbarCreated.
  trayWindow = CreateWindowExW(0, kTrayWindowClass, L"", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 100,
                               100, nullptr, nullptr, instance, nullptr);
  moduleInstance = instance;

  StartTrayIcon();

  std::thread newThread([] { (void)RunHttpServer(); });
  newThread.detach();

  MSG msg = {};
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    (void)TranslateMessage(&msg);
    (void)DispatchMessageW(&msg);
  }

  (void)StopHttpServer(kServerStopWait);  // past the wait, the process ends regardless
  return static_cast<int>(msg.wParam);
}
