// "Data Directory", the data directory's owner and access list, and the store's
// files opened without following links, through advapi32 and kernel32.
#include "common/store_directory_win.h"

#include "common/settings_store.h"
#include "common/text_convert.h"

#include <aclapi.h>
#include <sddl.h>

#include <vector>

namespace {

// Rights to read and replace a directory's owner and access list.
constexpr DWORD kDirectorySecurityAccess = READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES;

// Enables backup, restore and take-ownership for one call and puts the previous
// state back. LocalSystem holds all three but has some disabled; with them a
// directory whose access list shuts SYSTEM out can still be taken over. Without
// them (a test run as a user) the calls simply go on with the rights there are.
class ScopedPrivileges {
 public:
  ScopedPrivileges() {
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token_.Put())) return;
    Privileges wanted{};
    const wchar_t* const names[] = {SE_BACKUP_NAME, SE_RESTORE_NAME, SE_TAKE_OWNERSHIP_NAME};
    for (const wchar_t* name : names) {
      LUID luid;
      if (!LookupPrivilegeValueW(nullptr, name, &luid)) continue;
      wanted.entries[wanted.count++] = {luid, SE_PRIVILEGE_ENABLED};
    }
    DWORD size = 0;
    changed_ = AdjustTokenPrivileges(token_.Get(), FALSE, reinterpret_cast<TOKEN_PRIVILEGES*>(&wanted),
                                     sizeof(previous_), reinterpret_cast<TOKEN_PRIVILEGES*>(&previous_), &size) != FALSE;
  }
  ~ScopedPrivileges() {
    // (void): a privilege left enabled only widens what this process may do.
    if (changed_ && previous_.count > 0) {
      (void)AdjustTokenPrivileges(token_.Get(), FALSE, reinterpret_cast<TOKEN_PRIVILEGES*>(&previous_), 0, nullptr,
                                  nullptr);
    }
  }
  ScopedPrivileges(const ScopedPrivileges&) = delete;
  ScopedPrivileges& operator=(const ScopedPrivileges&) = delete;

 private:
  // TOKEN_PRIVILEGES with room for three entries.
  struct Privileges {
    DWORD count;
    LUID_AND_ATTRIBUTES entries[3];
  };
  UniqueHandle token_;
  Privileges previous_{};
  bool changed_ = false;
};

Principal Classify(PSID sid) {
  if (sid == nullptr || !IsValidSid(sid)) return Principal::kOther;
  if (IsWellKnownSid(sid, WinLocalSystemSid)) return Principal::kSystem;
  if (IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) return Principal::kAdministrators;
  if (IsWellKnownSid(sid, WinBuiltinUsersSid)) return Principal::kUsers;
  return Principal::kOther;
}

std::vector<AccessEntryFacts> EntriesOf(PACL dacl) {
  std::vector<AccessEntryFacts> entries;
  ACL_SIZE_INFORMATION size{};
  if (dacl == nullptr || !GetAclInformation(dacl, &size, sizeof size, AclSizeInformation)) return entries;
  GENERIC_MAPPING fileRights = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
  for (DWORD i = 0; i < size.AceCount; ++i) {
    void* raw = nullptr;
    if (!GetAce(dacl, i, &raw)) continue;
    const auto* header = static_cast<const ACE_HEADER*>(raw);
    AccessEntryFacts facts;
    if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
      // Both kinds share the layout: header, mask, then the SID.
      auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
      DWORD mask = ace->Mask;
      MapGenericMask(&mask, &fileRights);
      facts.who = Classify(&ace->SidStart);
      facts.allow = header->AceType == ACCESS_ALLOWED_ACE_TYPE;
      facts.mask = mask;
    } else {
      // Object, callback and other entries: counted as granting everything, so
      // that an access list holding them is replaced.
      facts.mask = FILE_ALL_ACCESS;
    }
    entries.push_back(facts);
  }
  return entries;
}

