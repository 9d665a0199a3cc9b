// The tray text table and the language mapping.
#include "print_service/tray/tray_texts.h"

namespace {

TrayTexts Row(const wchar_t* title, const wchar_t* exitText) { return TrayTexts{title, title, exitText}; }

}  // namespace

const std::map<int, TrayTexts> trayTextTable = {
    {0, Row(L"KELO打印服务", L"退出")},
    {1, Row(L"KELO Print Service", L"Exit")},
    {2, Row(L"KELO印刷サービス", L"終了")},
    {3, Row(L"KELO 인쇄 서비스", L"종료")},
    {4, Row(L"Service d'impression KELO", L"Quitter")},
    {5, Row(L"KELO Druckdienst", L"Beenden")},
    {6, Row(L"Servicio de impresión KELO", L"Salir")},
    {7, Row(L"KELO Print Service", L"Exit")},
};

int LanguageIndexFromLangId(uint16_t langId) {
  switch (langId & 0x3FF) {
    case 0x04: return 0;  // Chinese, Simplified and Traditional
    case 0x09: return 1;  // English
    case 0x11: return 2;  // Japanese
    case 0x12: return 3;  // Korean
    case 0x0C: return 4;  // French
    case 0x07: return 5;  // German
    case 0x0A: return 6;  // Spanish
    default: return 7;
  }
}
