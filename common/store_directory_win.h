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
  bool tookOver = false;                       // its owner and access list were replaced
  // Held while the store writes: without delete sharing the directory cannot be
  // renamed or replaced under the writer.
  UniqueFile hold;
};

// The service's view: the directory at `path`, made safe to write into. A missing
// directory is created with the store's access list when `createWhenMissing`;
// one that a user created is taken over; a link or a file is refused.
DataDirectoryAccess SecureDataDirectory(const std::wstring& path, bool createWhenMissing);

// The tray program's view: creates the one directory with the store's owner and
// access list, or nothing at all (a standard user cannot make Administrators the
// owner). An existing directory is left as it is. True when it was created.
bool CreateSecuredDirectory(const std::wstring& path);

struct StoreFile {
  UniqueFile file;
  StoreRefusal refusal = StoreRefusal::kNone;  // set when the file is refused
  uint32_t error = 0;                          // of the open, when it failed
};

// Opens or creates a file of the store without following a reparse point (and
// without truncating: a refused file stays as it was). The handle has `access`
// plus what checking it needs; it is refused unless it is a plain disk file with
// one name. Share mode as given; delete sharing is never granted.
StoreFile OpenStoreFile(const std::wstring& path, DWORD access, DWORD share);

// Merges the users' entry (kUsersAccess) into the DACL of the open file; 1 when
// it was stored, else 0.
int GrantUsersAccessOnHandle(HANDLE file);
