// The service's writes into the settings store against Wine's registry, file
// system, profile files and spooler.
#include "usb_service/provisioning/settings_writer_win.h"

#include "common/profile_text.h"
#include "common/relative_open_win.h"
#include "common/store_directory_win.h"
#include "common/text_convert.h"
#include "common/unique_owner_win.h"
#include "testing/data_directory_override_win.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

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
  expected.rotationPrinterData = -1;
  expected.block = Block(7, 8, 9, 2);
  expected.dpi = 306;
  expected.writeResult = 1;
  expected.lastError = 0;
  expected.iniPath = wideIni;
  std::string log = ReadFile(store.dir() + "\\sync_log.txt");
  // Wine keeps no access lists, so "ACL fix" says only what its stub answered:
  // that line is left out here (its format is tested natively, its 0 for a
  // refused file below). The error code after a successful write is whatever
  // the call left; compare the rest.
  const size_t acl = log.find("  ACL fix : ");
  ASSERT_NE(acl, std::string::npos);
  log.erase(acl, log.find("\r\n", acl) + 2 - acl);
  std::string expectedText = FormatSyncLog(expected);
  expectedText.erase(expectedText.find("  ACL fix : "), std::string("  ACL fix : 0\r\n").size());
  const size_t lastError = log.find("LastError: ");
  ASSERT_NE(lastError, std::string::npos);
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


// Under Wine the owner read back is the account of the Unix file's owner (this
// process's own, so every directory counts as the installer's), the access list
// is made from the mode bits, SetSecurityInfo changes nothing and there are no
// junctions or oplocks; a directory held without delete sharing is kept from
// being renamed, as on Windows. What it can show is below. That a user's
// directory is judged to be replaced, really gets moved aside, that a fresh one
// has the store's owner and protected list, that a junction is seen as one and
// that an oplock does not hold an open, only Windows can prove.

std::wstring SecurityText(const std::wstring& path) {
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                            nullptr, &raw) != ERROR_SUCCESS) {
    return L"";
  }
  UniqueLocal descriptor(raw);
  wchar_t* text = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(raw, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                            nullptr)) {
    return L"";
  }
  UniqueLocal textOwner(text);
  return text;
}

TEST(SettingsStoreOnWine, CreatedDataDirectoryGivesEveryoneNothing) {
  ScratchStore store;
  const std::wstring secured = WideFromAnsi(store.dir()) + L"\\secured";
  const std::wstring plain = WideFromAnsi(store.dir()) + L"\\plain";
  ASSERT_TRUE(CreateSecuredDirectory(secured));
  EXPECT_FALSE(CreateSecuredDirectory(secured)) << "an existing directory is left alone";
  ASSERT_TRUE(CreateDirectoryW(plain.c_str(), nullptr));
  // A directory made without our list lets Everyone read (Wine's default); ours does not.
  EXPECT_NE(SecurityText(plain).find(L";;;WD)"), std::wstring::npos) << SecurityText(plain);
  EXPECT_EQ(SecurityText(secured).find(L";;;WD)"), std::wstring::npos) << SecurityText(secured);
  DataDirectoryAccess access = SecureDataDirectory(secured, false);
  EXPECT_EQ(access.state, DirectoryState::kSecured);
  EXPECT_TRUE(access.hold);
  access.hold.Reset();  // held without delete sharing: it could not be removed
  (void)RemoveDirectoryW(secured.c_str());
  (void)RemoveDirectoryW(plain.c_str());
}

