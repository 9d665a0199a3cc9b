// Rules that keep the settings store out of a user's reach: when the service may
// write into a data directory, when it takes one over, and which files it refuses.
// A service running as LocalSystem writes there, and every user may create folders
// under ProgramData: a directory or file prepared by a user could redirect the
// service's writes, or its access entry, to a file of the user's choice.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Who an owner or an access entry names, as far as the rules care. The account
// the service runs as (LocalSystem) is trusted like SYSTEM: what it owns nobody
// less privileged made.
enum class Principal : uint8_t { kSystem, kAdministrators, kOwnAccount, kUsers, kOther };

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
  kCannotMoveAside,  // a directory to replace that could not be renamed
  kElsewhere,        // the open handle's final path is not the file's place
  kOplocked,         // another program's opportunistic lock: skipped this pass
  kTooLarge,         // a settings file larger than the store reads
};

enum class DirectoryVerdict : uint8_t {
  kUse,  // owned by SYSTEM or Administrators, protected, nobody else may change it
  // Owned by SYSTEM or Administrators (the installer made it) but its list comes
  // from the parent: the store's list is set on the open handle.
  kSecureInPlace,
  // Someone else owns it, or its security cannot be read: a user made it, and
  // handles the user opened before keep their rights whatever list it gets. It
  // is renamed aside and a fresh directory takes its place.
  kReplace,
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
  // The open completed while another program's opportunistic lock was being
  // broken: using the handle could wait for that program as long as it likes.
  bool oplockBreakPending = false;
  bool isDiskFile = false;  // not a pipe, console or device
  bool isDirectory = false;
  bool isReparsePoint = false;
  uint32_t links = 0;  // hard links to the same file
  // The handle's final path is the checked directory's final path and the
  // file's name: nothing in between was swapped or followed.
  bool atExpectedPath = false;
};

// kNone when the service may write the opened file.
StoreRefusal JudgeStoreFile(const StoreFileFacts& facts);

// The reason in the sync log's "Refused" line.
const char* RefusalText(StoreRefusal reason);

// Where a directory to replace goes: beside it, "<path>.refused-<stamp>", with
// "-<attempt>" from the second attempt on (two replacements in one second).
std::wstring AsideDirectoryName(const std::wstring& path, const std::wstring& stamp, int attempt);

// The most of a settings file the service reads: far above the few lines it
// holds, and the file is writable by every user.
inline constexpr uint64_t kSettingsFileLimit = 64 * 1024;
