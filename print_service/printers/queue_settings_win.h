// A queue's default settings block (DEVMODEW) from its driver (Windows).
#pragma once

#include "common/unique_owner_win.h"

#include <string>

// The driver's current defaults for a queue, in a movable global block as the
// DC functions expect, locked for as long as it is read or changed.
class QueueDevMode {
 public:
  QueueDevMode(HANDLE printer, std::wstring& name);
  QueueDevMode(const QueueDevMode&) = delete;
  QueueDevMode& operator=(const QueueDevMode&) = delete;

  // Null when the driver reported no block, memory was short or the block could
  // not be filled; a null block must not be read.
  DEVMODEW* Get() const { return devMode_; }
  // Ends access to the block; Get() is null afterwards.
  void Unlock() {
    lock_.Reset();
    devMode_ = nullptr;
  }

 private:
  UniqueGlobal block_;
  UniqueGlobalLock lock_;  // after block_: unlocked before the block is freed
  DEVMODEW* devMode_ = nullptr;
};
