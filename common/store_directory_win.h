// The settings store on Windows, as both programs reach it: the one reader and
// writer of "Data Directory", and the data directory and its files opened so that
// no link a user prepared is followed (Windows only).
#pragma once

#include "common/store_directory.h"
#include "common/unique_owner_win.h"

#include <optional>
#include <string>

// "Data Directory" of an open settings key: nullopt when it cannot be read, is
// empty or holds more than 255 characters.
std::optional<std::wstring> ReadDataDirectoryValue(HKEY key);
// The same from HKEY_LOCAL_MACHINE "Software\KELO", opened for reading.
std::optional<std::wstring> ReadMachineDataDirectory();
// Sets the value in the system code page with the ANSI function, terminator
// included; false when the path does not convert exactly or the write fails.
bool WriteDataDirectoryValue(HKEY key, const std::wstring& directory);

enum class DirectoryState : uint8_t { kSecured, kMissing, kRefused };

struct DataDirectoryAccess {
  DirectoryState state = DirectoryState::kMissing;
  StoreRefusal refusal = StoreRefusal::kNone;  // why it was refused
  bool tookOver = false;                       // its owner and access list were set on the handle
  std::wstring movedAsideTo;                   // where a directory made by someone else went
  // Held while the store writes: without delete sharing the directory cannot be
  // renamed or replaced under the writer, and every file is opened relative to it.
  UniqueFile hold;
  std::wstring finalPath;  // of the held directory, \\?\ form: where its files must be
};

// The verdict on an open directory; the service's is JudgeDataDirectory on what
// its owner and access list say. Tests under Wine, which reads every owner from
// the Unix file's, pass their own to exercise what follows each verdict.
using DirectoryJudge = DirectoryJudgement (*)(HANDLE directory);
DirectoryJudgement JudgeOpenDirectory(HANDLE directory);

// The service's view: the directory at `path`, made safe to write into. A missing
// directory is created with the store's access list when `createWhenMissing`;
// one that the installer created gets that list on the open handle; one that
// someone else made is renamed aside and a fresh one created in its place; a
// link or a file is refused, and so is a directory held by another program's
// opportunistic lock (for this pass).
DataDirectoryAccess SecureDataDirectory(const std::wstring& path, bool createWhenMissing,
                                        DirectoryJudge judge = JudgeOpenDirectory);

// The tray program's view: creates the one directory with the store's owner and
// access list, or nothing at all (a standard user cannot make Administrators the
// owner). An existing directory is left as it is. True when it was created.
bool CreateSecuredDirectory(const std::wstring& path);

struct StoreFile {
  UniqueFile file;
  StoreRefusal refusal = StoreRefusal::kNone;  // set when the file is refused
  uint32_t error = 0;                          // of the open, when it failed
  bool created = false;
};

// Opens or creates `name` in the secured directory, relative to its held handle,
// without following a reparse point, without truncating (a refused file stays as
// it was) and without waiting for another program's opportunistic lock. The
// handle has `access` plus what checking it needs; it is refused unless it is a
// plain disk file with one name whose final path is the directory's and the
// name. Share mode as given; delete sharing is never granted.
StoreFile OpenStoreFile(const DataDirectoryAccess& directory, const std::wstring& name, DWORD access, DWORD share);

// Merges the users' entry (kUsersAccess) into the DACL of the open file; 1 when
// it was stored, else 0.
int GrantUsersAccessOnHandle(HANDLE file);
