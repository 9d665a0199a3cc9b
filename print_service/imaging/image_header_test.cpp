// Pixel sizes from image headers, and headers that give none.
#include "print_service/imaging/image_header.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

TEST(ImageHeader, ReadsThePixelSizeOfEachFormat) {
  const std::string png = "\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\x01\x2c\0\x01\0\0"s;
  const std::string gif = "GIF89a\x20\x03\x58\x02"s;
  const std::string bmp = "BM"s + std::string(12, '\0') + "\x28\0\0\0\x10\0\0\0\xf0\xff\xff\xff"s;  // 16 x -16
  const std::string bmpCore = "BM"s + std::string(12, '\0') + "\x0c\0\0\0\x05\0\x07\0"s + std::string(4, '\0');
  // SOI, an APP0 segment, a DHT (0xC4, not a frame), fill bytes, then SOF2.
  const std::string jpeg = "\xff\xd8\xff\xe0\0\x04" "ab\xff\xc4\0\x03x\xff\xff\xc2\0\x0b\x08\x01\x90\x02\x58\x03"s;
  struct Case {
    const char* what;
    std::string bytes;
    std::optional<ImageSize> size;
  };
  const Case cases[] = {
      {"PNG", png, ImageSize{300, 65536}},
      {"GIF", gif, ImageSize{800, 600}},
      {"BMP, rows top-down", bmp, ImageSize{16, 16}},
      {"BMP, OS/2 header", bmpCore, ImageSize{5, 7}},
      {"progressive JPEG behind other segments", jpeg, ImageSize{600, 400}},
      {"PNG cut short", png.substr(0, 23), std::nullopt},
      {"JPEG whose data starts before a frame", "\xff\xd8\xff\xda\0\x02"s, std::nullopt},
      {"JPEG segment running past the end", "\xff\xd8\xff\xe0\x40\x00"s, std::nullopt},
      {"JPEG frame cut short", "\xff\xd8\xff\xc0\0\x11\x08\x01"s, std::nullopt},
      {"JPEG with a zero length", "\xff\xd8\xff\xe0\0\0\xff\xc0"s, std::nullopt},
      {"BMP with a negative width", "BM"s + std::string(12, '\0') + "\x28\0\0\0\xff\xff\xff\xff\x01\0\0\0"s, std::nullopt},
      {"TIFF is not read", "II*\0\x08\0\0\0"s, std::nullopt},
      {"nothing", "", std::nullopt},
  };
  for (const Case& c : cases) {
    const std::optional<ImageSize> size = ReadImageSize(c.bytes);
    EXPECT_EQ(size.has_value(), c.size.has_value()) << c.what;
    if (size && c.size) {
      EXPECT_EQ(size->width, c.size->width) << c.what;
      EXPECT_EQ(size->height, c.size->height) << c.what;
    }
  }
}

}  // namespace
