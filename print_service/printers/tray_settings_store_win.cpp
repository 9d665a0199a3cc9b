// "Software\KELO" and the settings files through the registry and profile functions.
#include "print_service/printers/tray_settings_store_win.h"

#include "common/settings_store.h"
#include "common/store_directory_win.h"
#include "common/text_convert.h"
#include "common/unique_owner_win.h"

#include <cstdio>
#include <utility>

namespace {

// KEY_READ | KEY_WRITE: the value may have to be written.
constexpr REGSAM kSettingsAccess = KEY_READ | KEY_WRITE;

std::string KeyLabel(HKEY key) {
  char text[32];
  const int n = std::snprintf(text, sizeof text, "%p", static_cast<void*>(key));
  return n > 0 ? std::string(text) : std::string();
}

std::optional<std::string> Utf8Directory(HKEY key) {
  const std::optional<std::wstring> value = ReadDataDirectoryValue(key);
  if (!value) return std::nullopt;
  return Utf8FromWide(*value);
}

// "Data Directory" of HKLM opened for reading only, when the open for writing
// too was refused; nullopt when that key or value is not there either.
std::optional<std::string> ReadOnlyMachineDirectory(LONG writeOpenError) {
  if (writeOpenError != ERROR_ACCESS_DENIED) return std::nullopt;
  UniqueRegKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPathW, 0, KEY_READ, key.Put()) != ERROR_SUCCESS) return std::nullopt;
  return Utf8Directory(key.Get());
}

}  // namespace

DataDirectoryLookup RegistrySettingsStore::FindDataDirectory() {
  DataDirectoryLookup found;
  UniqueRegKey key;
  found.machineOpenError = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPathW, 0, kSettingsAccess, key.Put());
  if (found.machineOpenError == ERROR_SUCCESS) {
    found.hive = SettingsHive::kMachine;
  } else if (std::optional<std::string> machineValue = ReadOnlyMachineDirectory(found.machineOpenError)) {
    // A standard user may not write the machine's key but reads what the
    // installer or the administrator put there.
    found.hive = SettingsHive::kMachineReadOnly;
    found.dataDirectory = std::move(machineValue);
    return found;
  } else {
    DWORD dwDisposition = 0;
    found.machineCreateError = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPathW, 0, nullptr,
                                               REG_OPTION_NON_VOLATILE, kSettingsAccess, nullptr, key.Put(),
                                               &dwDisposition);
    if (found.machineCreateError == ERROR_SUCCESS) {
      found.hive = SettingsHive::kMachineCreated;
      found.createdKeyLabel = KeyLabel(key.Get());
    } else {
      found.userOpenError = RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKeyPathW, 0, kSettingsAccess, key.Put());
      if (found.userOpenError == ERROR_SUCCESS) found.hive = SettingsHive::kUser;
    }
  }
  if (found.hive) found.dataDirectory = Utf8Directory(key.Get());
  return found;
}

void RegistrySettingsStore::WriteDataDirectory(SettingsHive hive, const std::string& directory) {
  UniqueRegKey key;
  const HKEY root = hive == SettingsHive::kUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
  if (RegOpenKeyExW(root, kSettingsKeyPathW, 0, KEY_WRITE, key.Put()) != ERROR_SUCCESS) return;
  (void)WriteDataDirectoryValue(key.Get(), WideFromUtf8(directory));  // failures ignored: the lookup goes on
}

void RegistrySettingsStore::CreateDataDirectory(const std::string& directory) {
  (void)CreateSecuredDirectory(WideFromUtf8(directory));  // an existing directory is fine
}

std::optional<std::string> RegistrySettingsStore::ReadResolutionText(const std::string& directory,
                                                                     const std::string& name) {
  // The service wrote the file under the queue's name in the system code page;
  // the wide name of the queue names the same file.
  // A name the code page cannot convert exactly names no settings file.
  const std::optional<std::wstring> wideName = ExactWideFromReceivedName(name);
  if (!wideName) return std::nullopt;
  const std::wstring path = WideFromUtf8(directory) + L"\\" + *wideName + L".ini";
  if (path.size() >= kWidePathCapacity) return std::nullopt;
  wchar_t resolutionBuffer[32] = {};
  const DWORD count = GetPrivateProfileStringW(kSettingsSectionW, L"Resolution", L"0", resolutionBuffer, 32,
                                               path.c_str());
  if (count == 0) return std::nullopt;
  return Utf8FromWide(resolutionBuffer);
}
