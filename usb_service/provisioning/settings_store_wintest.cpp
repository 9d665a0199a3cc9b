// The settings store's operations against Wine's registry, profile files and spooler.
#include "usb_service/provisioning/settings_store.h"

#include "common/text_convert.h"
#include "common/unique_owner.h"
#include "testing/data_directory_override_win.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A fresh data directory for one test; its files go afterwards.
class ScratchStore {
 public:
  ScratchStore() : dir_(CreateScratchDirectory("kelo-store-")), override_(dir_) {}
  ~ScratchStore() {
    for (const char* pattern : {"\\*.ini", "\\*.bin", "\\*.txt"}) {
      WIN32_FIND_DATAA found;
      UniqueFind search(FindFirstFileA((dir_ + pattern).c_str(), &found));
      if (!search) continue;
      do {
        (void)DeleteFileA((dir_ + "\\" + found.cFileName).c_str());
      } while (FindNextFileA(search.Get(), &found));
    }
    (void)RemoveDirectoryA(dir_.c_str());
  }
  const std::string& dir() const { return dir_; }

  static std::optional<std::string> Value() { return DataDirectoryOverride::Value(); }
  static void SetValue(const std::string& value) { DataDirectoryOverride::SetValue(value); }
  static void DeleteValue() { DataDirectoryOverride::DeleteValue(); }

 private:
  std::string dir_;
  DataDirectoryOverride override_;
};

ConfigBlock Block(uint8_t printType, uint8_t thickness, uint8_t speed, uint8_t resolutionClass) {
  ConfigBlock block;
  block.bytes[0] = kStateEnabled;
  block.bytes[8] = printType;
  block.bytes[9] = thickness;
  block.bytes[10] = speed;
  block.bytes[11] = resolutionClass;
  for (size_t i = 12; i < block.bytes.size(); ++i) block.bytes[i] = static_cast<uint8_t>(i);
  return block;
}

TEST(SettingsStoreOnWine, NewSettingsFileHoldsTheFiveKeysInOrder) {
  ScratchStore store;
  SyncPrinterIni("KeloStoreTest", Block(1, 2, 3, 1));
  EXPECT_EQ(ReadFile(store.dir() + "\\KeloStoreTest.ini"),
            "[Print Settings]\r\nPrinttype=1\r\nThickness=2\r\nSpeed=3\r\nResolution=203\r\nRotation=0\r\n");
}

TEST(SettingsStoreOnWine, ExistingKeysAndSectionsSurviveASynchronisation) {
  ScratchStore store;
  const std::string ini = store.dir() + "\\KeloStoreTest.ini";
  {
    std::ofstream out(ini, std::ios::binary);
    out << "[Other]\r\na=1\r\n[Print Settings]\r\nSpeed=9\r\nExtra=x\r\nRotation=3\r\n";
  }
  SyncPrinterIni("KeloStoreTest", Block(4, 5, 6, 255));
  EXPECT_EQ(ReadFile(ini),
            "[Other]\r\na=1\r\n[Print Settings]\r\nSpeed=6\r\nExtra=x\r\nRotation=3\r\nPrinttype=4\r\nThickness=5\r\n"
            "Resolution=306\r\n");
}

// A queue of its own for printer-data tests (Wine cannot delete printer data,
// so the data goes with the queue), on "FILE:" with a driver Wine has.
class ScratchQueue {
 public:
  explicit ScratchQueue(const char* name) {
    PRINTER_INFO_2A info = {};
    info.pPrinterName = const_cast<char*>(name);
    info.pDriverName = const_cast<char*>("KeloTest300");
    info.pPortName = const_cast<char*>("FILE:");
    info.pPrintProcessor = const_cast<char*>("WinPrint");
    info.pDatatype = const_cast<char*>("RAW");
    printer_.Reset(AddPrinterA(nullptr, 2, reinterpret_cast<BYTE*>(&info)));
  }
  ~ScratchQueue() {
    if (printer_) (void)DeletePrinter(printer_.Get());
  }
  bool SetRotation(int32_t value) {
    return printer_ && SetPrinterDataA(printer_.Get(), const_cast<char*>("Rotation"), REG_DWORD,
                                       reinterpret_cast<BYTE*>(&value), sizeof(value)) == ERROR_SUCCESS;
  }

 private:
  UniquePrinter printer_;
};

