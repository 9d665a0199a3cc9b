// Fakes of the resolution endpoint's ports: a registry that fails on request and
// records its calls, and a device with fixed values or a fixed failure.
#pragma once

#include "print_service/printers/get_printer_resolution.h"

#include <map>
#include <vector>

class FakeSettingsStore final : public TraySettingsStore {
 public:
  long machineOpenError = 0;
  long machineCreateError = 0;
  long userOpenError = 0;
  bool machineReadable = false;  // HKLM refuses writing (machineOpenError 5) but may be read
  std::optional<std::string> dataDirectory = std::string("D:\\Kelo");
  std::map<std::string, std::optional<std::string>> resolutionByPath;  // "dir\name.ini"
  std::vector<std::string> calls;

  // Walks the keys as the registry would: each step only when the one before failed.
  DataDirectoryLookup FindDataDirectory() override {
    DataDirectoryLookup found;
    found.machineOpenError = Record("open HKLM", machineOpenError);
    if (machineOpenError == 0) {
      found.hive = SettingsHive::kMachine;
    } else if (machineReadable && machineOpenError == 5 && Record("open HKLM for reading", 0) == 0 &&
               ReadValue(found)) {
      found.hive = SettingsHive::kMachineReadOnly;
      return found;
    } else if ((found.machineCreateError = Record("create HKLM", machineCreateError)) == 0) {
      found.hive = SettingsHive::kMachineCreated;
      found.createdKeyLabel = "0000ABCD";
    } else if ((found.userOpenError = Record("open HKCU", userOpenError)) == 0) {
      found.hive = SettingsHive::kUser;
    }
    if (!found.hive) return found;
    (void)ReadValue(found);
    return found;
  }
  void WriteDataDirectory(SettingsHive hive, const std::string& directory) override {
    static const char* const names[] = {"HKLM", "HKLM (read only)", "HKLM", "HKCU"};
    calls.push_back(std::string("write Data Directory ") + names[static_cast<int>(hive)] + " " + directory);
    dataDirectory = directory;
  }
  void CreateDataDirectory(const std::string& directory) override { calls.push_back("mkdir " + directory); }
  std::optional<std::string> ReadResolutionText(const std::string& directory, const std::string& name) override {
    const std::string path = directory + "\\" + name + ".ini";
    calls.push_back("read " + path);
    auto it = resolutionByPath.find(path);
    return it == resolutionByPath.end() ? std::optional<std::string>("0") : it->second;
  }

 private:
  bool ReadValue(DataDirectoryLookup& found) {
    calls.push_back("read Data Directory");
    found.dataDirectory = dataDirectory;
    return dataDirectory.has_value();
  }
  long Record(const char* what, long error) {
    calls.push_back(std::string(what) + (error == 0 ? "" : " failed"));
    return error;
  }
};

class FakePrinterDevice final : public PrinterDevice {
 public:
  DeviceLookup lookup = DeviceLookup::kOk;
  DeviceValues values = {203, 203, 812, 1218, 203};
  std::vector<std::string> queried;

  DeviceLookup Query(const std::string& printName, DeviceValues& out) override {
    queried.push_back(printName);
    if (lookup == DeviceLookup::kOk) out = values;
    return lookup;
  }
};
