// The settings key, data directory and settings files as the tray program reads them (Windows).
#pragma once

#include "common/unique_owner.h"
#include "print_service/printers/get_printer_resolution.h"

class WindowsSettingsRegistry final : public SettingsRegistry {
 public:
  long OpenMachineKey() override;
  long CreateMachineKey() override;
  long OpenUserKey() override;
  std::string OpenKeyLabel() override;
  std::optional<std::string> ReadDataDirectory() override;
  void WriteDataDirectory(const std::string& directory) override;
  void CloseKey() override;
  void CreateDirectoryOnce(const std::string& directory) override;
  std::optional<std::string> ReadResolutionText(const std::string& directory, const std::string& name) override;

 private:
  UniqueRegKey key_;
};

class SpoolerPrinterDevice final : public PrinterDevice {
 public:
  DeviceLookup Query(const std::string& printName, DeviceValues& values) override;
};
