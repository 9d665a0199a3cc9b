// The settings file's part of a synchronisation.
#include "usb_service/provisioning/settings_file_sync.h"

#include "common/profile_text.h"

#include <string>
#include <vector>

SettingsFileOutcome SyncSettingsFile(SettingsFile& file, const ConfigBlock& block, int rotationPrinterData) {
  SettingsFileOutcome outcome;
  const auto refuse = [&outcome](StoreRefusal reason) {
    outcome.refusal = reason;
    outcome.lastError = kRefusedWriteError;
    return outcome;
  };
  const StoreRefusal opened = file.Open();
  if (opened != StoreRefusal::kNone) return refuse(opened);
  const std::optional<uint64_t> size = file.Size();
  if (!size) return refuse(StoreRefusal::kCannotOpen);
  if (*size > kSettingsFileLimit) return refuse(StoreRefusal::kTooLarge);
  const std::optional<std::string> text = file.Read(*size);
  if (!text) return refuse(StoreRefusal::kCannotOpen);

  // Only a file that is the one checked gets the users' entry.
  outcome.aclFix = file.GrantUsersAccess();
  // As GetPrivateProfileInt reads it: missing or not a number is 0.
  int fileRotation = 0;
  if (const std::optional<std::string> value = FindProfileValue(*text, kSettingsSection, "Rotation")) {
    fileRotation = ParseResolution(*value).value_or(0);
  }
  const int rotation = ChooseRotation(fileRotation, rotationPrinterData);
  const std::vector<ProfileValue> values = {{"Printtype", std::to_string(block.PrintType())},
                                            {"Thickness", std::to_string(block.Thickness())},
                                            {"Speed", std::to_string(block.Speed())},
                                            {"Resolution", std::to_string(ResolutionDpi(block))},
                                            {"Rotation", std::to_string(rotation)}};
  uint32_t error = 0;
  outcome.writeResult = file.Replace(WriteProfileValues(*text, kSettingsSection, values), error) ? 1 : 0;
  outcome.lastError = outcome.writeResult ? 0 : error;
  return outcome;
}
