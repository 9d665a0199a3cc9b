// Reading a queue's default settings block, with the retry Wine's driver needs.
#include "print_service/printers/queue_settings_win.h"

#include <winspool.h>

LONG QueueSettings(HANDLE printer, std::wstring& name, DEVMODEW* out, DWORD mode) {
  for (int attempt = 0;; ++attempt) {
    const LONG result = DocumentPropertiesW(nullptr, printer, name.data(), out, nullptr, mode);
    if ((mode == 0 ? result > 0 : result >= 0) || attempt == 40 || GetLastError() != ERROR_SHARING_VIOLATION) {
      return result;
    }
    Sleep(25);
  }
}
