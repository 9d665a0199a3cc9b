// Tests: points the store's "Data Directory" at a directory of the test's and
// puts the former value back (or removes it) afterwards.
#pragma once

#include "common/settings_store.h"
#include "common/unique_owner_win.h"

#include <optional>
#include <string>

class DataDirectoryOverride {
 public:
  explicit DataDirectoryOverride(const std::string& directory) : previous_(Value()) { SetValue(directory); }
  ~DataDirectoryOverride() {
    if (previous_) {
      SetValue(*previous_);
    } else {
      DeleteValue();
    }
  }
  DataDirectoryOverride(const DataDirectoryOverride&) = delete;
  DataDirectoryOverride& operator=(const DataDirectoryOverride&) = delete;

  static std::optional<std::string> Value() {
    char value[512] = {};
    DWORD size = sizeof value;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, kSettingsKeyPath, kDataDirectoryValue, RRF_RT_REG_SZ, nullptr, value, &size) !=
        ERROR_SUCCESS) {
      return std::nullopt;
    }
    return std::string(value);
  }
  static void SetValue(const std::string& value) {
    UniqueRegKey key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, nullptr, 0, KEY_WRITE, nullptr, key.Put(), nullptr) ==
        ERROR_SUCCESS) {
      (void)RegSetValueExA(key.Get(), kDataDirectoryValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>(value.size() + 1));
    }
  }
  static void DeleteValue() {
    UniqueRegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, KEY_WRITE, key.Put()) == ERROR_SUCCESS) {
      (void)RegDeleteValueA(key.Get(), kDataDirectoryValue);
    }
  }

 private:
  std::optional<std::string> previous_;
};

// Creates a directory of this process's own in the temporary directory.
inline std::string CreateScratchDirectory(const char* prefix) {
  char temp[MAX_PATH + 1];
  (void)GetTempPathA(sizeof temp, temp);
  const std::string dir = std::string(temp) + prefix + std::to_string(GetCurrentProcessId());
  (void)CreateDirectoryA(dir.c_str(), nullptr);
  return dir;
}