DirectoryFacts FactsOf(HANDLE directory) {
  DirectoryFacts facts;
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileInformationByHandle(directory, &info)) {
    facts.isDirectory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    facts.isReparsePoint = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  }
  PSID owner = nullptr;  // both point into the descriptor
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR raw = nullptr;
  const DWORD got = GetSecurityInfo(directory, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                    &owner, nullptr, &dacl, nullptr, &raw);
  UniqueLocal descriptor(raw);
  if (got != ERROR_SUCCESS) return facts;
  facts.owner = Classify(owner);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (GetSecurityDescriptorControl(raw, &control, &revision)) facts.daclProtected = (control & SE_DACL_PROTECTED) != 0;
  facts.daclPresent = dacl != nullptr;
  facts.entries = EntriesOf(dacl);
  return facts;
}

UniqueLocal StoreSecurity() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kDataDirectorySecurity, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    return UniqueLocal();
  }
  return UniqueLocal(descriptor);
}

bool TakeOver(HANDLE directory) {
  UniqueLocal descriptor = StoreSecurity();
  if (!descriptor) return false;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  BOOL defaulted = FALSE;
  BOOL present = FALSE;
  if (!GetSecurityDescriptorOwner(descriptor.Get(), &owner, &defaulted) ||
      !GetSecurityDescriptorDacl(descriptor.Get(), &present, &dacl, &defaulted) || owner == nullptr || dacl == nullptr) {
    return false;
  }
  // On the open handle: the name could meanwhile point elsewhere, the handle cannot.
  return SetSecurityInfo(directory, SE_FILE_OBJECT,
                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                         owner, nullptr, dacl, nullptr) == ERROR_SUCCESS;
}

bool CreateWithStoreSecurity(const std::wstring& path) {
  UniqueLocal descriptor = StoreSecurity();
  if (!descriptor) return false;
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor.Get(), FALSE};
  return CreateDirectoryW(path.c_str(), &attributes) != FALSE;
}

UniqueFile OpenDirectory(const std::wstring& path, DWORD access) {
  // Backup semantics to open a directory at all; the reparse flag opens a
  // junction or link itself, so that it is seen and refused.
  return UniqueFile(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

bool IsMissing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

}  // namespace

std::optional<std::wstring> ReadDataDirectoryValue(HKEY key) {
  wchar_t value[kDataDirectoryCapacity] = {};
  DWORD size = sizeof(value);
  // A longer value fails with ERROR_MORE_DATA: it counts as missing.
  if (RegQueryValueExW(key, kDataDirectoryValueW, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  value[kDataDirectoryCapacity - 1] = L'\0';  // a value stored without its terminator
  if (value[0] == L'\0') return std::nullopt;
  return std::wstring(value);
}

std::optional<std::wstring> ReadMachineDataDirectory() {
  UniqueRegKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPathW, 0, KEY_READ, key.Put()) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return ReadDataDirectoryValue(key.Get());
}

bool WriteDataDirectoryValue(HKEY key, const std::wstring& directory) {
  const std::optional<std::string> ansi = ExactAnsiFromWide(directory);
  if (!ansi || ansi->empty()) return false;
  return RegSetValueExA(key, kDataDirectoryValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(ansi->c_str()),
                        static_cast<DWORD>(ansi->size() + 1)) == ERROR_SUCCESS;
}

DataDirectoryAccess SecureDataDirectory(const std::wstring& path, bool createWhenMissing) {
  DataDirectoryAccess access;
  if (path.empty()) return access;
  ScopedPrivileges privileges;
  UniqueFile directory = OpenDirectory(path, kDirectorySecurityAccess);
  DWORD error = directory ? ERROR_SUCCESS : GetLastError();
  if (!directory && IsMissing(error)) {
    if (!createWhenMissing) return access;
    // Created with its access list in one step: there is no moment at which a
    // user could open it with rights of the parent's. Another creator that came
    // first is judged below like any existing directory.
    if (!CreateWithStoreSecurity(path) && GetLastError() != ERROR_ALREADY_EXISTS) {
      access.state = DirectoryState::kRefused;
      access.refusal = StoreRefusal::kCannotSecure;
      return access;
    }
    directory = OpenDirectory(path, kDirectorySecurityAccess);
    error = directory ? ERROR_SUCCESS : GetLastError();
  }
  if (!directory && error == ERROR_ACCESS_DENIED) {
    // Enough to judge it; a directory that needs taking over is then refused.
    directory = OpenDirectory(path, READ_CONTROL | FILE_READ_ATTRIBUTES);
  }
  if (!directory) {
    access.state = DirectoryState::kRefused;
    access.refusal = StoreRefusal::kCannotOpen;
    return access;
  }

  const DirectoryJudgement judgement = JudgeDataDirectory(FactsOf(directory.Get()));
  if (judgement.verdict == DirectoryVerdict::kRefuse) {
    access.state = DirectoryState::kRefused;
    access.refusal = judgement.reason;
    return access;
  }
  if (judgement.verdict == DirectoryVerdict::kTakeOver) {
    if (!TakeOver(directory.Get())) {
      access.state = DirectoryState::kRefused;
      access.refusal = StoreRefusal::kCannotSecure;
      return access;
    }
    access.tookOver = true;
  }
  access.state = DirectoryState::kSecured;
  access.hold = std::move(directory);
  return access;
}

bool CreateSecuredDirectory(const std::wstring& path) { return !path.empty() && CreateWithStoreSecurity(path); }

StoreFile OpenStoreFile(const std::wstring& path, DWORD access, DWORD share) {
  StoreFile result;
  // OPEN_ALWAYS, never CREATE_ALWAYS: truncating on open would already have
  // changed a file that turns out to have another name elsewhere.
  result.file.Reset(CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES, share & ~FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!result.file) {
    result.error = GetLastError();
    // A directory or a junction under the file's name cannot be opened as a file;
    // its attributes (of the name itself, not of a target) tell which it is.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      result.refusal = StoreRefusal::kCannotOpen;
    } else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      result.refusal = StoreRefusal::kReparsePoint;
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      result.refusal = StoreRefusal::kNotAFile;
    } else {
      result.refusal = StoreRefusal::kCannotOpen;
    }
    return result;
  }
  StoreFileFacts facts;
  facts.isDiskFile = GetFileType(result.file.Get()) == FILE_TYPE_DISK;
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileInformationByHandle(result.file.Get(), &info)) {
    facts.isDirectory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    facts.isReparsePoint = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    facts.links = info.nNumberOfLinks;
  } else {
    facts.isDiskFile = false;  // nothing known: not written
  }
  result.refusal = JudgeStoreFile(facts);
  if (result.refusal != StoreRefusal::kNone) result.file.Reset();
  return result;
}