TEST(SettingsStoreOnWine, QueueRotationPrinterDataWins) {
  ScratchStore store;
  const char* const queue = "KeloRotationTest";
  const std::string ini = store.dir() + "\\" + queue + ".ini";
  EXPECT_EQ(ReadRotationPrinterData("NoSuchQueue", -1), -1);
  ScratchQueue scratch(queue);
  EXPECT_EQ(ReadRotationPrinterData(queue, -1), -1);  // no such data yet
  {
    std::ofstream out(ini, std::ios::binary);
    out << "[Print Settings]\r\nRotation=3\r\n";
  }
  ASSERT_TRUE(scratch.SetRotation(2));
  EXPECT_EQ(ReadRotationPrinterData(queue, -1), 2);
  SyncPrinterIni(queue, Block(0, 0, 0, 2));
  EXPECT_EQ(GetPrivateProfileIntA("Print Settings", "Rotation", -9, ini.c_str()), 2);
  EXPECT_NE(ReadFile(store.dir() + "\\sync_log.txt").find("  RotationPD: 2\r\n"), std::string::npos);
  ASSERT_TRUE(scratch.SetRotation(7));
  SyncPrinterIni(queue, Block(0, 0, 0, 2));
  EXPECT_EQ(GetPrivateProfileIntA("Print Settings", "Rotation", -9, ini.c_str()), 0);
  EXPECT_NE(ReadFile(store.dir() + "\\sync_log.txt").find("  RotationPD: 0\r\n"), std::string::npos);
  // No printer data: the file's value stays, and 9 becomes 0.
  SyncPrinterIni("KeloStoreTest", Block(0, 0, 0, 0));
  (void)WritePrivateProfileStringA("Print Settings", "Rotation", "3", (store.dir() + "\\KeloStoreTest.ini").c_str());
  SyncPrinterIni("KeloStoreTest", Block(0, 0, 0, 0));
  EXPECT_EQ(GetPrivateProfileIntA("Print Settings", "Rotation", -9, (store.dir() + "\\KeloStoreTest.ini").c_str()), 3);
  EXPECT_NE(ReadFile(store.dir() + "\\sync_log.txt").find("  RotationPD: -1\r\n"), std::string::npos);
  (void)WritePrivateProfileStringA("Print Settings", "Rotation", "9", (store.dir() + "\\KeloStoreTest.ini").c_str());
  SyncPrinterIni("KeloStoreTest", Block(0, 0, 0, 0));
  EXPECT_EQ(GetPrivateProfileIntA("Print Settings", "Rotation", -9, (store.dir() + "\\KeloStoreTest.ini").c_str()), 0);
}

TEST(SettingsStoreOnWine, ConfigCopyIsAlways63Bytes) {
  ScratchStore store;
  ConfigBlock block = Block(1, 2, 3, 4);
  SaveConfigBin("KeloStoreTest", block);
  const std::string bin = ReadFile(store.dir() + "\\KeloStoreTest.bin");
  ASSERT_EQ(bin.size(), 63u);
  EXPECT_EQ(bin, std::string(reinterpret_cast<const char*>(block.bytes.data()), 63));
  ConfigBlock shortAnswer;  // a printer that sent 12 bytes
  shortAnswer.bytes[0] = kStateEnabled;
  SaveConfigBin("KeloStoreTest", shortAnswer);
  EXPECT_EQ(ReadFile(store.dir() + "\\KeloStoreTest.bin"), std::string("\x08", 1) + std::string(62, '\0'));
}

TEST(SettingsStoreOnWine, SyncLogHoldsOnlyTheLastRecordExactly) {
  ScratchStore store;
  SyncPrinterIni("First", Block(1, 1, 1, 1));
  SyncPrinterIni("KeloStoreTest", Block(7, 8, 9, 2));
  const std::string wideIni = store.dir() + "\\KeloStoreTest.ini";
  SyncRecord expected;
  expected.printer = "KeloStoreTest";
  expected.aclFix = GrantUsersAccess(WideFromAnsi(wideIni).c_str());
  expected.rotationPrinterData = -1;
  expected.block = Block(7, 8, 9, 2);
  expected.dpi = 306;
  expected.writeResult = 1;
  expected.lastError = 0;
  expected.iniPath = wideIni;
  const std::string log = ReadFile(store.dir() + "\\sync_log.txt");
  // The error code after a successful write is whatever the call left; compare the rest.
  const size_t lastError = log.find("LastError: ");
  ASSERT_NE(lastError, std::string::npos);
  const std::string expectedText = FormatSyncLog(expected);
  EXPECT_EQ(log.substr(0, lastError), expectedText.substr(0, expectedText.find("LastError: ")));
  EXPECT_EQ(log.substr(log.find("\r\n", lastError)), "\r\n  INI path: " + wideIni + "\r\n");
  EXPECT_EQ(log.find("First"), std::string::npos);
}

