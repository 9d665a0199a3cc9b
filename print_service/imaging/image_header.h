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

enum class ImageFormat { kPng, kJpeg, kGif, kBmp };

// The format by its signature alone: PNG, JPEG, GIF and BMP, the formats pages
// send (and GDI+ decodes); nullopt for anything else.
std::optional<ImageFormat> SniffImageFormat(std::string_view bytes);

// The size in the header of one of those formats; nullopt for anything else or
// a header that is cut short or malformed.
std::optional<ImageSize> ReadImageSize(std::string_view bytes);
