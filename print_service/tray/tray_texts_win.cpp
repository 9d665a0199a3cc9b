// The current user interface language's row of the tray texts.
#include "print_service/tray/tray_texts.h"

#include "common/windows_include.h"

int GetUiLanguageIndex() { return LanguageIndexFromLangId(GetUserDefaultUILanguage()); }

const TrayTexts& GetTrayTexts() { return trayTextTable.at(GetUiLanguageIndex()); }
