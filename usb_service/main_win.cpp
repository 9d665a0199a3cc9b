// KeloUsbService: a service of its own process without a console.
#include "usb_service/service_host/service_main_win.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  MyMain();
  return 0;
}
