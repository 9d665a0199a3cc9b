// Reading a settings file's value as the Windows profile functions do.
#include "common/profile_text.h"

#include <gtest/gtest.h>

namespace {

TEST(ProfileText, FindsTheValueAsWindowsReadsIt) {
  const struct {
    const char* text;
    std::optional<std::string> expected;
  } rows[] = {
      {"[Print Settings]\r\nResolution=306\r\n", "306"},
      {"[Print Settings]\nPrinttype=1\nResolution=203\n", "203"},
      {"\xEF\xBB\xBF[Print Settings]\nResolution=203", "203"},
      {"  [ print settings ]  \r\n  RESOLUTION  =  306  \r\n", "306"},
      {"[Print Settings]\r\nResolution=\"306\"\r\n", "306"},
      {"[Print Settings]\r\nResolution='306'\r\n", "306"},
      {"[Print Settings]\r\nResolution=\"306\r\n", "\"306"},
      {"[Print Settings]\r\nResolution=\r\n", ""},
      {"[Print Settings]\r\nResolution=306=1\r\n", "306=1"},
      {"[Print Settings]\r\nResolution=306\r\nResolution=203\r\n", "306"},
      {"[Other]\r\nResolution=306\r\n[Print Settings]\r\nResolution=203\r\n", "203"},
      {"[Print Settings]\r\nSpeed=3\r\n[Other]\r\nResolution=306\r\n", std::nullopt},
      {"[Print Settings]\r\nSpeed=3\r\n[Print Settings]\r\nResolution=306\r\n", std::nullopt},
      {"Resolution=306\r\n", std::nullopt},
      {"[Print Settings]\r\nResolution 306\r\n", std::nullopt},
      {"[Print Settings\r\nResolution=306\r\n", std::nullopt},
      {"[Print Settings]\r\n[Other\r\nResolution=306\r\n", "306"},
      {"", std::nullopt},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(FindProfileValue(row.text, "Print Settings", "Resolution"), row.expected) << row.text;
  }
}



// The five keys of a synchronisation, in the order the store writes them.
const std::vector<ProfileValue> kSyncValues = {
    {"Printtype", "7"}, {"Thickness", "8"}, {"Speed", "9"}, {"Resolution", "306"}, {"Rotation", "0"}};

TEST(ProfileText, WritesValuesAsTheProfileFunctionsWriteThem) {
  const struct {
    const char* what;
    const char* text;
    const char* expected;
  } rows[] = {
      {"new file", "", "[Print Settings]\r\nPrinttype=7\r\nThickness=8\r\nSpeed=9\r\nResolution=306\r\nRotation=0\r\n"},
      {"keys replaced in place, new ones appended in order",
       "[Other]\r\na=1\r\n[Print Settings]\r\nSpeed=6\r\nExtra=x\r\nRotation=3\r\n",
       "[Other]\r\na=1\r\n[Print Settings]\r\nSpeed=9\r\nExtra=x\r\nRotation=0\r\nPrinttype=7\r\nThickness=8\r\n"
       "Resolution=306\r\n"},
      {"case of section and key ignored, the file's spelling kept", "x=1\r\n[print settings]\r\nSPEED=4\r\n",
       "x=1\r\n[print settings]\r\nSPEED=9\r\nPrinttype=7\r\nThickness=8\r\nResolution=306\r\nRotation=0\r\n"},
      {"section appended after a last line without its end", "[Other]\r\na=1",
       "[Other]\r\na=1\r\n[Print Settings]\r\nPrinttype=7\r\nThickness=8\r\nSpeed=9\r\nResolution=306\r\n"
       "Rotation=0\r\n"},
      {"only the first section of the name is written",
       "[Print Settings]\r\nSpeed=1\r\n[Print Settings]\r\nThickness=1\r\n",
       "[Print Settings]\r\nSpeed=9\r\nPrinttype=7\r\nThickness=8\r\nResolution=306\r\nRotation=0\r\n"
       "[Print Settings]\r\nThickness=1\r\n"},
      {"a key without a value is the key", "[Print Settings]\r\nSpeed\r\nSpeed=3\r\n",
       "[Print Settings]\r\nSpeed=9\r\nSpeed=3\r\nPrinttype=7\r\nThickness=8\r\nResolution=306\r\nRotation=0\r\n"},
      {"blanks around key and value, quotes", "[Print Settings]\r\n\tSpeed\t=\t\"5\"\r\n  Rotation = 2 \r\n",
       "[Print Settings]\r\nSpeed=9\r\nRotation=0\r\nPrinttype=7\r\nThickness=8\r\nResolution=306\r\n"},
      {"a \"[\" without \"]\" starts no section", "[A]\r\n[Print Settings\r\nk=v\r\n",
       "[A]\r\n[Print Settings\r\nk=v\r\n[Print Settings]\r\nPrinttype=7\r\nThickness=8\r\nSpeed=9\r\n"
       "Resolution=306\r\nRotation=0\r\n"},
      {"new keys after comments, before the blank line parting sections",
       "[Print Settings]\r\nSpeed=1\r\n;note\r\n\r\n[Tail]\r\n",
       "[Print Settings]\r\nSpeed=9\r\n;note\r\nPrinttype=7\r\nThickness=8\r\nResolution=306\r\nRotation=0\r\n"
       "\r\n[Tail]\r\n"},
      {"byte order mark kept", "\xEF\xBB\xBF[Print Settings]\r\nSpeed=1\r\n",
       "\xEF\xBB\xBF[Print Settings]\r\nSpeed=9\r\nPrinttype=7\r\nThickness=8\r\nResolution=306\r\nRotation=0\r\n"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(WriteProfileValues(row.text, "Print Settings", kSyncValues), row.expected) << row.what;
  }
}

TEST(ProfileText, KeepsEveryLineItDoesNotWrite) {
  // Comments, blank lines, lines before the first section, LF endings and
  // bytes of the system code page (GBK) stay as they were.
  const std::string gbk = "\xB1\xEA\xC7\xA9";  // two double-byte characters
  const std::string text = "; " + gbk + "\r\n[Other]\na=" + gbk + "\n\n[Print Settings]\r\n  ; keep\r\nSpeed=1\n\r\n" +
                           "[" + gbk + "]\r\nb=2\r\n";
  EXPECT_EQ(WriteProfileValues(text, "Print Settings", {{"Speed", "9"}, {"Rotation", "0"}}),
            "; " + gbk + "\r\n[Other]\na=" + gbk + "\n\n[Print Settings]\r\n  ; keep\r\nSpeed=9\nRotation=0\r\n\r\n" +
                "[" + gbk + "]\r\nb=2\r\n");
}

TEST(ProfileText, WhatIsWrittenIsWhatIsReadBack) {
  const char* const texts[] = {"", "[Print Settings]\r\nResolution=203\r\n", "[print SETTINGS]\nresolution = 1\n",
                               "[A]\r\nResolution=5\r\n", "Resolution=4\r\n[Print Settings]"};
  for (const char* text : texts) {
    const std::string written = WriteProfileValues(text, "Print Settings", kSyncValues);
    for (const ProfileValue& value : kSyncValues) {
      EXPECT_EQ(FindProfileValue(written, "Print Settings", value.key), value.value) << text << " " << value.key;
    }
    EXPECT_EQ(WriteProfileValues(written, "Print Settings", kSyncValues), written) << "a second write changes nothing";
  }
}
}  // namespace
