// The tray icon's localized texts: eight rows chosen by the user interface language.
#pragma once

#include <cstdint>
#include <map>

struct TrayTexts {
  const wchar_t* tipText;
  const wchar_t* menuTitle;
  const wchar_t* exitText;
  // The notification shown once when another user's program holds the API's
  // port; at most 255 characters (szInfo).
  const wchar_t* portHeldText;
};

// Built during static initialisation, only read afterwards.
extern const std::map<int, TrayTexts> trayTextTable;

// Row 0..7 for a LANGID (only its primary language counts).
int LanguageIndexFromLangId(uint16_t langId);

// Windows: the row of the current user interface language, asked anew each call.
int GetUiLanguageIndex();
const TrayTexts& GetTrayTexts();