TEST(SettingsStoreOnWine, MissingValueIsWrittenAndTheDefaultDirectoryCreated) {
  ScratchStore store;  // restores the value afterwards
  ScratchStore::DeleteValue();
  char buffer[256];
  ASSERT_TRUE(EnsureDataDirectory(buffer, sizeof buffer));
  wchar_t expected[512];
  GetDefaultDataDirectory(expected, 512);
  EXPECT_EQ(std::string(buffer), AnsiFromWide(expected));
  EXPECT_EQ(ScratchStore::Value(), std::string(buffer));
  const DWORD attributes = GetFileAttributesA(buffer);
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_FALSE(EnsureDataDirectory(nullptr, 10));
  EXPECT_FALSE(EnsureDataDirectory(buffer, 0));
  char tiny[4];
  EXPECT_FALSE(EnsureDataDirectory(tiny, sizeof tiny));  // does not fit: no cut path
}

TEST(SettingsStoreOnWine, DefaultDirectoryFollowsProgramData) {
  wchar_t saved[512] = {};
  const DWORD had = GetEnvironmentVariableW(L"ProgramData", saved, 512);
  wchar_t out[512];
  ASSERT_TRUE(SetEnvironmentVariableW(L"ProgramData", L"D:\\Shared"));
  GetDefaultDataDirectory(out, 512);
  EXPECT_STREQ(out, L"D:\\Shared\\KELO");
  GetDefaultDataDirectory(out, 5);
  EXPECT_STREQ(out, L"D:\\S");  // cut, always terminated
  ASSERT_TRUE(SetEnvironmentVariableW(L"ProgramData", nullptr));
  GetDefaultDataDirectory(out, 512);
  EXPECT_STREQ(out, L"C:\\ProgramData\\KELO");
  ASSERT_TRUE(SetEnvironmentVariableW(L"ProgramData", std::wstring(600, L'x').c_str()));
  GetDefaultDataDirectory(out, 512);
  EXPECT_STREQ(out, L"C:\\ProgramData\\KELO");
  (void)SetEnvironmentVariableW(L"ProgramData", had > 0 && had < 512 ? saved : nullptr);
}

TEST(SettingsStoreOnWine, DirectoryChainCreatesEveryLevel) {
  ScratchStore store;
  const std::wstring deep = WideFromAnsi(store.dir()) + L"\\a\\b/c";
  CreateDirectoryChain(deep.c_str());
  EXPECT_NE(GetFileAttributesW(deep.c_str()), INVALID_FILE_ATTRIBUTES);
  (void)RemoveDirectoryW(deep.c_str());
  (void)RemoveDirectoryW((WideFromAnsi(store.dir()) + L"\\a\\b").c_str());
  (void)RemoveDirectoryW((WideFromAnsi(store.dir()) + L"\\a").c_str());
}

TEST(SettingsStoreOnWine, PathsThatDoNotFitWriteNoFile) {
  ScratchStore store;
  // The .bin path has 256 bytes: directory, "\", name and ".bin" must fit.
  const std::string longName(256 - store.dir().size() - 5, 'n');
  SaveConfigBin(longName.c_str(), Block(1, 1, 1, 1));
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((store.dir() + "\\n*").c_str(), &found);
  EXPECT_EQ(search, INVALID_HANDLE_VALUE) << found.cFileName;
  if (search != INVALID_HANDLE_VALUE) (void)FindClose(search);
  SaveConfigBin(longName.substr(1).c_str(), Block(1, 1, 1, 1));  // one shorter fits
  EXPECT_EQ(ReadFile(store.dir() + "\\" + longName.substr(1) + ".bin").size(), 63u);
  (void)DeleteFileA((store.dir() + "\\" + longName.substr(1) + ".bin").c_str());
}

TEST(SettingsStoreOnWine, MissingConfiguredDirectoryResetsTheValueToTheDefault) {
  ScratchStore store;
  const std::string gone = store.dir() + "\\missing";
  ScratchStore::SetValue(gone);
  SaveConfigBin("KeloStoreTest", Block(1, 1, 1, 1));
  char expected[256];
  ASSERT_TRUE(EnsureDataDirectory(expected, sizeof expected));
  EXPECT_EQ(ScratchStore::Value(), std::string(expected));
  EXPECT_EQ(GetFileAttributesA(gone.c_str()), INVALID_FILE_ATTRIBUTES);  // not created: the second try failed too
  (void)DeleteFileA((std::string(expected) + "\\KeloStoreTest.bin").c_str());
}

TEST(SettingsStoreOnWine, ACLFixFieldShowsTheAccessResult) {
  ScratchStore store;
  SyncPrinterIni("KeloStoreTest", Block(1, 1, 1, 1));
  const int result = GrantUsersAccess(WideFromAnsi(store.dir() + "\\KeloStoreTest.ini").c_str());
  EXPECT_NE(ReadFile(store.dir() + "\\sync_log.txt").find("  ACL fix : " + std::to_string(result) + "\r\n"),
            std::string::npos);
}

}  // namespace
