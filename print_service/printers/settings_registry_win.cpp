// Registry, profile file and device adapters of the resolution endpoint.
#include "print_service/printers/settings_registry_win.h"

#include "print_service/printers/queue_lookup_win.h"

#include "common/text_convert.h"
#include "print_service/printers/queue_settings_win.h"
#include "usb_service/provisioning/settings_store.h"

#include <winspool.h>

#include <cstdio>

namespace {
// KEY_READ | KEY_WRITE: the value may have to be written.
constexpr REGSAM kSettingsAccess = KEY_READ | KEY_WRITE;
constexpr size_t kWidePathCapacity = 512;

}  // namespace

long WindowsSettingsRegistry::OpenMachineKey() {
  return RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, kSettingsAccess, key_.Put());
}

long WindowsSettingsRegistry::CreateMachineKey() {
  DWORD dwDisposition = 0;
  return RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE, kSettingsAccess,
                         nullptr, key_.Put(), &dwDisposition);
}

long WindowsSettingsRegistry::OpenUserKey() {
  return RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKeyPath, 0, kSettingsAccess, key_.Put());
}

std::string WindowsSettingsRegistry::OpenKeyLabel() {
  char text[32];
  const int n = std::snprintf(text, sizeof text, "%p", static_cast<void*>(key_.Get()));
  return n > 0 ? std::string(text) : std::string();
}

std::optional<std::string> WindowsSettingsRegistry::ReadDataDirectory() {
  char szFileName[256] = {};
  DWORD size = sizeof(szFileName);
  if (RegQueryValueExA(key_.Get(), kDataDirectoryValue, nullptr, nullptr, reinterpret_cast<BYTE*>(szFileName),
                       &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  szFileName[sizeof(szFileName) - 1] = '\0';  // a value stored without its terminator
  // An empty value names no directory: it counts as missing, as for the service.
  if (szFileName[0] == '\0') return std::nullopt;
  return std::string(szFileName);
}

void WindowsSettingsRegistry::WriteDataDirectory(const std::string& directory) {
  (void)RegSetValueExA(key_.Get(), kDataDirectoryValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(directory.c_str()),
                       static_cast<DWORD>(directory.size() + 1));
}

void WindowsSettingsRegistry::CloseKey() { key_.Reset(); }

void WindowsSettingsRegistry::CreateDirectoryOnce(const std::string& directory) {
  (void)CreateDirectoryA(directory.c_str(), nullptr);  // an existing directory is fine
}

std::optional<std::string> WindowsSettingsRegistry::ReadResolutionText(const std::string& directory,
                                                                       const std::string& name) {
  // The service wrote the file under the queue's name in the system code page;
  // the wide name of the queue names the same file.
  // A name the code page cannot convert exactly names no settings file.
  const std::optional<std::wstring> wideName = ExactWideFromReceivedName(name);
  if (!wideName) return std::nullopt;
  const std::wstring path = WideFromAnsi(directory) + L"\\" + *wideName + L".ini";
  if (path.size() >= kWidePathCapacity) return std::nullopt;
  wchar_t resolutionBuffer[32] = {};
  const DWORD count = GetPrivateProfileStringW(L"Print Settings", L"Resolution", L"0", resolutionBuffer, 32,
                                               path.c_str());
  if (count == 0) return std::nullopt;
  return Utf8FromWide(resolutionBuffer);
}

DeviceLookup SpoolerPrinterDevice::Query(const std::string& printName, DeviceValues& values) {
  // Only a listed queue reaches the spooler: see OpenableQueue.
  std::optional<std::wstring> openable = OpenableQueue(printName);
  if (!openable) return DeviceLookup::kOpenFailed;
  std::wstring wideName = std::move(*openable);
  UniquePrinter hPrinter;
  if (!OpenPrinterW(wideName.data(), hPrinter.Put(), nullptr)) return DeviceLookup::kOpenFailed;

  // Without a settings block the device context is made from the driver's defaults.
  QueueDevMode settings(hPrinter.Get(), wideName);
  DEVMODEW* devMode = settings.Get();

  UniqueDC dc(CreateDCW(nullptr, wideName.c_str(), nullptr, devMode));
  if (!dc) return DeviceLookup::kCreateDcFailed;
  values.xDpi = GetDeviceCaps(dc.Get(), LOGPIXELSX);
  values.yDpi = GetDeviceCaps(dc.Get(), LOGPIXELSY);
  values.physicalWidth = GetDeviceCaps(dc.Get(), PHYSICALWIDTH);
  values.physicalHeight = GetDeviceCaps(dc.Get(), PHYSICALHEIGHT);
  values.printQuality = devMode != nullptr ? devMode->dmPrintQuality : 0;
  return DeviceLookup::kOk;
}
