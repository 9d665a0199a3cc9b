// Text conversions through the system's code-page functions.
#include "common/text_convert.h"

#include "common/windows_include.h"

#include <climits>

namespace {

std::string NarrowWith(UINT codePage, std::wstring_view wide) {
  if (wide.empty() || wide.size() > static_cast<size_t>(INT_MAX)) return {};
  const int wideLength = static_cast<int>(wide.size());
  const int needed = WideCharToMultiByte(codePage, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return {};
  std::string out(static_cast<size_t>(needed), '\0');
  const int written =
      WideCharToMultiByte(codePage, 0, wide.data(), wideLength, out.data(), needed, nullptr, nullptr);
  out.resize(written > 0 ? static_cast<size_t>(written) : 0);
  return out;
}

}  // namespace

std::string Utf8FromWide(std::wstring_view wide) { return NarrowWith(CP_UTF8, wide); }

std::string AnsiFromWide(std::wstring_view wide) { return NarrowWith(CP_ACP, wide); }

std::optional<std::string> ExactAnsiFromWide(std::wstring_view wide) {
  if (wide.empty()) return std::string();
  if (wide.size() > static_cast<size_t>(INT_MAX)) return std::nullopt;
  const int wideLength = static_cast<int>(wide.size());
  BOOL usedDefault = FALSE;
  const int needed =
      WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), wideLength, nullptr, 0, nullptr, &usedDefault);
  if (needed <= 0 || usedDefault) return std::nullopt;
  std::string out(static_cast<size_t>(needed), '\0');
  const int written = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), wideLength, out.data(), needed,
                                          nullptr, &usedDefault);
  if (written != needed || usedDefault) return std::nullopt;
  return out;
}

namespace {

std::wstring WidenWith(UINT codePage, std::string_view text, DWORD flags = 0) {
  if (text.empty() || text.size() > static_cast<size_t>(INT_MAX)) return {};
  const int length = static_cast<int>(text.size());
  const int needed = MultiByteToWideChar(codePage, flags, text.data(), length, nullptr, 0);
  if (needed <= 0) return {};
  std::wstring out(static_cast<size_t>(needed), L'\0');
  const int written = MultiByteToWideChar(codePage, flags, text.data(), length, out.data(), needed);
  out.resize(written > 0 ? static_cast<size_t>(written) : 0);
  return out;
}

}  // namespace

std::wstring WideFromUtf8(std::string_view utf8) { return WidenWith(CP_UTF8, utf8); }

std::wstring WideFromAnsi(std::string_view ansi) { return WidenWith(CP_ACP, ansi); }

std::wstring WideFromReceivedName(std::string_view name) {
  return IsValidUtf8(name) ? WideFromUtf8(name) : WideFromAnsi(name);
}

std::optional<std::wstring> ExactWideFromReceivedName(std::string_view name) {
  if (name.empty()) return std::wstring();
  if (IsValidUtf8(name)) return WideFromUtf8(name);
  // Bytes the code page does not define fail here instead of becoming its default character.
  std::wstring wide = WidenWith(CP_ACP, name, MB_ERR_INVALID_CHARS);
  if (wide.empty()) return std::nullopt;
  return wide;
}
