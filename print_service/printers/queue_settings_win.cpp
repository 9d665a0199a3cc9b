// Reading a queue's default settings block, with the retry Wine's driver needs.
#include "print_service/printers/queue_settings_win.h"

#include <winspool.h>

namespace {

// DocumentPropertiesW without a window or input: mode 0 gives the block's size,
// DM_OUT_BUFFER fills out. Wine's PostScript driver fails with a sharing
// violation while another thread reads the same queue's settings; that is
// retried a few times rather than failing the request.
LONG QueueSettings(HANDLE printer, std::wstring& name, DEVMODEW* out, DWORD mode) {
  for (int attempt = 0;; ++attempt) {
    const LONG result = DocumentPropertiesW(nullptr, printer, name.data(), out, nullptr, mode);
    if ((mode == 0 ? result > 0 : result >= 0) || attempt == 40 || GetLastError() != ERROR_SHARING_VIOLATION) {
      return result;
    }
    Sleep(25);
  }
}

}  // namespace

QueueDevMode::QueueDevMode(HANDLE printer, std::wstring& name) {
  const LONG size = QueueSettings(printer, name, nullptr, 0);
  if (size <= 0) return;
  block_.Reset(GlobalAlloc(GHND, static_cast<SIZE_T>(size)));
  if (!block_) return;
  devMode_ = static_cast<DEVMODEW*>(GlobalLock(block_.Get()));
  if (devMode_ == nullptr) return;
  lock_.Reset(block_.Get());
  if (QueueSettings(printer, name, devMode_, DM_OUT_BUFFER) < 0) Unlock();
}
