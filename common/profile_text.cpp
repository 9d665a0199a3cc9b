// A settings file's text read line by line, as GetPrivateProfileString reads it,
// and rewritten line by line, as WritePrivateProfileString writes it.
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

constexpr std::string_view kBom = "\xEF\xBB\xBF";

// The name of a section line ("[name]", blanks around it trimmed), or nullopt
// for any other line. A "[" without its "]" starts no section: the profile
// functions read such a line as a key of the section before it.
std::optional<std::string_view> SectionName(std::string_view line) {
  line = Trim(line);
  if (line.empty() || line.front() != '[') return std::nullopt;
  const size_t close = line.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return Trim(line.substr(1, close - 1));
}

// One line of the file: its text, and the "\n" or "\r\n" that ended it (empty
// for a last line without one).
struct TextLine {
  std::string_view body;
  std::string_view ending;
};

std::vector<TextLine> SplitLines(std::string_view text) {
  std::vector<TextLine> lines;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    if (end == std::string_view::npos) {
      lines.push_back({text, {}});
      break;
    }
    const size_t bodyEnd = end > 0 && text[end - 1] == '\r' ? end - 1 : end;
    lines.push_back({text.substr(0, bodyEnd), text.substr(bodyEnd, end + 1 - bodyEnd)});
    text.remove_prefix(end + 1);
  }
  return lines;
}

// The key a line names, as the profile functions see it: the text before the
// first "=", or the whole line when it has none; blanks trimmed.
std::string_view KeyOf(std::string_view line) { return Trim(line.substr(0, line.find('='))); }

}  // namespace

std::optional<std::string> FindProfileValue(std::string_view text, std::string_view section, std::string_view key) {
  if (text.substr(0, kBom.size()) == kBom) text.remove_prefix(kBom.size());
  bool inSection = false;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = Trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (const std::optional<std::string_view> name = SectionName(line)) {
      // Past the first section of that name the key is not looked for again.
      if (inSection) return std::nullopt;
      inSection = SameIgnoringCase(*name, section);
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

std::string WriteProfileValues(std::string_view text, std::string_view section,
                               const std::vector<ProfileValue>& values) {
  std::string out;
  if (text.substr(0, kBom.size()) == kBom) {
    out.assign(kBom);
    text.remove_prefix(kBom.size());
  }
  std::vector<TextLine> lines = SplitLines(text);
  std::vector<std::string> replaced(lines.size());  // empty: the line stays as it is
  std::vector<std::string> added;                    // lines for the section's end

  size_t begin = lines.size();
  for (size_t i = 0; i < lines.size() && begin == lines.size(); ++i) {
    const std::optional<std::string_view> name = SectionName(lines[i].body);
    if (name && SameIgnoringCase(*name, section)) begin = i;
  }
  size_t end = begin;  // one past the section's last line
  if (begin < lines.size()) {
    for (end = begin + 1; end < lines.size() && !SectionName(lines[end].body); ++end) {
    }
  }
  for (const ProfileValue& value : values) {
    bool found = false;
    for (size_t i = begin + 1; i < end && !found; ++i) {
      const std::string_view key = KeyOf(lines[i].body);
      if (key.empty() || !SameIgnoringCase(key, value.key)) continue;
      const std::string_view ending = lines[i].ending.empty() ? std::string_view("\r\n") : lines[i].ending;
      replaced[i] = std::string(key) + "=" + value.value + std::string(ending);
      found = true;
    }
    if (!found) added.push_back(value.key + "=" + value.value + "\r\n");
  }

  // New keys follow the section's last non-blank line; blank lines that part it
  // from the next section stay after them.
  size_t insertAfter = begin;
  for (size_t i = begin + 1; i < end; ++i) {
    if (!Trim(lines[i].body).empty()) insertAfter = i;
  }
  const auto emit = [&](size_t i) {
    if (!replaced[i].empty()) {
      out += replaced[i];
      return;
    }
    out.append(lines[i].body);
    // A last line without its line ending gets one when lines follow it.
    out.append(lines[i].ending.empty() && (i + 1 < lines.size() || (i == insertAfter && !added.empty()))
                   ? std::string_view("\r\n")
                   : lines[i].ending);
  };
  for (size_t i = 0; i < lines.size(); ++i) {
    emit(i);
    if (i == insertAfter) {
      for (const std::string& line : added) out += line;
    }
  }
  if (begin == lines.size()) {
    if (!lines.empty() && lines.back().ending.empty()) out += "\r\n";
    out += "[" + std::string(section) + "]\r\n";
    for (const std::string& line : added) out += line;
  }
  return out;
}
