// The service's writes into the settings store, in a data directory it has made
// its own and through files opened without following links.
#include "usb_service/provisioning/settings_writer_win.h"

#include "common/store_directory_win.h"
#include "common/text_convert.h"
#include "common/unique_owner_win.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

namespace {

constexpr size_t kProgramDataCapacity = 512;

// The configured directory, or the default one that EnsureDataDirectory makes
// and records when the value is missing.
std::optional<std::wstring> ResolveDataDirectory() {
  if (std::optional<std::wstring> configured = ReadMachineDataDirectory()) return configured;
  char buffer[kWidePathCapacity] = {};
  if (!EnsureDataDirectory(buffer, sizeof(buffer))) return std::nullopt;
  return WideFromAnsi(buffer);
}

// directory + "\" + name + suffix, or nullopt when it would not fit: a cut path
// could name another file.
std::optional<std::wstring> Compose(const std::wstring& directory, const std::wstring& name, const wchar_t* suffix) {
  std::wstring path = directory + L"\\" + name + suffix;
  if (path.size() >= kWidePathCapacity) return std::nullopt;
  return path;
}

std::string RefusalLine(const std::wstring& path, StoreRefusal reason) {
  return AnsiFromWide(path) + ": " + RefusalText(reason);
}

bool SameDirectory(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

// Replaces the sync log with the record; a log that is refused or held by
// another writer gets nothing.
void WriteSyncLog(const std::wstring& logPath, const SyncRecord& record) {
  StoreFile log = OpenStoreFile(logPath, GENERIC_WRITE, 0);
  if (!log.file) return;
  const std::string text = FormatSyncLog(record);
  DWORD written = 0;
  // (void): the log is the only trace there is; a failed write has nowhere to go.
  (void)WriteFile(log.file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  (void)SetEndOfFile(log.file.Get());
}

// A refused data directory gets no file. The record goes to the default
// directory's log instead, when that is another directory the service can secure.
void RecordRefusedDirectory(const std::wstring& directory, SyncRecord record, StoreRefusal reason) {
  record.refusals.push_back(RefusalLine(directory, reason));
  record.lastError = ERROR_ACCESS_DENIED;
  wchar_t fallback[kWidePathCapacity];
  GetDefaultDataDirectory(fallback, kWidePathCapacity);
  if (SameDirectory(directory, fallback)) return;
  const DataDirectoryAccess other = SecureDataDirectory(fallback, true);
  if (other.state != DirectoryState::kSecured) return;
  if (const std::optional<std::wstring> log = Compose(fallback, L"sync_log", L".txt")) WriteSyncLog(*log, record);
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
    if (i > 2) (void)CreateDirectoryW(copy.substr(0, i).c_str(), nullptr);  // an existing one is fine
  }
  // The data directory itself: created with the store's access list, or taken over.
  (void)SecureDataDirectory(copy, true);
}

bool EnsureDataDirectory(char* buffer, size_t capacity) {
  if (buffer == nullptr || capacity == 0) return false;
  wchar_t directory[kWidePathCapacity];
  GetDefaultDataDirectory(directory, kWidePathCapacity);
  CreateDirectoryChain(directory);

  UniqueRegKey key;
  DWORD dwDisposition = 0;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPathW, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_READ | KEY_WRITE, nullptr, key.Put(), &dwDisposition) == ERROR_SUCCESS) {
    // (void): without the value the next pass simply resolves the default again.
    (void)WriteDataDirectoryValue(key.Get(), directory);
  }
  const std::string ansi = AnsiFromWide(directory);
  if (ansi.empty() || ansi.size() >= capacity) {
    buffer[0] = '\0';
    return false;
  }
  std::memcpy(buffer, ansi.c_str(), ansi.size() + 1);
  return true;
}

