// One queue's settings file in a synchronisation, behind the file it writes:
// read through the handle that was checked, the five keys written into its text
// as the profile functions write them, and the text written back through the
// same handle.
#pragma once

#include "common/settings_store.h"
#include "common/store_directory.h"

#include <cstdint>
#include <optional>
#include <string>

// The settings file of one queue in the secured data directory.
struct SettingsFile {
  virtual ~SettingsFile() = default;
  // Opens or creates it; kNone when it is open and may be written.
  virtual StoreRefusal Open() = 0;
  // Its size in bytes; nullopt when it cannot be told.
  virtual std::optional<uint64_t> Size() = 0;
  // Its bytes from the start; nullopt when they cannot be read.
  virtual std::optional<std::string> Read(uint64_t size) = 0;
  // Replaces its content; false with the Windows error code when that failed.
  virtual bool Replace(const std::string& text, uint32_t& error) = 0;
  // The users' access entry on the open file: 1 when stored, else 0.
  virtual int GrantUsersAccess() = 0;
};

// What the sync log says of a refused file's write.
inline constexpr uint32_t kRefusedWriteError = 5;  // ERROR_ACCESS_DENIED

struct SettingsFileOutcome {
  int aclFix = 0;
  int writeResult = 0;
  uint32_t lastError = 0;
  StoreRefusal refusal = StoreRefusal::kNone;  // set when nothing was written
};

// `rotationPrinterData` is the queue's "Rotation" printer data, -1 without one.
// A file that cannot be opened, is refused, is larger than kSettingsFileLimit or
// cannot be read gets nothing: no access entry, no write.
SettingsFileOutcome SyncSettingsFile(SettingsFile& file, const ConfigBlock& block, int rotationPrinterData);
