// An image's pixel size read from its header, before anything is decoded.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

struct ImageSize {
  uint32_t width;
  uint32_t height;
  bool operator==(const ImageSize& other) const { return width == other.width && height == other.height; }
};

// PNG, JPEG, GIF and BMP, the formats pages send; nullopt for anything else or
// a header that is cut short or malformed.
std::optional<ImageSize> ReadImageSize(std::string_view bytes);