std::vector<std::string> SaveConfigBin(const char* queueName, const ConfigBlock& block) {
  std::vector<std::string> refusals;
  if (queueName == nullptr) return refusals;
  const std::optional<std::wstring> directory = ResolveDataDirectory();
  if (!directory) return refusals;
  const std::optional<std::wstring> path = Compose(*directory, WideFromAnsi(queueName), L".bin");
  // The path has to fit 256 bytes in the system code page.
  if (!path || AnsiFromWide(*path).size() >= kBinPathCapacity) return refusals;

  DataDirectoryAccess access = SecureDataDirectory(*directory, false);
  if (access.state == DirectoryState::kMissing) {
    // Resets the value to the default and creates that; the same path is tried
    // once more, which works when the configured directory was the default.
    char ensured[kBinPathCapacity];
    if (EnsureDataDirectory(ensured, sizeof(ensured))) access = SecureDataDirectory(*directory, false);
  }
  if (access.state == DirectoryState::kRefused) refusals.push_back(RefusalLine(*directory, access.refusal));
  if (access.state != DirectoryState::kSecured) return refusals;

  StoreFile file = OpenStoreFile(*path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
  if (file.refusal != StoreRefusal::kNone && file.refusal != StoreRefusal::kCannotOpen) {
    refusals.push_back(RefusalLine(*path, file.refusal));
  }
  if (!file.file) return refusals;
  DWORD written = 0;
  // (void): nothing to report to; the next pass writes the copy again.
  (void)WriteFile(file.file.Get(), block.bytes.data(), kConfigCopySize, &written, nullptr);
  (void)SetEndOfFile(file.file.Get());  // opened without truncating: cut what a longer file left
  return refusals;
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

void SecureConfiguredDataDirectory() {
  if (const std::optional<std::wstring> configured = ReadMachineDataDirectory()) {
    (void)SecureDataDirectory(*configured, false);  // a refusal is recorded when a file is to be written
  }
}

void SyncPrinterIni(const char* queueName, const ConfigBlock& block, const std::vector<std::string>& earlierRefusals) {
  if (queueName == nullptr) return;
  const std::optional<std::wstring> directory = ResolveDataDirectory();
  if (!directory) return;
  const std::optional<std::wstring> szINIFile = Compose(*directory, WideFromAnsi(queueName), L".ini");
  const std::optional<std::wstring> logPath = Compose(*directory, L"sync_log", L".txt");
  if (!szINIFile || !logPath) return;

  SyncRecord record;
  record.printer = queueName;
  record.block = block;
  record.dpi = ResolutionDpi(block);
  record.iniPath = AnsiFromWide(*szINIFile);
  record.refusals = earlierRefusals;

  // A missing configured directory is not created here: nothing is written.
  const DataDirectoryAccess access = SecureDataDirectory(*directory, false);
  if (access.state == DirectoryState::kMissing) return;
  if (access.state == DirectoryState::kRefused) {
    RecordRefusedDirectory(*directory, record, access.refusal);
    return;
  }

  // Held through the writes: without delete sharing, the checked file cannot be
  // swapped for another under the profile functions, which go by path.
  StoreFile ini = OpenStoreFile(*szINIFile, READ_CONTROL | WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE);
  const bool refused = ini.refusal != StoreRefusal::kNone && ini.refusal != StoreRefusal::kCannotOpen;
  if (refused) record.refusals.push_back(RefusalLine(*szINIFile, ini.refusal));
  record.aclFix = ini.file ? GrantUsersAccessOnHandle(ini.file.Get()) : 0;
  record.rotationPrinterData = ReadRotationPrinterData(queueName, -1);

  if (refused) {
    record.writeResult = 0;
    record.lastError = ERROR_ACCESS_DENIED;
  } else {
    const int fileRotation =
        static_cast<int>(GetPrivateProfileIntW(kSettingsSectionW, L"Rotation", 0, szINIFile->c_str()));
    const int rotation = ChooseRotation(fileRotation, record.rotationPrinterData);
    const std::pair<const wchar_t*, int> keys[] = {{L"Printtype", block.PrintType()},
                                                   {L"Thickness", block.Thickness()},
                                                   {L"Speed", block.Speed()},
                                                   {L"Resolution", record.dpi},
                                                   {L"Rotation", rotation}};
    bool first = true;
    for (const auto& [key, value] : keys) {
      const BOOL written =
          WritePrivateProfileStringW(kSettingsSectionW, key, std::to_wstring(value).c_str(), szINIFile->c_str());
      if (first) {
        record.writeResult = written;
        record.lastError = GetLastError();
        first = false;
      }
    }
    (void)WritePrivateProfileStringW(nullptr, nullptr, nullptr, szINIFile->c_str());  // flush the profile cache
  }
  WriteSyncLog(*logPath, record);
}