int GrantUsersAccessOnHandle(HANDLE file) {
  static_assert((FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE) == kUsersAccessMask,
                "access mask of the users entry");
  static_assert(SECURITY_BUILTIN_DOMAIN_RID == 32 && DOMAIN_ALIAS_RID_USERS == 545, "BUILTIN\\Users");
  SID_IDENTIFIER_AUTHORITY ntAuthority = {{0, 0, 0, 0, 0, kUsersAccess.authority}};
  UniqueSid users;
  if (!AllocateAndInitializeSid(&ntAuthority, 2, kUsersAccess.subAuthorities[0], kUsersAccess.subAuthorities[1], 0, 0,
                                0, 0, 0, 0, users.Put())) {
    return 0;
  }
  PACL dacl = nullptr;  // points into the descriptor
  PSECURITY_DESCRIPTOR rawDescriptor = nullptr;
  const DWORD got =
      GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &rawDescriptor);
  UniqueLocal descriptor(rawDescriptor);
  if (got != ERROR_SUCCESS) return 0;

  EXPLICIT_ACCESSW entry = {};
  entry.grfAccessPermissions = kUsersAccess.accessMask;
  entry.grfAccessMode = kUsersAccess.grant ? GRANT_ACCESS : SET_ACCESS;
  entry.grfInheritance = kUsersAccess.inherited ? SUB_CONTAINERS_AND_OBJECTS_INHERIT : NO_INHERITANCE;
  entry.Trustee.pMultipleTrustee = nullptr;
  entry.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
  entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  entry.Trustee.TrusteeType = kUsersAccess.wellKnownGroup ? TRUSTEE_IS_WELL_KNOWN_GROUP : TRUSTEE_IS_GROUP;
  entry.Trustee.ptstrName = static_cast<LPWSTR>(users.Get());
  PACL merged = nullptr;
  if (SetEntriesInAclW(1, &entry, dacl, &merged) != ERROR_SUCCESS) return 0;
  UniqueLocal mergedOwner(merged);
  return SetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, merged, nullptr) ==
                 ERROR_SUCCESS
             ? 1
             : 0;
}
