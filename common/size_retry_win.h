// Calling the two-call Win32 APIs (EnumPrinters, GetPrinter, SetupDi interface
// details): ask for the size, allocate, ask again, and go on while the needed
// size keeps growing between the calls.
#pragma once

#include "common/windows_include.h"

#include <winspool.h>

#include <cstddef>
#include <memory>
#include <new>

// Bytes the API filled in; empty (Data() null, Size() 0) when it needed none.
class SizedBuffer {
 public:
  SizedBuffer() = default;
  SizedBuffer(std::unique_ptr<BYTE[]> data, DWORD size) : data_(std::move(data)), size_(size) {}
  BYTE* Data() const { return data_.get(); }
  DWORD Size() const { return size_; }

 private:
  std::unique_ptr<BYTE[]> data_;
  DWORD size_ = 0;
};

// How often a call is made again because the needed size grew meanwhile (a
// queue added between two calls); a list that keeps growing past that fails.
inline constexpr int kSizeRetryAttempts = 8;

// `call(BYTE* buffer, DWORD size, DWORD* needed)` makes the API call into the
// buffer (null with size 0 the first time) and returns whether it succeeded.
// False when the API fails for another reason than a short buffer or memory
// runs out; GetLastError() then tells the API's error (ERROR_OUTOFMEMORY for
// memory). The buffer comes from operator new, aligned for any record.
template <typename Call>
bool CallWithSizeRetry(Call call, SizedBuffer& out) {
  std::unique_ptr<BYTE[]> buffer;
  DWORD size = 0;
  for (int attempt = 0; attempt < kSizeRetryAttempts; ++attempt) {
    DWORD needed = 0;
    if (call(buffer.get(), size, &needed)) {
      out = SizedBuffer(std::move(buffer), size);
      return true;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER || needed <= size) {
      SetLastError(error);
      return false;
    }
    buffer.reset(new (std::nothrow) BYTE[needed]());
    if (!buffer) {
      SetLastError(ERROR_OUTOFMEMORY);
      return false;
    }
    size = needed;
  }
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return false;
}

// This machine's queues from EnumPrintersW or EnumPrintersA (passed as
// `enumPrinters`) at `level`; `returned` is the number of records in `out`.
template <typename EnumPrintersFunction>
bool EnumPrintersWithSizeRetry(EnumPrintersFunction enumPrinters, DWORD flags, DWORD level, SizedBuffer& out,
                               DWORD& returned) {
  returned = 0;
  return CallWithSizeRetry(
      [&](BYTE* data, DWORD size, DWORD* needed) {
        return enumPrinters(flags, nullptr, level, data, size, needed, &returned) != FALSE;
      },
      out);
}
