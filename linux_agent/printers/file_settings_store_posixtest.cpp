// The settings files as the agent reads them from its data directory.
#include "linux_agent/printers/file_settings_store_posix.h"

#include "testing/recording_log.h"
#include "linux_agent/testing/temp_dir_posix.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

TEST(FileSettingsStore, ResolutionTextAsTheProfileFunctionsGiveIt) {
  TempDir tmp;
  WriteTextFile(tmp / "Q306.ini", "[Print Settings]\r\nPrinttype=1\r\nResolution=306\r\n");
  WriteTextFile(tmp / "QEmpty.ini", "[Print Settings]\r\nResolution=\r\n");
  WriteTextFile(tmp / "QNoKey.ini", "[Print Settings]\r\nSpeed=3\r\n");
  WriteTextFile(tmp / "QLong.ini", "[Print Settings]\r\nResolution=" + std::string(40, '7') + "\r\n");
  WriteTextFile(tmp / "QHuge.ini", "[Print Settings]\r\nResolution=306\r\n" + std::string(70 * 1024, '#'));
  WriteTextFile(tmp / "target.ini", "[Print Settings]\r\nResolution=306\r\n");
  ASSERT_EQ(symlink((tmp / "target.ini").c_str(), (tmp / "QLink.ini").c_str()), 0);
  ASSERT_EQ(mkfifo((tmp / "QPipe.ini").c_str(), 0644), 0);
  ASSERT_EQ(mkdir((tmp / "QDir.ini").c_str(), 0755), 0);
  const struct {
    const char* queue;
    std::optional<std::string> expected;
  } rows[] = {
      {"Q306", "306"},
      {"QEmpty", std::nullopt},            // present but empty: no value at all
      {"QNoKey", "0"},                     // the default
      {"QMissing", "0"},
      {"QLong", std::string(31, '7')},     // 32 characters with the terminator
      {"QHuge", "0"},                      // not read: larger than any settings file
      {"QLink", "0"},                      // a link is not followed
      {"QPipe", "0"},                      // and a pipe never waited for
      {"QDir", "0"},
  };
  FileSettingsStore store(tmp.path());
  for (const auto& row : rows) {
    EXPECT_EQ(store.ReadResolutionText(tmp.path(), row.queue), row.expected) << row.queue;
  }
}

TEST(FileSettingsStore, CustomResolutionThroughTheRouteLogic) {
  TempDir tmp;
  WriteTextFile(tmp / "KeloTest300.ini", "[Print Settings]\r\nResolution=306\r\n");
  WriteTextFile(tmp / "Other.ini", "[Print Settings]\r\nResolution=abc\r\n");
  FileSettingsStore store(tmp.path());
  RecordingLog log;
  EXPECT_EQ(LookupCustomResolution(store, log, "KeloTest300"), 306);
  EXPECT_EQ(LookupCustomResolution(store, log, "Other"), 0);
  EXPECT_EQ(LookupCustomResolution(store, log, "../" + tmp.path().substr(5) + "/KeloTest300"), 0);
  // Only the found values are logged: the registry's fallbacks do not exist here.
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"P:GetPrinterResolution: Found custom resolution: 306\n",
                                                   "P:GetPrinterResolution: Found custom resolution: 0\n"}));
}

TEST(FileSettingsStore, DataDirectoryFromTheEnvironment) {
  const char* saved = std::getenv("KELO_DATA_DIR");
  const std::string previous = saved != nullptr ? saved : "";
  setenv("KELO_DATA_DIR", "/srv/labels", 1);
  EXPECT_EQ(PosixDataDirectory(), "/srv/labels");
  setenv("KELO_DATA_DIR", "", 1);
  EXPECT_EQ(PosixDataDirectory(), "/var/lib/kelo");
  unsetenv("KELO_DATA_DIR");
  EXPECT_EQ(PosixDataDirectory(), "/var/lib/kelo");
  if (saved != nullptr) setenv("KELO_DATA_DIR", previous.c_str(), 1);
}

}  // namespace
