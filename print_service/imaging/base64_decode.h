// Base64 decoding of a posted image, and the data piece of a data URL.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// Decodes in groups of four. Line breaks count only where a group starts; "="
// ends a group's output but is never stepped over; characters that are not Base64
// letters decode as 0. An incomplete last group decodes what it has. Never reads
// past the text.
std::string base64Decode(std::string_view text);

// The text between the first and the second comma (or the end) of a data URL;
// nullopt when the body has no comma.
std::optional<std::string_view> DataUrlPayload(std::string_view body);