TEST(SettingsStoreOnWine, DataDirectoryStatesTable) {
  ScratchStore store;
  const std::wstring base = WideFromAnsi(store.dir());
  const std::wstring file = base + L"\\a-file";
  UniqueFile(CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  struct Row {
    std::wstring path;
    bool create;
    DirectoryState state;
    StoreRefusal refusal;
  };
  const Row rows[] = {
      {base + L"\\missing", false, DirectoryState::kMissing, StoreRefusal::kNone},
      {file, true, DirectoryState::kRefused, StoreRefusal::kNotADirectory},
      {base + L"\\missing-parent\\x", true, DirectoryState::kRefused, StoreRefusal::kCannotSecure},
      {base, false, DirectoryState::kSecured, StoreRefusal::kNone},  // a directory this user made: taken over
  };
  for (const Row& row : rows) {
    const DataDirectoryAccess access = SecureDataDirectory(row.path, row.create);
    EXPECT_EQ(access.state, row.state) << AnsiFromWide(row.path);
    EXPECT_EQ(access.refusal, row.refusal) << AnsiFromWide(row.path);
  }
  (void)DeleteFileW(file.c_str());
}

// A file outside the data directory that a user links into it.
class OutsideFile {
 public:
  OutsideFile(const char* name, const std::string& text) : path_(CreateScratchDirectory("kelo-outside-") + "\\" + name) {
    std::ofstream(path_, std::ios::binary) << text;
  }
  ~OutsideFile() {
    (void)DeleteFileA(path_.c_str());
    (void)RemoveDirectoryA(path_.substr(0, path_.rfind('\\')).c_str());  // once the last file has gone
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(SettingsStoreOnWine, HardLinkedFilesAreNeitherWrittenNorTruncatedAndTheLogSaysSo) {
  ScratchStore store;
  const std::string original = "[Print Settings]\r\nSecret=keep\r\n";
  OutsideFile iniTarget("target.ini", original);
  OutsideFile binTarget("target.bin", std::string(100, 'b'));
  const std::string ini = store.dir() + "\\KeloStoreTest.ini";
  const std::string bin = store.dir() + "\\KeloStoreTest.bin";
  ASSERT_TRUE(CreateHardLinkA(ini.c_str(), iniTarget.path().c_str(), nullptr));
  ASSERT_TRUE(CreateHardLinkA(bin.c_str(), binTarget.path().c_str(), nullptr));

  const std::vector<std::string> binRefusals = SaveConfigBin("KeloStoreTest", Block(1, 2, 3, 1));
  SyncPrinterIni("KeloStoreTest", Block(1, 2, 3, 1), binRefusals);

  EXPECT_EQ(ReadFile(iniTarget.path()), original);
  EXPECT_EQ(ReadFile(binTarget.path()), std::string(100, 'b'));
  const std::string log = ReadFile(store.dir() + "\\sync_log.txt");
  EXPECT_NE(log.find("  ACL fix : 0\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("  WriteResult: 0  LastError: 5\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("  Refused : " + bin + ": a file with other hard links\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("  Refused : " + ini + ": a file with other hard links\r\n"), std::string::npos) << log;
}

TEST(SettingsStoreOnWine, DirectoryUnderTheSettingsFileNameIsRefused) {
  ScratchStore store;
  const std::string ini = store.dir() + "\\KeloStoreTest.ini";
  ASSERT_TRUE(CreateDirectoryA(ini.c_str(), nullptr));
  SyncPrinterIni("KeloStoreTest", Block(1, 2, 3, 1));
  const std::string log = ReadFile(store.dir() + "\\sync_log.txt");
  EXPECT_NE(log.find("  Refused : " + ini + ": not a plain file\r\n"), std::string::npos) << log;
  EXPECT_NE(GetFileAttributesA(ini.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
  (void)RemoveDirectoryA(ini.c_str());
}

TEST(SettingsStoreOnWine, RefusedDataDirectoryIsRecordedInTheDefaultOne) {
  ScratchStore store;
  const std::string notADirectory = store.dir() + "\\file-as-directory";
  std::ofstream(notADirectory, std::ios::binary) << "x";
  const std::string programData = store.dir() + "\\programdata";
  ASSERT_TRUE(CreateDirectoryA(programData.c_str(), nullptr));
  wchar_t saved[512] = {};
  const DWORD had = GetEnvironmentVariableW(L"ProgramData", saved, 512);
  ASSERT_TRUE(SetEnvironmentVariableA("ProgramData", programData.c_str()));
  ScratchStore::SetValue(notADirectory);

  SyncPrinterIni("KeloStoreTest", Block(1, 2, 3, 1));
  const std::string log = ReadFile(programData + "\\KELO\\sync_log.txt");
  EXPECT_NE(log.find("  printer : KeloStoreTest\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("  Refused : " + notADirectory + ": not a directory\r\n"), std::string::npos) << log;
  EXPECT_EQ(GetFileAttributesA((programData + "\\KELO\\KeloStoreTest.ini").c_str()), INVALID_FILE_ATTRIBUTES)
      << "nothing but the record goes elsewhere";
  EXPECT_EQ(ScratchStore::Value(), notADirectory) << "the configured value stays";

  (void)SetEnvironmentVariableW(L"ProgramData", had > 0 && had < 512 ? saved : nullptr);
  (void)DeleteFileA((programData + "\\KELO\\sync_log.txt").c_str());
  (void)RemoveDirectoryA((programData + "\\KELO").c_str());
  (void)RemoveDirectoryA(programData.c_str());
  (void)DeleteFileA(notADirectory.c_str());
}

// The writer's text against what Wine's own profile functions make of the same
// file. Rows where Wine rewrites lines the writer keeps (Wine re-serialises the
// whole file; Windows edits the lines it changes) are left to the native table.
TEST(SettingsStoreOnWine, WrittenTextIsWhatTheProfileFunctionsWrite) {
  ScratchStore store;
  const std::string path = store.dir() + "\\profile.ini";
  const std::vector<ProfileValue> values = {
      {"Printtype", "7"}, {"Thickness", "8"}, {"Speed", "9"}, {"Resolution", "306"}, {"Rotation", "0"}};
  const char* const rows[] = {
      "",
      "[Print Settings]\r\nPrinttype=1\r\n",
      "[Other]\r\na=1\r\n[Print Settings]\r\nSpeed=6\r\nExtra=x\r\nRotation=3\r\n",
      "x=1\r\n[print settings]\r\nSPEED=4\r\n",
      "[Print Settings]\r\nSpeed=1\r\n[Print Settings]\r\nThickness=1\r\n",
      "[Print Settings]\r\nSpeed\r\nSpeed=3\r\n",
      "[Other]\r\n;comment\r\n[Print Settings]\r\n;note\r\nspeed=2\r\n[Tail]\r\nb=2\r\n",
      "[Other]\r\na=\xB1\xEA\xC7\xA9\r\n[Print Settings]\r\nResolution=203\r\n",
      "[Other]\r\na=1",
      "junk\r\n[A]\r\n[Print Settings\r\nk=v\r\n",
      "\xEF\xBB\xBF[Print Settings]\r\nSpeed=1\r\n",
  };
  for (const char* row : rows) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << row;
    for (const ProfileValue& value : values) {
      ASSERT_TRUE(WritePrivateProfileStringA("Print Settings", value.key.c_str(), value.value.c_str(), path.c_str()));
    }
    (void)WritePrivateProfileStringA(nullptr, nullptr, nullptr, path.c_str());
    EXPECT_EQ(WriteProfileValues(row, "Print Settings", values), ReadFile(path)) << row;
  }
  (void)DeleteFileA(path.c_str());
}

TEST(SettingsStoreOnWine, SettingsFileHeldWithoutSharingIsRefusedAndRecorded) {
  ScratchStore store;
  const std::string ini = store.dir() + "\\KeloStoreTest.ini";
  std::ofstream(ini, std::ios::binary) << "[Print Settings]\r\nSpeed=1\r\n";
  {
    UniqueFile held(CreateFileA(ini.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    SyncPrinterIni("KeloStoreTest", Block(1, 2, 3, 1));
  }
  EXPECT_EQ(ReadFile(ini), "[Print Settings]\r\nSpeed=1\r\n") << "not written by path once let go";
  const std::string log = ReadFile(store.dir() + "\\sync_log.txt");
  EXPECT_NE(log.find("  Refused : " + ini + ": cannot be opened\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("  ACL fix : 0\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("  WriteResult: 0  LastError: 5\r\n"), std::string::npos) << log;
}

TEST(SettingsStoreOnWine, OversizedSettingsFileIsRefusedAndLeftAlone) {
  ScratchStore store;
  const std::string ini = store.dir() + "\\KeloStoreTest.ini";
  const std::string big = "[Print Settings]\r\n" + std::string(kSettingsFileLimit, ';');
  std::ofstream(ini, std::ios::binary) << big;
  SyncPrinterIni("KeloStoreTest", Block(1, 2, 3, 1));
  EXPECT_EQ(ReadFile(ini), big);
  const std::string log = ReadFile(store.dir() + "\\sync_log.txt");
  EXPECT_NE(log.find("  Refused : " + ini + ": larger than the store reads\r\n"), std::string::npos) << log;
}

TEST(SettingsStoreOnWine, FilesAreOpenedInTheHeldDirectoryAndCheckedByFinalPath) {
  ScratchStore store;
  const DataDirectoryAccess access = SecureDataDirectory(WideFromAnsi(store.dir()), false);
  ASSERT_EQ(access.state, DirectoryState::kSecured);
  EXPECT_TRUE(SamePath(access.finalPath, L"\\\\?\\" + WideFromAnsi(store.dir()))) << AnsiFromWide(access.finalPath);
  StoreFile plain = OpenStoreFile(access, L"plain.bin", GENERIC_WRITE, 0);
  ASSERT_TRUE(plain.file) << RefusalText(plain.refusal);
  EXPECT_TRUE(plain.created);
  plain.file.Reset();
  EXPECT_FALSE(OpenStoreFile(access, L"plain.bin", GENERIC_WRITE, 0).created);
  for (const wchar_t* name : {L"..\\x.ini", L"sub\\x.ini", L"CON.ini", L""}) {
    EXPECT_EQ(OpenStoreFile(access, name, GENERIC_WRITE, 0).refusal, StoreRefusal::kNotAFile) << AnsiFromWide(name);
  }
  (void)DeleteFileA((store.dir() + "\\plain.bin").c_str());
}

// Under Wine a Unix symbolic link is opened like the file it names, with no
// reparse point to see: only the handle's final path tells that the file lies
// elsewhere. The link is made by running the Unix "ln" (Wine starts Unix
// programs); on Windows the test is skipped.
std::optional<std::string> UnixPathOf(const std::string& path) {
  using UnixName = char*(CDECL*)(const wchar_t*);
  const auto unixName =
      reinterpret_cast<UnixName>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"),
                                                                        "wine_get_unix_file_name")));
  if (unixName == nullptr) return std::nullopt;
  char* name = unixName(WideFromAnsi(path).c_str());
  if (name == nullptr) return std::nullopt;
  std::string result(name);
  (void)HeapFree(GetProcessHeap(), 0, name);
  return result;
}

// Starts a Unix program with the Unix paths of the given files. Wine does not
// wait for it: the caller looks for what it did.
bool RunUnix(const wchar_t* program, const std::string& name, const std::string& options,
             const std::vector<std::string>& files) {
  std::string line = name + " " + options;
  for (const std::string& file : files) {
    const std::optional<std::string> unixPath = UnixPathOf(file);
    if (!unixPath) return false;
    line += " \"" + *unixPath + "\"";
  }
  std::wstring command = WideFromAnsi(line);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(program, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    return false;
  }
  UniqueHandle ownedProcess(process.hProcess);
  UniqueHandle ownedThread(process.hThread);
  return true;
}

// Waits up to two seconds for a name to appear or to go.
bool AwaitName(const std::string& path, bool present) {
  for (int i = 0; i < 100; ++i) {
    if ((GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) == present) return true;
    Sleep(20);
  }
  return false;
}

bool UnixSymbolicLink(const std::string& target, const std::string& link) {
  return RunUnix(L"Z:\\bin\\ln", "ln", "-s", {target, link}) && AwaitName(link, true);
}

TEST(SettingsStoreOnWine, FilesWhoseFinalPathIsElsewhereAreRefused) {
  ScratchStore store;
  if (!UnixPathOf(store.dir())) GTEST_SKIP() << "needs Wine's Unix file names";
  const std::string original = "[Print Settings]\r\nSecret=keep\r\n";
  OutsideFile iniTarget("target.ini", original);
  OutsideFile binTarget("target.bin", std::string(100, 'b'));
  const std::string ini = store.dir() + "\\KeloStoreTest.ini";
  const std::string bin = store.dir() + "\\KeloStoreTest.bin";
  ASSERT_TRUE(UnixSymbolicLink(iniTarget.path(), ini));
  ASSERT_TRUE(UnixSymbolicLink(binTarget.path(), bin));

  const std::vector<std::string> binRefusals = SaveConfigBin("KeloStoreTest", Block(1, 2, 3, 1));
  SyncPrinterIni("KeloStoreTest", Block(1, 2, 3, 1), binRefusals);

  EXPECT_EQ(ReadFile(iniTarget.path()), original);
  EXPECT_EQ(ReadFile(binTarget.path()), std::string(100, 'b'));
  const std::string log = ReadFile(store.dir() + "\\sync_log.txt");
  const std::string elsewhere = ": opened somewhere else than its place in the directory\r\n";
  EXPECT_NE(log.find("  Refused : " + ini + elsewhere), std::string::npos) << log;
  EXPECT_NE(log.find("  Refused : " + bin + elsewhere), std::string::npos) << log;
  EXPECT_NE(log.find("  ACL fix : 0\r\n"), std::string::npos) << log;
  // Wine's DeleteFile does not remove a Unix link, nor is a dangling one listed:
  // removed while the targets are still there to tell when they have gone.
  EXPECT_TRUE(RunUnix(L"Z:\\bin\\rm", "rm", "-f", {ini, bin}) && AwaitName(ini, false) && AwaitName(bin, false));
}

// What a directory replaced by the service leaves: the old one beside it with
// everything in it, a fresh one in its place that the writes go to. Wine reads
// every owner from the Unix file's, so the verdict is given here.
DirectoryJudgement MadeByAnotherUser(HANDLE) { return {DirectoryVerdict::kReplace}; }

TEST(SettingsStoreOnWine, DirectoryMadeByAnotherUserIsRenamedAsideAndReplaced) {
  ScratchStore store;
  const std::string prepared = store.dir() + "\\prepared";
  ASSERT_TRUE(CreateDirectoryA(prepared.c_str(), nullptr));
  std::ofstream(prepared + "\\KeloStoreTest.ini", std::ios::binary) << "[Print Settings]\r\nPlanted=1\r\n";

  DataDirectoryAccess access = SecureDataDirectory(WideFromAnsi(prepared), false, MadeByAnotherUser);
  ASSERT_EQ(access.state, DirectoryState::kSecured) << RefusalText(access.refusal);
  const std::string aside = AnsiFromWide(access.movedAsideTo);
  EXPECT_EQ(aside.rfind(prepared + ".refused-", 0), 0u) << aside;
  EXPECT_EQ(ReadFile(aside + "\\KeloStoreTest.ini"), "[Print Settings]\r\nPlanted=1\r\n");
  EXPECT_TRUE(SamePath(access.finalPath, L"\\\\?\\" + WideFromAnsi(prepared)));
  EXPECT_EQ(GetFileAttributesA((prepared + "\\KeloStoreTest.ini").c_str()), INVALID_FILE_ATTRIBUTES) << "fresh";
  // The fresh directory is the one written to.
  StoreFile file = OpenStoreFile(access, L"KeloStoreTest.bin", GENERIC_WRITE, 0);
  EXPECT_TRUE(file.file) << RefusalText(file.refusal);
  file.file.Reset();
  access.hold.Reset();

  // A second replacement in the same second gets a name of its own.
  DataDirectoryAccess again = SecureDataDirectory(WideFromAnsi(prepared), false, MadeByAnotherUser);
  ASSERT_EQ(again.state, DirectoryState::kSecured);
  EXPECT_NE(again.movedAsideTo, access.movedAsideTo);
  again.hold.Reset();

  // Held open without delete sharing, it cannot be renamed: refused, left in place.
  {
    UniqueFile user(CreateFileA(prepared.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(user);
    const DataDirectoryAccess held = SecureDataDirectory(WideFromAnsi(prepared), false, MadeByAnotherUser);
    EXPECT_EQ(held.state, DirectoryState::kRefused);
    EXPECT_EQ(held.refusal, StoreRefusal::kCannotMoveAside);
  }
  for (const std::wstring& dir : {access.movedAsideTo, again.movedAsideTo}) {
    (void)DeleteFileW((dir + L"\\KeloStoreTest.ini").c_str());
    (void)DeleteFileW((dir + L"\\KeloStoreTest.bin").c_str());
    (void)RemoveDirectoryW(dir.c_str());
  }
  (void)DeleteFileA((prepared + "\\KeloStoreTest.bin").c_str());
  (void)RemoveDirectoryA(prepared.c_str());
}

}  // namespace
