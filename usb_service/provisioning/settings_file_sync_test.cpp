// The settings file's part of a synchronisation, against a file in memory.
#include "usb_service/provisioning/settings_file_sync.h"

#include "testing/fake_settings_file.h"

#include <gtest/gtest.h>

namespace {

ConfigBlock Block(uint8_t printType, uint8_t thickness, uint8_t speed, uint8_t resolutionClass) {
  ConfigBlock block;
  block.bytes[0] = kStateEnabled;
  block.bytes[8] = printType;
  block.bytes[9] = thickness;
  block.bytes[10] = speed;
  block.bytes[11] = resolutionClass;
  return block;
}

using Calls = std::vector<std::string>;

TEST(SettingsFileSync, WritesTheFiveKeysThroughTheCheckedFile) {
  FakeSettingsFile file("[Other]\r\na=1\r\n[Print Settings]\r\nSpeed=6\r\nRotation=3\r\n");
  const SettingsFileOutcome outcome = SyncSettingsFile(file, Block(4, 5, 6, 255), -1);
  EXPECT_EQ(file.text(),
            "[Other]\r\na=1\r\n[Print Settings]\r\nSpeed=6\r\nRotation=3\r\nPrinttype=4\r\nThickness=5\r\n"
            "Resolution=306\r\n");
  EXPECT_EQ(file.calls(), (Calls{"open", "size", "read 53", "grant", "replace"}));
  EXPECT_EQ(outcome.refusal, StoreRefusal::kNone);
  EXPECT_EQ(outcome.aclFix, 1);
  EXPECT_EQ(outcome.writeResult, 1);
  EXPECT_EQ(outcome.lastError, 0u);
}

TEST(SettingsFileSync, RotationComesFromPrinterDataOrTheFileItself) {
  const struct {
    const char* text;
    int printerData;
    const char* expectedLine;
  } rows[] = {
      {"[Print Settings]\r\nRotation=3\r\n", 2, "Rotation=2\r\n"},
      {"[Print Settings]\r\nRotation=3\r\n", 7, "Rotation=0\r\n"},
      {"[Print Settings]\r\nRotation=3\r\n", -1, "Rotation=3\r\n"},
      {"[Print Settings]\r\nRotation=9\r\n", -1, "Rotation=0\r\n"},
      {"[Print Settings]\r\nrotation = \"1\"\r\n", -1, "rotation=1\r\n"},
      {"[Print Settings]\r\nRotation=2x\r\n", -1, "Rotation=2\r\n"},
      {"[Other]\r\nRotation=2\r\n", -1, "Rotation=0\r\n"},
  };
  for (const auto& row : rows) {
    FakeSettingsFile file(row.text);
    SyncSettingsFile(file, Block(1, 1, 1, 1), row.printerData);
    EXPECT_NE(file.text().find(row.expectedLine), std::string::npos) << row.text << " -> " << file.text();
  }
}

TEST(SettingsFileSync, ARefusedOrUnreadableFileGetsNoEntryAndNoWrite) {
  const std::string original = "[Print Settings]\r\nSecret=keep\r\n";
  struct Row {
    const char* what;
    void (*arrange)(FakeSettingsFile&);
    StoreRefusal refusal;
    Calls calls;
  };
  const Row rows[] = {
      {"held without sharing", [](FakeSettingsFile& f) { f.openRefusal = StoreRefusal::kCannotOpen; },
       StoreRefusal::kCannotOpen, {"open"}},
      {"another program's oplock", [](FakeSettingsFile& f) { f.openRefusal = StoreRefusal::kOplocked; },
       StoreRefusal::kOplocked, {"open"}},
      {"reached elsewhere", [](FakeSettingsFile& f) { f.openRefusal = StoreRefusal::kElsewhere; },
       StoreRefusal::kElsewhere, {"open"}},
      {"size unknown", [](FakeSettingsFile& f) { f.failSize = true; }, StoreRefusal::kCannotOpen, {"open", "size"}},
      {"grown past the limit", [](FakeSettingsFile& f) { f.sizeOverride = kSettingsFileLimit + 1; },
       StoreRefusal::kTooLarge, {"open", "size"}},
      {"unreadable", [](FakeSettingsFile& f) { f.failRead = true; }, StoreRefusal::kCannotOpen,
       {"open", "size", "read 31"}},
  };
  for (const Row& row : rows) {
    FakeSettingsFile file(original);
    row.arrange(file);
    const SettingsFileOutcome outcome = SyncSettingsFile(file, Block(1, 2, 3, 1), 2);
    EXPECT_EQ(outcome.refusal, row.refusal) << row.what;
    EXPECT_EQ(file.calls(), row.calls) << row.what;
    EXPECT_EQ(file.text(), original) << row.what;
    EXPECT_EQ(outcome.aclFix, 0) << row.what;
    EXPECT_EQ(outcome.writeResult, 0) << row.what;
    EXPECT_EQ(outcome.lastError, kRefusedWriteError) << row.what;
  }
}

TEST(SettingsFileSync, AFileAtTheLimitIsStillWritten) {
  FakeSettingsFile file(std::string(kSettingsFileLimit, ';'));
  const SettingsFileOutcome outcome = SyncSettingsFile(file, Block(1, 2, 3, 1), -1);
  EXPECT_EQ(outcome.refusal, StoreRefusal::kNone);
  EXPECT_EQ(outcome.writeResult, 1);
}

TEST(SettingsFileSync, AFailedWriteIsToldWithItsErrorAndTheEntryResult) {
  FakeSettingsFile file;
  file.replaceError = 112;  // ERROR_DISK_FULL
  file.grantResult = 0;
  const SettingsFileOutcome outcome = SyncSettingsFile(file, Block(1, 2, 3, 1), -1);
  EXPECT_EQ(outcome.refusal, StoreRefusal::kNone);
  EXPECT_EQ(outcome.aclFix, 0);
  EXPECT_EQ(outcome.writeResult, 0);
  EXPECT_EQ(outcome.lastError, 112u);
}

}  // namespace
