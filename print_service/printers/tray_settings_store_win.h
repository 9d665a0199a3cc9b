// The settings store as the tray program reads it: "Software\KELO" in HKLM or
// HKCU, the data directory and the settings files (Windows only).
#pragma once

#include "print_service/printers/get_printer_resolution.h"

class RegistrySettingsStore final : public TraySettingsStore {
 public:
  DataDirectoryLookup FindDataDirectory() override;
  void WriteDataDirectory(SettingsHive hive, const std::string& directory) override;
  void CreateDataDirectory(const std::string& directory) override;
  std::optional<std::string> ReadResolutionText(const std::string& directory, const std::string& name) override;
};
