// The "/klapi/GetPrinterResolution" endpoint: a queue's dots per inch, page size and
// print quality, overridden by the custom resolution in its settings file.
#pragma once

#include "common/diagnostic_log.h"

#include <httplib.h>

#include <cstdint>
#include <optional>
#include <string>

// The settings key "Software\KELO" and what hangs off it.
struct SettingsRegistry {
  virtual ~SettingsRegistry() = default;
  // Each returns the Windows error code, 0 on success, and leaves the key open.
  virtual long OpenMachineKey() = 0;
  virtual long CreateMachineKey() = 0;
  virtual long OpenUserKey() = 0;
  // Text of the printed key handle, for the diagnostic line.
  virtual std::string OpenKeyLabel() = 0;
  // "Data Directory" of the open key; nullopt when missing or over 255 bytes.
  virtual std::optional<std::string> ReadDataDirectory() = 0;
  virtual void WriteDataDirectory(const std::string& directory) = 0;  // failures ignored
  virtual void CloseKey() = 0;
  virtual void CreateDirectoryOnce(const std::string& directory) = 0;  // one level, failures ignored
  // "Resolution" of section "Print Settings" in directory\name.ini, default "0";
  // nullopt when the profile function reports 0 characters (key present, empty)
  // or the path does not fit.
  virtual std::optional<std::string> ReadResolutionText(const std::string& directory, const std::string& name) = 0;
};

struct DeviceValues {
  int xDpi;
  int yDpi;
  int physicalWidth;
  int physicalHeight;
  int printQuality;  // 0 when the driver gave no settings block
};

enum class DeviceLookup { kOk, kOpenFailed, kCreateDcFailed };

struct PrinterDevice {
  virtual ~PrinterDevice() = default;
  virtual DeviceLookup Query(const std::string& printName, DeviceValues& values) = 0;
};

inline constexpr char kDefaultDataDirectoryA[] = "C:\\ProgramData\\KELO";

// Positive: the override; 0 when there is none. Walks the registry fallbacks.
int LookupCustomResolution(SettingsRegistry& registry, DiagnosticLog& log, const std::string& printName);

std::string BuildResolutionAnswer(const DeviceValues& values);
std::string BuildResolutionError(const char* reason);

void HandleGetPrinterResolution(SettingsRegistry& registry, PrinterDevice& device, DiagnosticLog& log,
                                const httplib::Request& req, httplib::Response& res);
