// Opens files and directories through NtCreateFile: by a name relative to a
// directory handle that was checked, and completing at once where another
// program's opportunistic lock would make the open wait for it (Windows only).
#pragma once

#include "common/unique_owner_win.h"

#include <cstdint>
#include <string>

enum class OpenStatus : uint8_t {
  kOpened,
  kCreated,
  kOplockBreakPending,  // opened, but an oplock break started: close it, do not use it
  kNotFound,            // no such name, or no such directory on the way
  kExists,              // FILE_CREATE found the name taken
  kIsDirectory,         // a directory (or a junction) where a file was asked for
  kAccessDenied,
  kSharingViolation,
  kFailed,
};

struct OpenResult {
  UniqueFile handle;
  OpenStatus status = OpenStatus::kFailed;
  uint32_t error = 0;  // the Windows error code of a failure
};

enum class OpenKind : uint8_t { kFile, kDirectory, kAny };

struct RelativeOpen {
  HANDLE root = nullptr;            // directory the name is relative to; null: name is a full path
  std::wstring name;                // relative name, or a full Win32 path when root is null
  ACCESS_MASK access = 0;           // SYNCHRONIZE is added
  ULONG share = 0;
  ULONG disposition = 0;            // FILE_OPEN, FILE_OPEN_IF, FILE_CREATE
  OpenKind kind = OpenKind::kFile;  // FILE_NON_DIRECTORY_FILE, FILE_DIRECTORY_FILE or neither
  bool backupIntent = false;        // use backup and restore privileges, when enabled
  PSECURITY_DESCRIPTOR security = nullptr;  // for what is created
};

// The link itself is opened, never followed (FILE_OPEN_REPARSE_POINT), and the
// open never waits for an oplock break (FILE_COMPLETE_IF_OPLOCKED).
OpenResult OpenRelative(const RelativeOpen& request);

// The handle's path after every link and mount point (\\?\C:\... form), or an
// empty string when it cannot be told.
std::wstring FinalPathOf(HANDLE handle);

// True when both name one path, letter case ignored as the file system ignores it.
bool SamePath(const std::wstring& a, const std::wstring& b);
