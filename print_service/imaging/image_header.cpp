// Reading pixel sizes from the headers of the common image formats.
#include "print_service/imaging/image_header.h"

#include <climits>
#include <cstdlib>

namespace {

uint32_t Byte(std::string_view b, size_t at) { return static_cast<unsigned char>(b[at]); }
uint32_t BigEndian16(std::string_view b, size_t at) { return Byte(b, at) << 8 | Byte(b, at + 1); }
uint32_t BigEndian32(std::string_view b, size_t at) { return BigEndian16(b, at) << 16 | BigEndian16(b, at + 2); }
uint32_t LittleEndian16(std::string_view b, size_t at) { return Byte(b, at) | Byte(b, at + 1) << 8; }
uint32_t LittleEndian32(std::string_view b, size_t at) { return LittleEndian16(b, at) | LittleEndian16(b, at + 2) << 16; }

std::optional<ImageSize> JpegSize(std::string_view b) {
  size_t at = 2;  // after FF D8
  while (at + 1 < b.size()) {
    if (Byte(b, at) != 0xFF) return std::nullopt;
    const uint32_t marker = Byte(b, at + 1);
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    at += 2;
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;  // no length
    if (marker == 0xD9 || marker == 0xDA || at + 2 > b.size()) return std::nullopt;  // no frame header before the data
    const uint32_t length = BigEndian16(b, at);
    if (length < 2) return std::nullopt;
    const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (frame) {
      if (length < 7 || at + 7 > b.size()) return std::nullopt;
      return ImageSize{BigEndian16(b, at + 5), BigEndian16(b, at + 3)};
    }
    at += length;
  }
  return std::nullopt;
}

}  // namespace

std::optional<ImageFormat> SniffImageFormat(std::string_view b) {
  if (b.substr(0, 8) == std::string_view("\x89PNG\r\n\x1a\n", 8)) return ImageFormat::kPng;
  if (b.substr(0, 3) == "\xFF\xD8\xFF") return ImageFormat::kJpeg;
  if (b.substr(0, 6) == "GIF87a" || b.substr(0, 6) == "GIF89a") return ImageFormat::kGif;
  if (b.substr(0, 2) == "BM") return ImageFormat::kBmp;
  return std::nullopt;
}

std::optional<ImageSize> ReadImageSize(std::string_view b) {
  const std::optional<ImageFormat> format = SniffImageFormat(b);
  if (format == ImageFormat::kPng && b.size() >= 24 && b.substr(12, 4) == "IHDR") {
    return ImageSize{BigEndian32(b, 16), BigEndian32(b, 20)};
  }
  if (format == ImageFormat::kJpeg && b.size() >= 4) return JpegSize(b);
  if (format == ImageFormat::kGif && b.size() >= 10) return ImageSize{LittleEndian16(b, 6), LittleEndian16(b, 8)};
  if (format == ImageFormat::kBmp && b.size() >= 26) {
    const uint32_t headerSize = LittleEndian32(b, 14);
    if (headerSize == 12) return ImageSize{LittleEndian16(b, 18), LittleEndian16(b, 20)};
    if (headerSize < 40) return std::nullopt;
    // Height is negative for top-down rows.
    const auto height = static_cast<int32_t>(LittleEndian32(b, 22));
    const auto width = static_cast<int32_t>(LittleEndian32(b, 18));
    if (width < 0 || height == INT32_MIN) return std::nullopt;
    return ImageSize{static_cast<uint32_t>(width), static_cast<uint32_t>(height < 0 ? -height : height)};
  }
  return std::nullopt;
}
