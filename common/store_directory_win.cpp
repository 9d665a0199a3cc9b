// "Data Directory", the data directory's owner and access list, and the store's
// files opened without following links, through advapi32 and kernel32.
#include "common/store_directory_win.h"

#include "common/relative_open_win.h"
#include "common/settings_store.h"
#include "common/text_convert.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cwchar>
#include <vector>

namespace {

// Rights to read and replace a directory's owner and access list, and to open
// its files relative to it. Not DELETE: a user's handle that does not share
// delete would make this open fail; renaming aside reopens for that.
constexpr DWORD kDirectorySecurityAccess =
    READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES | FILE_TRAVERSE;
// How many names beside it are tried for a directory to rename aside.
constexpr int kAsideAttempts = 5;

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

// The account this process runs as: LocalSystem for the service.
bool IsOwnAccount(PSID sid) {
  UniqueHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Put())) return false;
  struct {
    TOKEN_USER user;
    BYTE sid[SECURITY_MAX_SID_SIZE];
  } buffer;
  DWORD size = 0;
  if (!GetTokenInformation(token.Get(), TokenUser, &buffer, sizeof buffer, &size)) return false;
  return EqualSid(buffer.user.User.Sid, sid) != FALSE;
}

Principal Classify(PSID sid) {
  if (sid == nullptr || !IsValidSid(sid)) return Principal::kOther;
  if (IsWellKnownSid(sid, WinLocalSystemSid)) return Principal::kSystem;
  if (IsOwnAccount(sid)) return Principal::kOwnAccount;
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

OpenResult OpenDirectory(const std::wstring& path, DWORD access) {
  RelativeOpen open;
  open.name = path;
  open.access = access;
  open.share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  open.disposition = FILE_OPEN;
  // Either kind: a file in the directory's place is opened, seen and refused. The
  // reparse point itself is opened, so that a junction is refused.
  open.kind = OpenKind::kAny;
  open.backupIntent = true;
  return OpenRelative(open);
}

// Creates the directory with the store's owner and access list and opens it in
// the same step: there is no moment at which anyone else could open it, and the
// handle is the directory that was created.
OpenResult CreateDirectoryHeld(const std::wstring& path) {
  UniqueLocal descriptor = StoreSecurity();
  if (!descriptor) return OpenResult();
  RelativeOpen create;
  create.name = path;
  create.access = kDirectorySecurityAccess;
  create.share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  create.disposition = FILE_CREATE;
  create.kind = OpenKind::kDirectory;
  create.security = descriptor.Get();
  return OpenRelative(create);
}

// "YYYYMMDD-HHMMSS" of the current UTC time.
std::wstring TimeStamp() {
  SYSTEMTIME now;
  GetSystemTime(&now);
  wchar_t text[32];
  const int n = swprintf(text, 32, L"%04u%02u%02u-%02u%02u%02u", static_cast<unsigned>(now.wYear),
                         static_cast<unsigned>(now.wMonth), static_cast<unsigned>(now.wDay),
                         static_cast<unsigned>(now.wHour), static_cast<unsigned>(now.wMinute),
                         static_cast<unsigned>(now.wSecond));
  return n > 0 ? std::wstring(text, static_cast<size_t>(n)) : std::wstring(L"0");
}

// Renames the open directory to a free name beside it; the name it got, or empty.
std::wstring MoveAside(HANDLE directory, const std::wstring& path) {
  const std::wstring stamp = TimeStamp();
  for (int attempt = 1; attempt <= kAsideAttempts; ++attempt) {
    const std::wstring target = AsideDirectoryName(path, stamp, attempt);
    std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
    std::copy(target.begin(), target.end(), rename->FileName);
    if (SetFileInformationByHandle(directory, FileRenameInfo, rename, static_cast<DWORD>(buffer.size()))) {
      return target;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) return std::wstring();
  }
  return std::wstring();
}

DataDirectoryAccess Refused(StoreRefusal reason) {
  DataDirectoryAccess access;
  access.state = DirectoryState::kRefused;
  access.refusal = reason;
  return access;
}

DataDirectoryAccess Secured(UniqueFile directory) {
  DataDirectoryAccess access;
  access.finalPath = FinalPathOf(directory.Get());
  // Without it no file could be checked after its open: nothing is written.
  if (access.finalPath.empty()) return Refused(StoreRefusal::kCannotOpen);
  access.state = DirectoryState::kSecured;
  access.hold = std::move(directory);
  return access;
}

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

DirectoryJudgement JudgeOpenDirectory(HANDLE directory) { return JudgeDataDirectory(FactsOf(directory)); }

DataDirectoryAccess SecureDataDirectory(const std::wstring& path, bool createWhenMissing, DirectoryJudge judge) {
  DataDirectoryAccess access;
  if (path.empty()) return access;
  ScopedPrivileges privileges;
  OpenResult directory = OpenDirectory(path, kDirectorySecurityAccess);
  if (directory.status == OpenStatus::kNotFound) {
    if (!createWhenMissing) return access;
    directory = CreateDirectoryHeld(path);
    if (directory.status == OpenStatus::kCreated || directory.status == OpenStatus::kOpened) {
      return Secured(std::move(directory.handle));
    }
    // Another creator came first: judged below like any existing directory.
    if (directory.status != OpenStatus::kExists) return Refused(StoreRefusal::kCannotSecure);
    directory = OpenDirectory(path, kDirectorySecurityAccess);
  }
  if (directory.status == OpenStatus::kAccessDenied) {
    // Enough to judge it; a directory that needs anything done is then refused.
    directory = OpenDirectory(path, READ_CONTROL | FILE_READ_ATTRIBUTES);
  }
  if (directory.status == OpenStatus::kOplockBreakPending) return Refused(StoreRefusal::kOplocked);
  if (directory.status != OpenStatus::kOpened) return Refused(StoreRefusal::kCannotOpen);

  const DirectoryJudgement judgement = judge(directory.handle.Get());
  switch (judgement.verdict) {
    case DirectoryVerdict::kRefuse:
      return Refused(judgement.reason);
    case DirectoryVerdict::kUse:
      return Secured(std::move(directory.handle));
    case DirectoryVerdict::kSecureInPlace: {
      if (!TakeOver(directory.handle.Get())) return Refused(StoreRefusal::kCannotSecure);
      DataDirectoryAccess secured = Secured(std::move(directory.handle));
      secured.tookOver = secured.state == DirectoryState::kSecured;
      return secured;
    }
    case DirectoryVerdict::kReplace:
      break;
  }
  // A user's directory: whatever list it gets, handles opened before keep their
  // rights. It goes aside with everything in it; the store starts afresh. The
  // handle that renames it needs DELETE, which the first one does not share, so
  // it replaces the first and is judged again: what is renamed is what was judged.
  directory.handle.Reset();
  OpenResult mover = OpenDirectory(path, kDirectorySecurityAccess | DELETE);
  if (mover.status != OpenStatus::kOpened || judge(mover.handle.Get()).verdict != DirectoryVerdict::kReplace) {
    return Refused(mover.status == OpenStatus::kOplockBreakPending ? StoreRefusal::kOplocked
                                                                   : StoreRefusal::kCannotMoveAside);
  }
  const std::wstring aside = MoveAside(mover.handle.Get(), path);
  if (aside.empty()) return Refused(StoreRefusal::kCannotMoveAside);
  mover.handle.Reset();
  OpenResult fresh = CreateDirectoryHeld(path);
  // Taken again at once: by whom is not known, so nothing is written this pass.
  if (fresh.status != OpenStatus::kCreated && fresh.status != OpenStatus::kOpened) {
    DataDirectoryAccess refused = Refused(StoreRefusal::kCannotSecure);
    refused.movedAsideTo = aside;
    return refused;
  }
  DataDirectoryAccess secured = Secured(std::move(fresh.handle));
  secured.movedAsideTo = aside;
  return secured;
}

bool CreateSecuredDirectory(const std::wstring& path) { return !path.empty() && CreateWithStoreSecurity(path); }

StoreFile OpenStoreFile(const DataDirectoryAccess& directory, const std::wstring& name, DWORD access, DWORD share) {
  StoreFile result;
  // A name with a separator or a device name would not name a file of this directory.
  if (directory.state != DirectoryState::kSecured || !IsPlainFileName(Utf8FromWide(name))) {
    result.refusal = StoreRefusal::kNotAFile;
    return result;
  }
  RelativeOpen open;
  open.root = directory.hold.Get();
  open.name = name;
  open.access = access | FILE_READ_ATTRIBUTES;
  open.share = share & ~FILE_SHARE_DELETE;
  // FILE_OPEN_IF, never a truncating disposition: truncating on open would already
  // have changed a file that turns out to have another name elsewhere.
  open.disposition = FILE_OPEN_IF;
  OpenResult opened = OpenRelative(open);
  StoreFileFacts facts;
  switch (opened.status) {
    case OpenStatus::kOpened:
    case OpenStatus::kCreated:
      break;
    case OpenStatus::kOplockBreakPending:
      facts.oplockBreakPending = true;
      break;
    case OpenStatus::kIsDirectory: {
      // A directory or a junction under the file's name; its attributes (of the
      // name itself, relative to the held directory) tell which.
      RelativeOpen look = open;
      look.access = FILE_READ_ATTRIBUTES;
      look.share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
      look.disposition = FILE_OPEN;
      look.kind = OpenKind::kAny;
      const OpenResult seen = OpenRelative(look);
      BY_HANDLE_FILE_INFORMATION info{};
      const bool link = seen.handle && GetFileInformationByHandle(seen.handle.Get(), &info) &&
                        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
      result.refusal = link ? StoreRefusal::kReparsePoint : StoreRefusal::kNotAFile;
      result.error = opened.error;
      return result;
    }
    default:
      result.refusal = StoreRefusal::kCannotOpen;
      result.error = opened.error;
      return result;
  }
  if (!facts.oplockBreakPending) {
    facts.isDiskFile = GetFileType(opened.handle.Get()) == FILE_TYPE_DISK;
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileInformationByHandle(opened.handle.Get(), &info)) {
      facts.isDirectory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      facts.isReparsePoint = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
      facts.links = info.nNumberOfLinks;
    } else {
      facts.isDiskFile = false;  // nothing known: not written
    }
    // A drive root's final path ends in its separator already.
    const bool atRoot = !directory.finalPath.empty() && directory.finalPath.back() == L'\\';
    facts.atExpectedPath =
        SamePath(FinalPathOf(opened.handle.Get()), directory.finalPath + (atRoot ? L"" : L"\\") + name);
  }
  result.refusal = JudgeStoreFile(facts);
  if (result.refusal != StoreRefusal::kNone) {
    result.error = facts.oplockBreakPending ? opened.error : ERROR_ACCESS_DENIED;
    return result;  // the handle closes here
  }
  result.created = opened.status == OpenStatus::kCreated;
  result.file = std::move(opened.handle);
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
