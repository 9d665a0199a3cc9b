// The resolution endpoint against the real registry, profile files and spooler.
#include "print_service/printers/get_printer_resolution.h"
#include "print_service/printers/tray_settings_store_win.h"
#include "print_service/printers/spooler_printer_device_win.h"

#include "common/text_convert.h"
#include "testing/data_directory_override_win.h"
#include "testing/recording_log.h"

#include <gtest/gtest.h>

#include <sddl.h>

namespace {

// A fresh data directory for one test, with the settings files it writes.
class ScratchDataDirectory {
 public:
  ScratchDataDirectory() : path_(CreateScratchDirectory("kelo-settings-")), override_(path_) {}
  ~ScratchDataDirectory() {
    for (const std::string& file : files_) (void)DeleteFileA(file.c_str());
    (void)RemoveDirectoryA(path_.c_str());
  }
  void WriteResolution(const std::string& queue, const wchar_t* value) {
    const std::string file = path_ + "\\" + queue + ".ini";
    files_.push_back(file);
    ASSERT_TRUE(WritePrivateProfileStringW(L"Print Settings", L"Resolution", value, WideFromAnsi(file).c_str()));
    (void)WritePrivateProfileStringW(nullptr, nullptr, nullptr, WideFromAnsi(file).c_str());
  }

 private:
  std::string path_;
  DataDirectoryOverride override_;
  std::vector<std::string> files_;
};

std::string Ask(const std::string& printName) {
  RegistrySettingsStore registry;
  SpoolerPrinterDevice device;
  RecordingLog log;
  ApiRequest req;
  req.params.emplace("printName", printName);
  return HandleGetPrinterResolution(registry, device, log, req).body;
}

TEST(ResolutionOnWine, OutcomeRowsWithRealQueues) {
  ScratchDataDirectory data;
  // The 300 dpi test queue: a 2 x 3 inch page.
  EXPECT_EQ(Ask("KeloTest300"), BuildResolutionAnswer({300, 300, 600, 900, 300}));
  // The 203 dpi queue: its device values (the quality Wine reports for it
  // depends on whether this process saw the stored default settings).
  EXPECT_NE(Ask("KeloTest203").find("\"xDPI\":\t203,\n\t\t\"yDPI\":\t203,\n\t\t\"physicalWidth\":\t812,"),
            std::string::npos);
  EXPECT_EQ(Ask("NoSuchQueue"), BuildResolutionError("Failed to open printer"));

  data.WriteResolution("KeloTest300", L"306");
  data.WriteResolution("NoSuchQueue", L"306");
  EXPECT_EQ(Ask("KeloTest300"), BuildResolutionAnswer({306, 306, 600, 900, 306}));
  EXPECT_EQ(Ask("NoSuchQueue"), BuildResolutionAnswer({306, 306, 0, 0, 306}));
}

TEST(ResolutionOnWine, NonAsciiNameFindsTheFileWrittenUnderItsName) {
  ScratchDataDirectory data;
  const std::string utf8 = "\xE6\xA0\x87\xE7\xAD\xBE";  // 标签
  const std::string ansi = AnsiFromWide(WideFromUtf8(utf8));
  if (ansi.find('?') != std::string::npos) GTEST_SKIP() << "the system code page has no such characters";
  data.WriteResolution(ansi, L"306");
  EXPECT_EQ(Ask(utf8), BuildResolutionAnswer({306, 306, 0, 0, 306}));
}

TEST(ResolutionOnWine, MissingDataDirectoryIsWrittenAndCreated) {
  ScratchDataDirectory data;  // restores the value afterwards
  DataDirectoryOverride::DeleteValue();

  (void)Ask("KeloTest300");
  char value[256] = {};
  DWORD size = sizeof value;
  ASSERT_EQ(RegGetValueA(HKEY_LOCAL_MACHINE, "Software\\KELO", "Data Directory", RRF_RT_REG_SZ, nullptr, value, &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(value, "C:\\ProgramData\\KELO");
  const DWORD attributes = GetFileAttributesA("C:\\ProgramData\\KELO");
  EXPECT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

// Gives "Software\KELO" an access list that lets everybody read it and nobody
// write it, as a standard user meets it, and puts the former list back.
class ReadOnlyMachineKey {
 public:
  ReadOnlyMachineKey() {
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPathW, 0, READ_CONTROL | WRITE_DAC, key_.Put()) != ERROR_SUCCESS) {
      return;
    }
    DWORD size = 0;
    (void)RegGetKeySecurity(key_.Get(), DACL_SECURITY_INFORMATION, nullptr, &size);
    former_.resize(size);
    if (size == 0 ||
        RegGetKeySecurity(key_.Get(), DACL_SECURITY_INFORMATION, former_.data(), &size) != ERROR_SUCCESS) {
      former_.clear();
      return;
    }
    PSECURITY_DESCRIPTOR readOnly = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;KR;;;WD)", SDDL_REVISION_1, &readOnly,
                                                              nullptr)) {
      return;
    }
    applied_ = RegSetKeySecurity(key_.Get(), DACL_SECURITY_INFORMATION, readOnly) == ERROR_SUCCESS;
    (void)LocalFree(readOnly);
  }
  ~ReadOnlyMachineKey() {
    // Through the handle opened before: its rights were granted then.
    if (applied_) (void)RegSetKeySecurity(key_.Get(), DACL_SECURITY_INFORMATION, former_.data());
  }
  ReadOnlyMachineKey(const ReadOnlyMachineKey&) = delete;
  ReadOnlyMachineKey& operator=(const ReadOnlyMachineKey&) = delete;
  bool applied() const { return applied_; }

 private:
  UniqueRegKey key_;
  std::vector<BYTE> former_;
  bool applied_ = false;
};

TEST(ResolutionOnWine, AMachineKeyThatMayOnlyBeReadStillGivesTheDataDirectory) {
  ScratchDataDirectory data;
  data.WriteResolution("KeloTest300", L"306");
  const std::optional<std::string> configured = DataDirectoryOverride::Value();
  ASSERT_TRUE(configured);
  {
    ReadOnlyMachineKey readOnly;
    ASSERT_TRUE(readOnly.applied());
    UniqueRegKey probe;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPathW, 0, KEY_READ | KEY_WRITE, probe.Put()) == ERROR_SUCCESS) {
      GTEST_SKIP() << "this registry does not check key access lists";
    }
    const DataDirectoryLookup found = RegistrySettingsStore().FindDataDirectory();
    ASSERT_TRUE(found.hive);
    EXPECT_EQ(*found.hive, SettingsHive::kMachineReadOnly);
    EXPECT_EQ(found.machineOpenError, ERROR_ACCESS_DENIED);
    EXPECT_EQ(found.dataDirectory, configured);
    EXPECT_EQ(Ask("KeloTest300"), BuildResolutionAnswer({306, 306, 600, 900, 306}));
  }
  EXPECT_EQ(DataDirectoryOverride::Value(), configured) << "nothing was written";
  const DataDirectoryLookup after = RegistrySettingsStore().FindDataDirectory();
  EXPECT_EQ(after.hive, std::optional<SettingsHive>(SettingsHive::kMachine)) << "the access list is back";
}

}  // namespace
