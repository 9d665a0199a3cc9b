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
      {"", std::nullopt},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(FindProfileValue(row.text, "Print Settings", "Resolution"), row.expected) << row.text;
  }
}

}  // namespace
