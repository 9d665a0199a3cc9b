// Reading and writing a settings file's text as the Windows profile functions
// read and write it: for systems without them, and for the service, which writes
// through a handle it has checked instead of by path.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The value of key in section: the first section and the first key of those
// names, both compared without regard to ASCII letter case, the value with the
// blanks around it and one pair of enclosing quotes removed. nullopt when the
// file has no such key. Lines may end in CRLF or LF; a UTF-8 byte order mark
// at the start is skipped.
std::optional<std::string> FindProfileValue(std::string_view text, std::string_view section, std::string_view key);

struct ProfileValue {
  std::string key;
  std::string value;
};

// The text after writing each value into section as WritePrivateProfileStringA
// writes it: in the first section of that name (ASCII letter case ignored), the
// first line whose key matches (a line without "=" is a key without a value) is
// replaced by "key=value" with the file's spelling of the key; a key not there
// goes after the section's last non-blank line; a missing section is appended at
// the end. Every other line keeps its bytes and line ending, so other sections,
// keys, comments and text in the system code page survive; new lines end in
// CRLF. Exact for ASCII section and key names in any code page: "=", ";", CR and
// LF are never the second byte of a double-byte character, and a "]" that is
// one only shortens a section name that cannot be an ASCII one anyway.
std::string WriteProfileValues(std::string_view text, std::string_view section,
                               const std::vector<ProfileValue>& values);
