// The settings files as the agent reads them on POSIX systems: one data
// directory, no registry.
#pragma once

#include "print_service/printers/get_printer_resolution.h"

#include <string>

inline constexpr char kDefaultPosixDataDirectory[] = "/var/lib/kelo";

// $KELO_DATA_DIR when it is set and not empty, otherwise /var/lib/kelo.
std::string PosixDataDirectory();

class FileSettingsStore final : public TraySettingsStore {
 public:
  explicit FileSettingsStore(std::string directory) : directory_(std::move(directory)) {}
  // Always found: the directory is fixed at start.
  DataDirectoryLookup FindDataDirectory() override;
  // The directory belongs to the administrator; the agent writes nothing there.
  void WriteDataDirectory(SettingsHive, const std::string&) override {}
  void CreateDataDirectory(const std::string&) override {}
  // Read as GetPrivateProfileString reads it: "0" when the file or the key is
  // missing, nullopt when the key is present but empty. Only a regular file of
  // at most 64 KiB is read; a link is not followed and a pipe never waited for.
  std::optional<std::string> ReadResolutionText(const std::string& directory, const std::string& name) override;

 private:
  std::string directory_;
};
