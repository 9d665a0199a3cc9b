// Reading one value of a settings file's text as the Windows profile functions
// read it, for systems without them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// The value of key in section: the first section and the first key of those
// names, both compared without regard to ASCII letter case, the value with the
// blanks around it and one pair of enclosing quotes removed. nullopt when the
// file has no such key. Lines may end in CRLF or LF; a UTF-8 byte order mark
// at the start is skipped.
std::optional<std::string> FindProfileValue(std::string_view text, std::string_view section, std::string_view key);
