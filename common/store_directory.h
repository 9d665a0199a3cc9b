// Rules that keep the settings store out of a user's reach: when the service may
// write into a data directory, when it takes one over, and which files it refuses.
// A service running as LocalSystem writes there, and every user may create folders
// under ProgramData: a directory or file prepared by a user could redirect the
// service's writes, or its access entry, to a file of the user's choice.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

// Who an owner or an access entry names, as far as the rules care.
enum class Principal : uint8_t { kSystem, kAdministrators, kUsers, kOther };

struct AccessEntryFacts {
  Principal who = Principal::kOther;
  bool allow = true;   // false: a deny entry, which never opens anything up
  uint32_t mask = 0;   // file rights, generic rights already mapped
};

struct DirectoryFacts {
  bool isDirectory = false;
  bool isReparsePoint = false;  // junction, symbolic link or mount point
  std::optional<Principal> owner;  // nullopt: the security could not be read
  bool daclPresent = false;        // a null DACL grants everyone everything
  bool daclProtected = false;      // entries of the parent do not flow in
  std::vector<AccessEntryFacts> entries;
};

enum class StoreRefusal : uint8_t {
  kNone,
  kReparsePoint,
  kNotADirectory,
  kNotAFile,
  kHardLinked,
  kCannotOpen,
  kCannotSecure,
};

enum class DirectoryVerdict : uint8_t {
  kUse,       // owned by SYSTEM or Administrators, protected, nobody else may change it
  kTakeOver,  // a real directory whose owner or access list must be replaced first
  kRefuse,
};

struct DirectoryJudgement {
  DirectoryVerdict verdict;
  StoreRefusal reason = StoreRefusal::kNone;  // set when refused
};

// Read and list/traverse rights of files and directories (FILE_GENERIC_READ |
// FILE_GENERIC_EXECUTE): what users may hold on the directory.
inline constexpr uint32_t kReadAndExecuteRights = 0x1200A9;

// The directory's owner and protected access list: SYSTEM and Administrators full
// control, Users read and traverse, each inherited by files and subdirectories.
// The settings files add their own entry for Users on top (see kUsersAccess).
inline constexpr wchar_t kDataDirectorySecurity[] = L"O:BAG:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)";

DirectoryJudgement JudgeDataDirectory(const DirectoryFacts& facts);

struct StoreFileFacts {
  bool isDiskFile = false;  // not a pipe, console or device
  bool isDirectory = false;
  bool isReparsePoint = false;
  uint32_t links = 0;  // hard links to the same file
};

// kNone when the service may write the opened file.
StoreRefusal JudgeStoreFile(const StoreFileFacts& facts);

// The reason in the sync log's "Refused" line.
const char* RefusalText(StoreRefusal reason);
