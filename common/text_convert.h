// Conversions between the UTF-16 text of the Windows API and our narrow strings.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string Utf8FromWide(std::wstring_view wide);
// UTF-16 to the system ANSI code page; characters outside it become its default character.
std::string AnsiFromWide(std::wstring_view wide);
// The same, but nullopt when a character has no exact form in the code page:
// for paths, where a stand-in character would name another file.
std::optional<std::string> ExactAnsiFromWide(std::wstring_view wide);
// UTF-8 to UTF-16; invalid sequences become U+FFFD.
std::wstring WideFromUtf8(std::string_view utf8);
// System ANSI code page to UTF-16.
std::wstring WideFromAnsi(std::string_view ansi);
// A name received from a web page: UTF-8 when it is valid UTF-8, otherwise the
// system code page (older pages send the listing's former ANSI names back).
std::wstring WideFromReceivedName(std::string_view name);
// The same, but nullopt when the system code page cannot convert every byte:
// for names that must match exactly or name a file.
std::optional<std::wstring> ExactWideFromReceivedName(std::string_view name);

// Portable: true when text is well-formed UTF-8 (no overlongs, surrogates or
// code points above U+10FFFF).
bool IsValidUtf8(std::string_view text);
