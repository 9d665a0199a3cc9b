// A settings file's text read line by line, as GetPrivateProfileString reads it.
#include "common/profile_text.h"

namespace {

std::string_view Trim(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> FindProfileValue(std::string_view text, std::string_view section, std::string_view key) {
  constexpr std::string_view kBom = "\xEF\xBB\xBF";
  if (text.substr(0, kBom.size()) == kBom) text.remove_prefix(kBom.size());
  bool inSection = false;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = Trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.front() == '[') {
      const size_t close = line.find(']');
      const std::string_view name = Trim(line.substr(1, close == std::string_view::npos ? line.npos : close - 1));
      // Past the first section of that name the key is not looked for again.
      if (inSection) return std::nullopt;
      inSection = SameIgnoringCase(name, section);
      continue;
    }
    if (!inSection) continue;
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos || !SameIgnoringCase(Trim(line.substr(0, equals)), key)) continue;
    std::string_view value = Trim(line.substr(equals + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return std::string(value);
  }
  return std::nullopt;
}
