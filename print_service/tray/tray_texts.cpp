// The tray text table and the language mapping.
#include "print_service/tray/tray_texts.h"

namespace {

TrayTexts Row(const wchar_t* title, const wchar_t* exitText, const wchar_t* portHeld) {
  return TrayTexts{title, title, exitText, portHeld};
}

constexpr wchar_t kPortHeldEnglish[] =
    L"Another user of this computer holds 127.0.0.1:6780, so label printing is not available to you. "
    L"It starts by itself once that user's program ends.";

}  // namespace

const std::map<int, TrayTexts> trayTextTable = {
    {0, Row(L"KELO\u6253\u5370\u670D\u52A1", L"\u9000\u51FA",
            L"\u6B64\u8BA1\u7B97\u673A\u7684\u53E6\u4E00\u4F4D\u7528\u6237\u5360\u7528\u4E86 127.0.0.1:6780\uFF0C"
            L"\u60A8\u6682\u65F6\u65E0\u6CD5\u6253\u5370\u6807\u7B7E\u3002\u8BE5\u7528\u6237\u7684\u7A0B\u5E8F"
            L"\u9000\u51FA\u540E\u5C06\u81EA\u52A8\u6062\u590D\u3002")},
    {1, Row(L"KELO Print Service", L"Exit", kPortHeldEnglish)},
    {2, Row(L"KELO\u5370\u5237\u30B5\u30FC\u30D3\u30B9", L"\u7D42\u4E86",
            L"\u3053\u306E\u30B3\u30F3\u30D4\u30E5\u30FC\u30BF\u30FC\u306E\u5225\u306E\u30E6\u30FC\u30B6\u30FC"
            L"\u304C 127.0.0.1:6780 \u3092\u4F7F\u7528\u3057\u3066\u3044\u308B\u305F\u3081\u3001"
            L"\u30E9\u30D9\u30EB\u5370\u5237\u3092\u5229\u7528\u3067\u304D\u307E\u305B\u3093\u3002"
            L"\u305D\u306E\u30E6\u30FC\u30B6\u30FC\u306E\u30D7\u30ED\u30B0\u30E9\u30E0\u304C\u7D42\u4E86"
            L"\u3059\u308B\u3068\u81EA\u52D5\u7684\u306B\u518D\u958B\u3057\u307E\u3059\u3002")},
    {3, Row(L"KELO \uC778\uC1C4 \uC11C\uBE44\uC2A4", L"\uC885\uB8CC",
            L"\uC774 \uCEF4\uD4E8\uD130\uC758 \uB2E4\uB978 \uC0AC\uC6A9\uC790\uAC00 127.0.0.1:6780\uC744 "
            L"\uC0AC\uC6A9\uD558\uACE0 \uC788\uC5B4 \uB77C\uBCA8 \uC778\uC1C4\uB97C \uC0AC\uC6A9\uD560 \uC218 "
            L"\uC5C6\uC2B5\uB2C8\uB2E4. \uADF8 \uC0AC\uC6A9\uC790\uC758 \uD504\uB85C\uADF8\uB7A8\uC774 "
            L"\uC885\uB8CC\uB418\uBA74 \uC790\uB3D9\uC73C\uB85C \uB2E4\uC2DC \uC2DC\uC791\uB429\uB2C8\uB2E4.")},
    {4, Row(L"Service d'impression KELO", L"Quitter",
            L"Un autre utilisateur de cet ordinateur occupe 127.0.0.1:6780 : l'impression d'\u00E9tiquettes "
            L"n'est pas disponible pour vous. Elle reprend d'elle-m\u00EAme quand son programme se termine.")},
    {5, Row(L"KELO Druckdienst", L"Beenden",
            L"Ein anderer Benutzer dieses Computers belegt 127.0.0.1:6780, daher ist der Etikettendruck f\u00FCr Sie "
            L"nicht verf\u00FCgbar. Er startet von selbst, sobald dessen Programm endet.")},
    {6, Row(L"Servicio de impresi\u00F3n KELO", L"Salir",
            L"Otro usuario de este equipo ocupa 127.0.0.1:6780, por lo que la impresi\u00F3n de etiquetas no "
            L"est\u00E1 disponible para usted. Se reanuda sola cuando termine el programa de ese usuario.")},
    {7, Row(L"KELO Print Service", L"Exit", kPortHeldEnglish)},
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
