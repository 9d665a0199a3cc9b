// Reading "Resolution" from <data directory>/<queue>.ini.
#include "linux_agent/printers/file_settings_store_posix.h"

#include "linux_agent/file_read_posix.h"
#include "common/profile_text.h"
#include "common/settings_store.h"

#include <fcntl.h>

#include <cstdlib>

namespace {

constexpr size_t kMaxSettingsFile = 64 * 1024;
constexpr size_t kResolutionTextCapacity = 32;

std::optional<std::string> ReadSmallFile(const std::string& path) {
  const UniqueFd file(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  return ReadRegularFile(file.Get(), kMaxSettingsFile);
}

}  // namespace

std::string PosixDataDirectory() {
  const char* configured = std::getenv("KELO_DATA_DIR");
  if (configured != nullptr && configured[0] != '\0') return configured;
  return kDefaultPosixDataDirectory;
}

DataDirectoryLookup FileSettingsStore::FindDataDirectory() {
  DataDirectoryLookup found;
  found.hive = SettingsHive::kMachine;
  found.dataDirectory = directory_;
  return found;
}

std::optional<std::string> FileSettingsStore::ReadResolutionText(const std::string& directory,
                                                                 const std::string& name) {
  const std::optional<std::string> text = ReadSmallFile(directory + "/" + name + ".ini");
  if (!text) return std::string("0");
  const std::optional<std::string> value = FindProfileValue(*text, kSettingsSection, "Resolution");
  if (!value) return std::string("0");
  if (value->empty()) return std::nullopt;
  // The Windows build reads into 32 characters, terminator included.
  return value->substr(0, kResolutionTextCapacity - 1);
}
