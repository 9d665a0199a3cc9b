// The service's writes into the settings store, in a data directory it has made
// its own and through files opened relative to it without following links.
#include "usb_service/provisioning/settings_writer_win.h"

#include "common/relative_open_win.h"
#include "common/store_directory_win.h"
#include "common/text_convert.h"
#include "common/unique_owner_win.h"
#include "usb_service/provisioning/settings_file_sync.h"

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

constexpr wchar_t kSyncLogName[] = L"sync_log.txt";

// Writes all of `text` from the start of the open file and cuts what a longer
// file had after it; false with the error code when a write failed.
bool ReplaceContent(HANDLE file, const std::string& text, uint32_t& error) {
  LARGE_INTEGER start = {};
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
    error = GetLastError();
    return false;
  }
  size_t done = 0;
  while (done < text.size()) {
    DWORD written = 0;
    if (!WriteFile(file, text.data() + done, static_cast<DWORD>(text.size() - done), &written, nullptr) ||
        written == 0) {
      error = GetLastError();
      if (error == 0) error = ERROR_WRITE_FAULT;
      return false;
    }
    done += written;
  }
  if (!SetEndOfFile(file)) {
    error = GetLastError();
    return false;
  }
  return true;
}

// A queue's settings file, opened relative to the secured directory.
class HeldSettingsFile final : public SettingsFile {
 public:
  HeldSettingsFile(const DataDirectoryAccess& directory, std::wstring name)
      : directory_(directory), name_(std::move(name)) {}

  StoreRefusal Open() override {
    // Read and write sharing, as the profile functions open it: the users' tray
    // reads it meanwhile. WRITE_DAC for the users' entry.
    file_ = OpenStoreFile(directory_, name_, GENERIC_READ | GENERIC_WRITE | READ_CONTROL | WRITE_DAC,
                          FILE_SHARE_READ | FILE_SHARE_WRITE);
    return file_.refusal;
  }
  std::optional<uint64_t> Size() override {
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file_.file.Get(), &size) || size.QuadPart < 0) return std::nullopt;
    return static_cast<uint64_t>(size.QuadPart);
  }
  std::optional<std::string> Read(uint64_t size) override {
    std::string text(static_cast<size_t>(size), '\0');
    size_t done = 0;
    while (done < text.size()) {
      DWORD got = 0;
      if (!ReadFile(file_.file.Get(), &text[done], static_cast<DWORD>(text.size() - done), &got, nullptr)) {
        return std::nullopt;
      }
      if (got == 0) break;  // cut shorter meanwhile: what there is
      done += got;
    }
    text.resize(done);
    return text;
  }
  bool Replace(const std::string& text, uint32_t& error) override {
    return ReplaceContent(file_.file.Get(), text, error);
  }
  int GrantUsersAccess() override { return GrantUsersAccessOnHandle(file_.file.Get()); }

 private:
  const DataDirectoryAccess& directory_;
  std::wstring name_;
  StoreFile file_;
};

// Replaces the sync log with the record; a log that is refused or held by
// another writer gets nothing.
void WriteSyncLog(const DataDirectoryAccess& directory, const SyncRecord& record) {
  StoreFile log = OpenStoreFile(directory, kSyncLogName, GENERIC_WRITE, 0);
  if (!log.file) return;
  uint32_t error = 0;
  // (void): the log is the only trace there is; a failed write has nowhere to go.
  (void)ReplaceContent(log.file.Get(), FormatSyncLog(record), error);
}

// The line that tells where a directory someone else made went.
std::string MovedAsideLine(const std::wstring& directory, const std::wstring& aside) {
  return AnsiFromWide(directory) + ": made by another user, renamed to " + AnsiFromWide(aside);
}

// A refused data directory gets no file. The record goes to the default
// directory's log instead, when that is another directory the service can secure.
void RecordRefusedDirectory(const std::wstring& directory, SyncRecord record, const DataDirectoryAccess& refused) {
  if (!refused.movedAsideTo.empty()) record.refusals.push_back(MovedAsideLine(directory, refused.movedAsideTo));
  record.refusals.push_back(RefusalLine(directory, refused.refusal));
  record.lastError = kRefusedWriteError;
  wchar_t fallback[kWidePathCapacity];
  GetDefaultDataDirectory(fallback, kWidePathCapacity);
  if (SamePath(directory, fallback)) return;
  const DataDirectoryAccess other = SecureDataDirectory(fallback, true);
  if (other.state != DirectoryState::kSecured) return;
  if (!other.movedAsideTo.empty()) record.refusals.push_back(MovedAsideLine(fallback, other.movedAsideTo));
  WriteSyncLog(other, record);
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
  const std::wstring name = WideFromAnsi(queueName) + L".bin";
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
  if (!access.movedAsideTo.empty()) refusals.push_back(MovedAsideLine(*directory, access.movedAsideTo));
  if (access.state == DirectoryState::kRefused) refusals.push_back(RefusalLine(*directory, access.refusal));
  if (access.state != DirectoryState::kSecured) return refusals;

  StoreFile file = OpenStoreFile(access, name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
  if (file.refusal != StoreRefusal::kNone) refusals.push_back(RefusalLine(*path, file.refusal));
  if (!file.file) return refusals;
  uint32_t error = 0;
  // (void): nothing to report to; the next pass writes the copy again.
  (void)ReplaceContent(file.file.Get(), std::string(reinterpret_cast<const char*>(block.bytes.data()), kConfigCopySize),
                       error);
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

std::vector<std::string> SecureConfiguredDataDirectory() {
  std::vector<std::string> notes;
  if (const std::optional<std::wstring> configured = ReadMachineDataDirectory()) {
    // A refusal is recorded when a file is to be written; where a replaced
    // directory went is known only now.
    const DataDirectoryAccess access = SecureDataDirectory(*configured, false);
    if (!access.movedAsideTo.empty()) notes.push_back(MovedAsideLine(*configured, access.movedAsideTo));
  }
  return notes;
}

void SyncPrinterIni(const char* queueName, const ConfigBlock& block, const std::vector<std::string>& earlierRefusals) {
  if (queueName == nullptr) return;
  const std::optional<std::wstring> directory = ResolveDataDirectory();
  if (!directory) return;
  const std::wstring wideName = WideFromAnsi(queueName);
  const std::optional<std::wstring> szINIFile = Compose(*directory, wideName, L".ini");
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
    RecordRefusedDirectory(*directory, record, access);
    return;
  }
  if (!access.movedAsideTo.empty()) record.refusals.push_back(MovedAsideLine(*directory, access.movedAsideTo));

  record.rotationPrinterData = ReadRotationPrinterData(queueName, -1);
  // Read, changed and written back through the one handle that was checked,
  // never by path: nothing swapped in after the check is written or re-permissioned.
  HeldSettingsFile ini(access, wideName + L".ini");
  const SettingsFileOutcome outcome = SyncSettingsFile(ini, block, record.rotationPrinterData);
  if (outcome.refusal != StoreRefusal::kNone) record.refusals.push_back(RefusalLine(*szINIFile, outcome.refusal));
  record.aclFix = outcome.aclFix;
  record.writeResult = outcome.writeResult;
  record.lastError = outcome.lastError;
  WriteSyncLog(access, record);
}
