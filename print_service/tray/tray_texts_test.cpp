// The tray text table and the language-to-row mapping.
#include "print_service/tray/tray_texts.h"

#include <gtest/gtest.h>

#include <cwchar>

namespace {

TEST(TrayTexts, LanguageIdsMapByPrimaryLanguage) {
  struct Case {
    uint16_t langId;
    int index;
  };
  const Case cases[] = {
      {0x0804, 0}, {0x0404, 0}, {0x0C04, 0}, {0x1004, 0},  // Chinese: PRC, Taiwan, Hong Kong, Singapore
      {0x0409, 1}, {0x0809, 1}, {0x0C09, 1},              // English: US, UK, Australia
      {0x0411, 2},                                         // Japanese
      {0x0412, 3},                                         // Korean
      {0x040C, 4}, {0x0C0C, 4},                            // French: France, Canada
      {0x0407, 5}, {0x0807, 5},                            // German: Germany, Switzerland
      {0x0C0A, 6}, {0x080A, 6},                            // Spanish: Spain, Mexico
      {0x0410, 7}, {0x0419, 7}, {0x0416, 7}, {0x0000, 7}, {0x007F, 7}, {0xFFFF, 7},
      {0x7C04, 0},                                         // Chinese (Traditional, neutral)
      {0x0209, 7}, {0x0311, 7},                            // the mask keeps 10 bits, not 8
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LanguageIndexFromLangId(c.langId), c.index) << std::hex << c.langId;
  }
}

TEST(TrayTexts, EveryRowExistsWithTitleEqualToTip) {
  ASSERT_EQ(trayTextTable.size(), 8u);
  for (const auto& [index, texts] : trayTextTable) {
    EXPECT_EQ(std::wcscmp(texts.menuTitle, texts.tipText), 0) << index;
    // szTip holds 128 characters with its terminator.
    EXPECT_LT(std::wcslen(texts.tipText), 128u) << index;
  }
}

// Shown as a balloon from the icon: szInfo holds 256 characters with its terminator.
TEST(TrayTexts, EveryRowSaysWhichPortAnotherUserHoldsInItsLanguage) {
  for (const auto& [index, texts] : trayTextTable) {
    ASSERT_NE(texts.portHeldText, nullptr) << index;
    EXPECT_LT(std::wcslen(texts.portHeldText), 256u) << index;
    EXPECT_NE(std::wcsstr(texts.portHeldText, L"127.0.0.1:6780"), nullptr) << index;
  }
  // Each language its own text; the fallback row is English's.
  for (int a = 0; a < 7; ++a) {
    for (int b = a + 1; b < 7; ++b) {
      EXPECT_NE(std::wcscmp(trayTextTable.at(a).portHeldText, trayTextTable.at(b).portHeldText), 0) << a << " " << b;
    }
  }
  EXPECT_STREQ(trayTextTable.at(7).portHeldText, trayTextTable.at(1).portHeldText);
}

TEST(TrayTexts, RowsHoldTheirLanguagesTexts) {
  EXPECT_STREQ(trayTextTable.at(0).tipText, L"KELO\u6253\u5370\u670D\u52A1");
  EXPECT_STREQ(trayTextTable.at(0).exitText, L"\u9000\u51FA");
  EXPECT_STREQ(trayTextTable.at(1).tipText, L"KELO Print Service");
  EXPECT_STREQ(trayTextTable.at(1).exitText, L"Exit");
  EXPECT_STREQ(trayTextTable.at(2).tipText, L"KELO\u5370\u5237\u30B5\u30FC\u30D3\u30B9");
  EXPECT_STREQ(trayTextTable.at(2).exitText, L"\u7D42\u4E86");
  EXPECT_STREQ(trayTextTable.at(3).tipText, L"KELO \uC778\uC1C4 \uC11C\uBE44\uC2A4");
  EXPECT_STREQ(trayTextTable.at(3).exitText, L"\uC885\uB8CC");
  EXPECT_STREQ(trayTextTable.at(4).tipText, L"Service d'impression KELO");
  EXPECT_STREQ(trayTextTable.at(4).exitText, L"Quitter");
  EXPECT_STREQ(trayTextTable.at(5).tipText, L"KELO Druckdienst");
  EXPECT_STREQ(trayTextTable.at(5).exitText, L"Beenden");
  EXPECT_STREQ(trayTextTable.at(6).tipText, L"Servicio de impresi\u00F3n KELO");
  EXPECT_STREQ(trayTextTable.at(6).exitText, L"Salir");
  EXPECT_STREQ(trayTextTable.at(7).tipText, L"KELO Print Service");
  EXPECT_STREQ(trayTextTable.at(7).exitText, L"Exit");
  // The longest text fits with room to spare: 26 characters.
  EXPECT_EQ(std::wcslen(trayTextTable.at(6).tipText), 26u);
}

}  // namespace
