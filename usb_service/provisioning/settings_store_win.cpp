// The settings store's files, registry value and access rule on Windows.
#include "usb_service/provisioning/settings_store.h"

#include "common/text_convert.h"
#include "common/unique_owner.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstring>
#include <cwchar>

namespace {

constexpr size_t kBinPathCapacity = 256;   // bytes, terminator included
constexpr size_t kWidePathCapacity = 512;  // wide characters, terminator included
constexpr size_t kProgramDataCapacity = 512;

static_assert((FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE) == kUsersAccessMask, "access mask of the users entry");
static_assert(SECURITY_BUILTIN_DOMAIN_RID == 32 && DOMAIN_ALIAS_RID_USERS == 545, "BUILTIN\\Users");

// "Data Directory" from HKLM; nullopt when the key or the value cannot be read,
// or the value is empty or longer than 255 characters.
std::optional<std::string> ConfiguredDirectoryA() {
  UniqueRegKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, KEY_READ, key.Put()) != ERROR_SUCCESS) return std::nullopt;
  char value[256] = {};
  DWORD size = sizeof(value);
  if (RegQueryValueExA(key.Get(), kDataDirectoryValue, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  value[sizeof(value) - 1] = '\0';
  if (value[0] == '\0') return std::nullopt;
  return std::string(value);
}

std::optional<std::wstring> ConfiguredDirectoryW() {
  UniqueRegKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\KELO", 0, KEY_READ, key.Put()) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  wchar_t value[256] = {};
  DWORD size = sizeof(value);
  if (RegQueryValueExW(key.Get(), L"Data Directory", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  value[255] = L'\0';
  if (value[0] == L'\0') return std::nullopt;
  return std::wstring(value);
}

std::optional<std::string> DataDirectoryA() {
  if (std::optional<std::string> configured = ConfiguredDirectoryA()) return configured;
  char buffer[kBinPathCapacity] = {};
  if (!EnsureDataDirectory(buffer, sizeof(buffer))) return std::nullopt;
  return std::string(buffer);
}

std::optional<std::wstring> DataDirectoryW() {
  if (std::optional<std::wstring> configured = ConfiguredDirectoryW()) return configured;
  char buffer[kWidePathCapacity] = {};
  if (!EnsureDataDirectory(buffer, sizeof(buffer))) return std::nullopt;
  return WideFromAnsi(buffer);
}

// directory + "\" + name + suffix, or nullopt when it would not fit: a cut path
// could name another file.
template <typename Char>
std::optional<std::basic_string<Char>> Compose(const std::basic_string<Char>& directory,
                                               const std::basic_string<Char>& name, const Char* suffix,
                                               size_t capacity) {
  std::basic_string<Char> path = directory;
  path.push_back(static_cast<Char>('\\'));
  path += name;
  path += suffix;
  if (path.size() >= capacity) return std::nullopt;
  return path;
}

UniqueFile CreateBin(const std::string& path) {
  return UniqueFile(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

void GetDefaultDataDirectory(wchar_t* buffer, size_t capacity) {
  if (buffer == nullptr || capacity == 0) return;
  wchar_t programData[kProgramDataCapacity];
  const DWORD length = GetEnvironmentVariableW(L"ProgramData", programData, kProgramDataCapacity);
  std::optional<std::wstring> value;
  if (length > 0 && length < kProgramDataCapacity) value = std::wstring(programData, length);
  const std::wstring directory = DefaultDataDirectory(value);
  const size_t count = std::min(directory.size(), capacity - 1);
  std::wmemcpy(buffer, directory.data(), count);
  buffer[count] = L'\0';
}

void CreateDirectoryChain(const wchar_t* path) {
  if (path == nullptr) return;
  std::wstring copy(path, std::min<size_t>(std::wcslen(path), kWidePathCapacity - 1));
  for (size_t i = 0; i < copy.size(); ++i) {
    if (copy[i] != L'\\' && copy[i] != L'/') continue;
    // "C:" and a leading separator are no directories to create.
    if (i > 2) (void)CreateDirectoryW(copy.substr(0, i).c_str(), nullptr);
  }
  (void)CreateDirectoryW(copy.c_str(), nullptr);  // an existing one is fine
}

bool EnsureDataDirectory(char* buffer, size_t capacity) {
  if (buffer == nullptr || capacity == 0) return false;
  wchar_t directory[kWidePathCapacity];
  GetDefaultDataDirectory(directory, kWidePathCapacity);
  CreateDirectoryChain(directory);

  const std::string ansi = AnsiFromWide(directory);
  UniqueRegKey key;
  DWORD dwDisposition = 0;
  if (!ansi.empty() && ansi.size() < kWidePathCapacity &&
      RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                      nullptr, key.Put(), &dwDisposition) == ERROR_SUCCESS) {
    // (void): without the value the next pass simply resolves the default again.
    (void)RegSetValueExA(key.Get(), kDataDirectoryValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(ansi.c_str()),
                         static_cast<DWORD>(ansi.size() + 1));
  }
  if (ansi.empty() || ansi.size() >= capacity) {
    buffer[0] = '\0';
    return false;
  }
  std::memcpy(buffer, ansi.c_str(), ansi.size() + 1);
  return true;
}

void SaveConfigBin(const char* queueName, const ConfigBlock& block) {
  const std::optional<std::string> directory = DataDirectoryA();
  if (!directory || queueName == nullptr) return;
  const std::optional<std::string> path = Compose<char>(*directory, queueName, ".bin", kBinPathCapacity);
  if (!path) return;
  UniqueFile file = CreateBin(*path);
  if (!file && GetLastError() == ERROR_PATH_NOT_FOUND) {
    char ensured[kBinPathCapacity];
    if (EnsureDataDirectory(ensured, sizeof(ensured))) file = CreateBin(*path);
  }
  if (!file) return;
  DWORD written = 0;
  (void)WriteFile(file.Get(), block.bytes.data(), kConfigCopySize, &written, nullptr);  // nothing to report to
}

int ReadRotationPrinterData(const char* queueName, int fallback) {
  PRINTER_DEFAULTSA access = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  UniquePrinter printer;
  if (!OpenPrinterA(const_cast<char*>(queueName), printer.Put(), &access)) return fallback;
  int32_t value = 0;
  DWORD type = 0;
  DWORD needed = 0;
  const DWORD result = GetPrinterDataA(printer.Get(), const_cast<char*>("Rotation"), &type,
                                       reinterpret_cast<BYTE*>(&value), sizeof(value), &needed);
  if (result != ERROR_SUCCESS) return fallback;
  return value >= 0 && value <= 3 ? value : 0;
}

int GrantUsersAccess(const wchar_t* path) {
  // Opening for attributes only creates an empty file where there is none.
  (void)UniqueFile(CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));

  SID_IDENTIFIER_AUTHORITY ntAuthority = {{0, 0, 0, 0, 0, kUsersAccess.authority}};
  UniqueSid users;
  if (!AllocateAndInitializeSid(&ntAuthority, 2, kUsersAccess.subAuthorities[0], kUsersAccess.subAuthorities[1], 0, 0,
                                0, 0, 0, 0, users.Put())) {
    return 0;
  }
  PACL dacl = nullptr;  // points into the descriptor
  UniqueLocal descriptor;
  PSECURITY_DESCRIPTOR rawDescriptor = nullptr;
  const DWORD got = GetNamedSecurityInfoW(path, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                          nullptr, &rawDescriptor);
  descriptor.Reset(rawDescriptor);
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
  const DWORD set = SetNamedSecurityInfoW(const_cast<wchar_t*>(path), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                          nullptr, nullptr, merged, nullptr);
  return set == ERROR_SUCCESS ? 1 : 0;
}

void SyncPrinterIni(const char* queueName, const ConfigBlock& block) {
  if (queueName == nullptr) return;
  const std::optional<std::wstring> directory = DataDirectoryW();
  if (!directory) return;
  const std::wstring name = WideFromAnsi(queueName);
  const std::optional<std::wstring> szINIFile = Compose<wchar_t>(*directory, name, L".ini", kWidePathCapacity);
  const std::optional<std::wstring> logPath =
      Compose<wchar_t>(*directory, std::wstring(L"sync_log.txt"), L"", kWidePathCapacity);
  if (!szINIFile || !logPath) return;

  SyncRecord record;
  record.printer = queueName;
  record.block = block;
  record.aclFix = GrantUsersAccess(szINIFile->c_str());
  record.dpi = ResolutionDpi(block);
  const int fileRotation = static_cast<int>(GetPrivateProfileIntW(L"Print Settings", L"Rotation", 0, szINIFile->c_str()));
  record.rotationPrinterData = ReadRotationPrinterData(queueName, -1);
  const int rotation = ChooseRotation(fileRotation, record.rotationPrinterData);

  const std::pair<const wchar_t*, int> keys[] = {{L"Printtype", block.PrintType()},
                                                 {L"Thickness", block.Thickness()},
                                                 {L"Speed", block.Speed()},
                                                 {L"Resolution", record.dpi},
                                                 {L"Rotation", rotation}};
  bool first = true;
  for (const auto& [key, value] : keys) {
    const BOOL written =
        WritePrivateProfileStringW(L"Print Settings", key, std::to_wstring(value).c_str(), szINIFile->c_str());
    if (first) {
      record.writeResult = written;
      record.lastError = GetLastError();
      first = false;
    }
  }
  (void)WritePrivateProfileStringW(nullptr, nullptr, nullptr, szINIFile->c_str());  // flush the profile cache

  record.iniPath = AnsiFromWide(*szINIFile);
  UniqueFile log(CreateFileW(logPath->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!log) return;  // another writer holds it: this record is skipped
  const std::string text = FormatSyncLog(record);
  DWORD written = 0;
  (void)WriteFile(log.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}
