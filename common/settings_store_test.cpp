// Formats and rules of the settings store.
#include "common/settings_store.h"

#include <gtest/gtest.h>

namespace {

TEST(SettingsStore, ABlockHoldsExactlyTheBytesAnswered) {
  uint8_t answer[300];
  for (size_t i = 0; i < sizeof answer; ++i) answer[i] = static_cast<uint8_t>(i + 1);
  const ConfigBlock twelve = ConfigBlock::FromAnswer(answer, 12);
  EXPECT_EQ(twelve.bytes[11], 12);
  for (size_t i = 12; i < twelve.bytes.size(); ++i) ASSERT_EQ(twelve.bytes[i], 0) << "byte " << i;
  EXPECT_EQ(ConfigBlock::FromAnswer(answer, sizeof answer).bytes[254], 255) << "cut to the block";
  EXPECT_EQ(ConfigBlock::FromAnswer(answer, 0).bytes, ConfigBlock{}.bytes);
}

TEST(SettingsStore, ResolutionClassGives203Or306) {
  ConfigBlock block;
  for (int c : {0, 1}) {
    block.bytes[11] = static_cast<uint8_t>(c);
    EXPECT_EQ(ResolutionDpi(block), 203) << c;
  }
  for (int c : {2, 3, 255}) {
    block.bytes[11] = static_cast<uint8_t>(c);
    EXPECT_EQ(ResolutionDpi(block), 306) << c;
  }
}

TEST(SettingsStore, RotationPrefersPrinterDataAndClampsToZero) {
  EXPECT_EQ(ChooseRotation(0, 2), 2);   // printer data 2, whatever the file held
  EXPECT_EQ(ChooseRotation(3, 2), 2);
  EXPECT_EQ(ChooseRotation(1, 7), 0);   // printer data 7
  EXPECT_EQ(ChooseRotation(3, -1), 3);  // no printer data, the file's 3
  EXPECT_EQ(ChooseRotation(9, -1), 0);  // no printer data, the file's 9
  EXPECT_EQ(ChooseRotation(-4, -1), 0);
  EXPECT_EQ(ChooseRotation(2, 0), 0);
}

TEST(SettingsStore, DefaultDataDirectoryComesFromProgramData) {
  EXPECT_EQ(DefaultDataDirectory(std::wstring(L"D:\\Data")), L"D:\\Data\\KELO");
  EXPECT_EQ(DefaultDataDirectory(std::nullopt), L"C:\\ProgramData\\KELO");
  EXPECT_EQ(DefaultDataDirectory(std::wstring()), L"C:\\ProgramData\\KELO");
  EXPECT_EQ(DefaultDataDirectory(std::wstring(511, L'x')), std::wstring(511, L'x') + L"\\KELO");
  EXPECT_EQ(DefaultDataDirectory(std::wstring(512, L'x')), L"C:\\ProgramData\\KELO");
}

TEST(SettingsStore, ResolutionTextIsReadAsAtoiWouldWithoutOverflow) {
  EXPECT_EQ(ParseResolution("306"), 306);
  EXPECT_EQ(ParseResolution("0"), 0);
  EXPECT_EQ(ParseResolution("-5"), -5);
  EXPECT_EQ(ParseResolution("abc"), 0);
  EXPECT_EQ(ParseResolution("300abc"), 300);
  EXPECT_EQ(ParseResolution("  +203"), 203);
  EXPECT_EQ(ParseResolution(""), 0);
  EXPECT_EQ(ParseResolution("2147483647"), 2147483647);
  EXPECT_EQ(ParseResolution("-2147483648"), -2147483647 - 1);
  EXPECT_FALSE(ParseResolution("2147483648").has_value());
  EXPECT_FALSE(ParseResolution("99999999999999999999999").has_value());
  EXPECT_FALSE(ParseResolution("-2147483649").has_value());
}

TEST(SettingsStore, OnlyPlainNamesNameSettingsFiles) {
  for (const char* name : {"KELO", "KELO #1", "R52 Label Printer", "\xE6\xA0\x87\xE7\xAD\xBE", "a.b", "...", "CONSOLE",
                           "COM10", "LPT0", "NULL", "acon", "COM", "AUX1"}) {
    EXPECT_TRUE(IsPlainFileName(name)) << name;
  }
  for (const char* name : {"", ".", "..", "..\\..\\Windows\\win", "a/b", "C:x", "\\\\server\\KELO", "KELO\\", "CON",
                           "con", "nul.ini", "Nul.txt.ini", "PRN", "aux", "COM1", "com9.ini", "LPT1", "lpt5 .ini", "CON  ",
                           "COM\xC2\xB9", "LPT\xB3", "CONIN$", "conout$.x"}) {
    EXPECT_FALSE(IsPlainFileName(name)) << name;
  }
  EXPECT_FALSE(IsPlainFileName(std::string_view("acc203\0x", 8)));
}

TEST(SettingsStore, SyncLogRecordIsExact) {
  SyncRecord record;
  record.printer = "KELO";
  record.aclFix = 1;
  record.rotationPrinterData = -1;
  record.block.bytes[8] = 1;
  record.block.bytes[9] = 2;
  record.block.bytes[10] = 200;
  record.block.bytes[11] = 255;
  record.dpi = 306;
  record.writeResult = 1;
  record.lastError = 0;
  record.iniPath = "C:\\ProgramData\\KELO\\KELO.ini";
  EXPECT_EQ(FormatSyncLog(record),
            "SyncPrinterIni called\r\n  printer : KELO\r\n  INIFile : (see wide path)\r\n  ACL fix : 1\r\n"
            "  RotationPD: -1\r\n  data[8..11]: 1 2 200 255\r\n  DPI    : 306\r\n  WriteResult: 1  LastError: 0\r\n"
            "  INI path: C:\\ProgramData\\KELO\\KELO.ini\r\n");
  record.writeResult = 0;
  record.lastError = 3;
  record.aclFix = 0;
  EXPECT_NE(FormatSyncLog(record).find("  ACL fix : 0\r\n"), std::string::npos);
  EXPECT_NE(FormatSyncLog(record).find("  WriteResult: 0  LastError: 3\r\n"), std::string::npos);
}

TEST(SettingsStore, RefusalsFollowTheRecordOneLineEach) {
  SyncRecord record;
  record.printer = "Label";
  record.iniPath = "C:\\ProgramData\\KELO\\Label.ini";
  const std::string plain = FormatSyncLog(record);
  record.refusals = {"C:\\ProgramData\\KELO\\Label.bin: a file with other hard links",
                     "C:\\ProgramData\\KELO\\Label.ini: a link or junction, not followed"};
  EXPECT_EQ(FormatSyncLog(record), plain +
                                       "  Refused : C:\\ProgramData\\KELO\\Label.bin: a file with other hard links\r\n"
                                       "  Refused : C:\\ProgramData\\KELO\\Label.ini: a link or junction, not followed\r\n");
}

TEST(SettingsStore, UsersAccessEntryParametersNativelyBecauseWineKeepsNoAccessLists) {
  EXPECT_EQ(kUsersAccess.authority, 5);  // NT authority
  EXPECT_EQ(kUsersAccess.subAuthorities[0], 32u);
  EXPECT_EQ(kUsersAccess.subAuthorities[1], 545u);
  // FILE_GENERIC_READ 0x120089 | FILE_GENERIC_WRITE 0x120116 | DELETE 0x10000.
  EXPECT_EQ(kUsersAccess.accessMask, 0x120089u | 0x120116u | 0x10000u);
  EXPECT_TRUE(kUsersAccess.grant);
  EXPECT_FALSE(kUsersAccess.inherited);
  EXPECT_TRUE(kUsersAccess.wellKnownGroup);
}

}  // namespace
