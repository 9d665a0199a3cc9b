// The thread identifier and tick count that name a stored image (Windows).
#pragma once

#include "common/windows_include.h"
#include "print_service/imaging/print_image.h"

class SystemRequestClock final : public RequestClock {
 public:
  uint32_t ThreadId() override { return GetCurrentThreadId(); }
  uint32_t TickCount() override { return GetTickCount(); }
};
