// The "/klapi/GetPrinterResolution" endpoint: a queue's dots per inch, page size and
// print quality, overridden by the custom resolution in its settings file.
#pragma once

#include "common/diagnostic_log.h"
#include "print_service/http_api/api_request.h"

#include <cstdint>
#include <optional>
#include <string>

// Where "Software\KELO" was reached: HKLM opened, else created there, else the
// user's key (only opened, never created). kMachineReadOnly: HKLM could only be
// read (a standard user), and it holds the value; the store never writes there.
enum class SettingsHive : uint8_t { kMachine, kMachineReadOnly, kMachineCreated, kUser };

// What looking for "Data Directory" found, and what failed on the way (Windows
// error codes, 0 when the step was not needed), for the diagnostic lines.
struct DataDirectoryLookup {
  std::optional<SettingsHive> hive;          // nullopt: no key could be opened
  std::optional<std::string> dataDirectory;  // UTF-8; nullopt when missing, empty or over 255 characters
  long machineOpenError = 0;
  long machineCreateError = 0;
  long userOpenError = 0;
  std::string createdKeyLabel;  // the created key's handle as printed
};

// The settings store as the tray program reaches it; directories are UTF-8.
struct TraySettingsStore {
  virtual ~TraySettingsStore() = default;
  virtual DataDirectoryLookup FindDataDirectory() = 0;
  // Sets "Data Directory" in the key found before; failures ignored.
  virtual void WriteDataDirectory(SettingsHive hive, const std::string& directory) = 0;
  // Creates the one directory only with the store's owner and access list, and
  // nothing otherwise: a standard user leaves that to the service and the
  // installer. Failures ignored.
  virtual void CreateDataDirectory(const std::string& directory) = 0;
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

enum class DeviceLookup { kOk, kPrinterUnavailable, kDeviceUnavailable };

struct PrinterDevice {
  virtual ~PrinterDevice() = default;
  virtual DeviceLookup Query(const std::string& printName, DeviceValues& values) = 0;
};

// Positive: the override; 0 when there is none. Walks the registry fallbacks.
int LookupCustomResolution(TraySettingsStore& store, DiagnosticLog& log, const std::string& printName);

std::string BuildResolutionAnswer(const DeviceValues& values);
std::string BuildResolutionError(const char* reason);

ApiAnswer HandleGetPrinterResolution(TraySettingsStore& store, PrinterDevice& device, DiagnosticLog& log,
                                     const ApiRequest& req);
