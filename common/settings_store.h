// The printer settings store both programs share: the configuration block, the
// settings file's keys, the sync log record and the rules for names and paths.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr char kSettingsKeyPath[] = "Software\\KELO";
inline constexpr wchar_t kSettingsKeyPathW[] = L"Software\\KELO";
inline constexpr char kDataDirectoryValue[] = "Data Directory";
inline constexpr wchar_t kDataDirectoryValueW[] = L"Data Directory";
inline constexpr char kSettingsSection[] = "Print Settings";
inline constexpr wchar_t kSettingsSectionW[] = L"Print Settings";
// The default without "ProgramData"; the tray program always writes this one.
inline constexpr char kFixedDataDirectoryA[] = "C:\\ProgramData\\KELO";
inline constexpr wchar_t kFixedDataDirectory[] = L"C:\\ProgramData\\KELO";

// "Data Directory" holds at most 255 characters; a longer value counts as missing.
inline constexpr size_t kDataDirectoryCapacity = 256;
// Paths of the store's files, terminator included: the .bin path in bytes of the
// system code page, the settings file and the sync log in wide characters.
inline constexpr size_t kBinPathCapacity = 256;
inline constexpr size_t kWidePathCapacity = 512;

// The record a label printer answers to a read of its printer interface; bytes it
// did not send stay 0.
struct ConfigBlock {
  std::array<uint8_t, 255> bytes{};

  // The first `delivered` bytes of an answer; a longer answer is cut to the block.
  static ConfigBlock FromAnswer(const uint8_t* answer, size_t delivered);

  uint8_t StateCode() const { return bytes[0]; }
  uint8_t PrintType() const { return bytes[8]; }
  uint8_t Thickness() const { return bytes[9]; }
  uint8_t Speed() const { return bytes[10]; }
  uint8_t ResolutionClass() const { return bytes[11]; }
};

inline constexpr uint8_t kStateNothingRead = 0;
inline constexpr uint8_t kStateEnabled = 8;
inline constexpr uint8_t kStateKeepQueueState = 12;
inline constexpr size_t kConfigCopySize = 63;

// 203 below class 2, else 306 (not 300).
int ResolutionDpi(const ConfigBlock& block);

// The file's "Rotation" (0 when absent), replaced by the printer data when that
// is 0 or more; anything outside 0..3 becomes 0.
int ChooseRotation(int fileRotation, int printerDataRotation);

// "ProgramData" + "\KELO" when it is set, not empty and shorter than 512
// characters; otherwise "C:\ProgramData\KELO".
std::wstring DefaultDataDirectory(const std::optional<std::wstring>& programData);

// A "Resolution" text read as atoi reads it (white space, a sign, digits up to
// the first other character); nullopt outside the int range.
std::optional<int> ParseResolution(std::string_view text);

// A queue name that can name a file in the data directory: no "\", "/", ":" or
// NUL, not "." or "..", not empty, and no reserved device name.
bool IsPlainFileName(std::string_view name);
// CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM1-9 and LPT1-9 (also with a
// superscript digit), in any letter case, alone or with an extension.
bool IsReservedDeviceName(std::string_view name);

struct SyncRecord {
  std::string printer;      // queue name, system code page
  int aclFix = 0;           // GrantUsersAccessOnHandle
  int rotationPrinterData = -1;
  ConfigBlock block;
  int dpi = 0;
  int writeResult = 0;      // of writing "Printtype"
  uint32_t lastError = 0;   // right after that write
  std::string iniPath;      // system code page
  // Files or directories the store would not write, each "path: reason";
  // each adds a line after the record's usual ones.
  std::vector<std::string> refusals;
};

// The sync log's one record, byte for byte; a record without refusals ends
// with the "INI path" line.
std::string FormatSyncLog(const SyncRecord& record);

// The access entry a settings file gets, so that the users' tray program may
// read and rewrite a file the service created.
struct UsersAccessEntry {
  uint8_t authority;                // SECURITY_NT_AUTHORITY
  uint32_t subAuthorities[2];       // BUILTIN domain, Users: S-1-5-32-545
  uint32_t accessMask;              // FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE
  bool grant;                       // GRANT_ACCESS, not SET_ACCESS: other entries stay
  bool inherited;                   // NO_INHERITANCE: a file has no children
  bool wellKnownGroup;              // TRUSTEE_IS_WELL_KNOWN_GROUP, by SID
};
inline constexpr UsersAccessEntry kUsersAccess = {5, {32, 545}, 0x13019F, true, false, true};
inline constexpr uint32_t kUsersAccessMask = kUsersAccess.accessMask;
