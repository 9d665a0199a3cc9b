// The size-retry call of the two-call APIs, against a scripted API: how often it
// asks, what it hands back, and where it gives up.
#include "common/size_retry_win.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// One answer of the scripted API: the size it reports as needed, and the error
// it fails with when the buffer is smaller (0: succeeds whatever the buffer),
// or even when it is not.
struct Answer {
  DWORD needed;
  DWORD error;
  bool failsAnyway;
};

struct Case {
  const char* what;
  std::vector<Answer> script;  // the last answer repeats
  bool succeeds;
  DWORD lastError;  // when it fails
  size_t calls;
  DWORD size;  // of the buffer handed back
};

TEST(SizeRetry, AsksAgainWhileTheNeededSizeGrowsAndStopsOnAnyOtherAnswer) {
  const Case cases[] = {
      {"nothing to return", {{0, 0, false}}, true, 0, 1, 0},
      {"size, then the data", {{24, ERROR_INSUFFICIENT_BUFFER, false}}, true, 0, 2, 24},
      {"the list grew twice in between",
       {{24, ERROR_INSUFFICIENT_BUFFER, false}, {40, ERROR_INSUFFICIENT_BUFFER, false}, {64, ERROR_INSUFFICIENT_BUFFER, false}},
       true, 0, 4, 64},
      {"another error", {{0, ERROR_ACCESS_DENIED, false}}, false, ERROR_ACCESS_DENIED, 1, 0},
      {"an error after the size", {{24, ERROR_INSUFFICIENT_BUFFER, false}, {24, ERROR_INVALID_PRINTER_NAME, false}}, false,
       ERROR_INVALID_PRINTER_NAME, 2, 0},
      {"a short-buffer error for the size it asked for",
       {{24, ERROR_INSUFFICIENT_BUFFER, false}, {24, ERROR_INSUFFICIENT_BUFFER, true}}, false, ERROR_INSUFFICIENT_BUFFER, 2, 0},
  };
  for (const Case& c : cases) {
    size_t calls = 0;
    SizedBuffer buffer;
    const bool ok = CallWithSizeRetry(
        [&](BYTE* data, DWORD size, DWORD* needed) {
          const Answer& a = c.script[std::min(calls, c.script.size() - 1)];
          ++calls;
          *needed = a.needed;
          if (a.error == 0 || (!a.failsAnyway && a.error == ERROR_INSUFFICIENT_BUFFER && size >= a.needed)) {
            if (data != nullptr) std::memset(data, 0xA5, size);
            return true;
          }
          if (data == nullptr && size != 0) ADD_FAILURE() << c.what << ": a size without a buffer";
          SetLastError(a.error);
          return false;
        },
        buffer);
    const DWORD error = GetLastError();
    EXPECT_EQ(ok, c.succeeds) << c.what;
    EXPECT_EQ(calls, c.calls) << c.what;
    if (ok) {
      EXPECT_EQ(buffer.Size(), c.size) << c.what;
      if (c.size > 0) {
        ASSERT_NE(buffer.Data(), nullptr) << c.what;
        EXPECT_EQ(buffer.Data()[c.size - 1], 0xA5) << c.what << ": the filled bytes are handed back";
      }
    } else {
      EXPECT_EQ(error, c.lastError) << c.what;
    }
  }
}

TEST(SizeRetry, ANeededSizeThatNeverSettlesFailsAfterTheLastAttempt) {
  int calls = 0;
  SizedBuffer buffer;
  EXPECT_FALSE(CallWithSizeRetry(
      [&](BYTE*, DWORD size, DWORD* needed) {
        ++calls;
        *needed = size + 16;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
      },
      buffer));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(calls, kSizeRetryAttempts);
}

// The real spooler through the same helper: the local queues at level 4.
TEST(SizeRetry, EnumeratesTheSpoolersQueues) {
  SizedBuffer buffer;
  DWORD returned = 0;
  ASSERT_TRUE(EnumPrintersWithSizeRetry(EnumPrintersW, PRINTER_ENUM_LOCAL, 4, buffer, returned)) << GetLastError();
  ASSERT_GT(returned, 0u) << "the harness's queues";
  const auto* infos = reinterpret_cast<const PRINTER_INFO_4W*>(buffer.Data());
  for (DWORD i = 0; i < returned; ++i) EXPECT_NE(infos[i].pPrinterName, nullptr);
}

}  // namespace
