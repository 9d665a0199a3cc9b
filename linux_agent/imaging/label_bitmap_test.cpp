// Decoding posted images for the agent: the four formats, nothing else, white under transparency.
#include "linux_agent/imaging/label_bitmap.h"

#include "linux_agent/testing/image_encoder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::string Encode(char format, const std::vector<unsigned char>& pixels, int w, int h, int channels) {
  int length = 0;
  unsigned char* data = TestEncodeImage(format, pixels.data(), w, h, channels, &length);
  EXPECT_NE(data, nullptr);
  std::string bytes(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
  std::free(data);
  return bytes;
}

std::vector<uint32_t> Words(const LabelBitmap& b) {
  return std::vector<uint32_t>(b.pixels.get(), b.pixels.get() + size_t{b.width} * b.height);
}

// 3 x 2: red, black, white / white, white, blue.
const std::vector<unsigned char> kRgb = {255, 0, 0, 0, 0, 0, 255, 255, 255, 255, 255, 255, 255, 255, 255, 0, 0, 255};
const std::vector<uint32_t> kWords = {0xFF0000, 0x000000, 0xFFFFFF, 0xFFFFFF, 0xFFFFFF, 0x0000FF};
// The same picture as a GIF with a four-colour palette.
const unsigned char kGif[] = {0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x03, 0x00, 0x02, 0x00, 0xf1, 0x03, 0x00,
                              0x00, 0x00, 0x00, 0xff, 0x00, 0x00, 0x00, 0x00, 0xff, 0xff, 0xff, 0xff, 0x21,
                              0xf9, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x2c, 0x00, 0x00, 0x00, 0x00, 0x03,
                              0x00, 0x02, 0x00, 0x00, 0x02, 0x03, 0x0c, 0x86, 0x52, 0x00, 0x3b};

TEST(LabelBitmap, LosslessFormatsDecodeToTheSamePixels) {
  const struct {
    const char* name;
    std::string bytes;
  } rows[] = {
      {"png", Encode('p', kRgb, 3, 2, 3)},
      {"bmp", Encode('b', kRgb, 3, 2, 3)},
      {"gif", std::string(reinterpret_cast<const char*>(kGif), sizeof kGif)},
  };
  for (const auto& row : rows) {
    LabelBitmap bitmap;
    ASSERT_EQ(DecodeLabelBitmap(row.bytes, 100, bitmap), DecodeResult::kOk) << row.name;
    EXPECT_EQ(bitmap.width, 3u) << row.name;
    EXPECT_EQ(bitmap.height, 2u) << row.name;
    EXPECT_EQ(Words(bitmap), kWords) << row.name;
  }
}

TEST(LabelBitmap, JpegDecodesCloseToItsSource) {
  std::vector<unsigned char> grey(16 * 16 * 3);
  for (size_t i = 0; i < grey.size(); ++i) grey[i] = (i / 3) % 16 < 8 ? 0 : 255;  // black left, white right
  LabelBitmap bitmap;
  ASSERT_EQ(DecodeLabelBitmap(Encode('j', grey, 16, 16, 3), 1000, bitmap), DecodeResult::kOk);
  ASSERT_EQ(bitmap.width, 16u);
  EXPECT_LT(bitmap.pixels[16 * 8 + 2] & 0xFF, 40u);
  EXPECT_GT(bitmap.pixels[16 * 8 + 13] & 0xFF, 215u);
}

TEST(LabelBitmap, TransparencyIsBlendedOntoWhite) {
  // Opaque red, half-transparent black, fully transparent black, opaque blue.
  const std::vector<unsigned char> rgba = {255, 0, 0, 255, 0, 0, 0, 128, 0, 0, 0, 0, 0, 0, 255, 255};
  LabelBitmap bitmap;
  ASSERT_EQ(DecodeLabelBitmap(Encode('p', rgba, 2, 2, 4), 4, bitmap), DecodeResult::kOk);
  EXPECT_EQ(Words(bitmap), (std::vector<uint32_t>{0xFF0000, 0x7F7F7F, 0xFFFFFF, 0x0000FF}));
}

TEST(LabelBitmap, RefusesOtherFormatsBrokenDataAndTooManyPixels) {
  const std::string png = Encode('p', kRgb, 3, 2, 3);
  const struct {
    const char* name;
    std::string bytes;
    uint64_t maxPixels;
    DecodeResult expected;
  } rows[] = {
      {"tga, which stb could read but GDI+ cannot", Encode('t', kRgb, 3, 2, 3), 100, DecodeResult::kNotAnImage},
      {"empty", "", 100, DecodeResult::kNotAnImage},
      {"text", "data:image/png;base64,AAAA", 100, DecodeResult::kNotAnImage},
      {"png signature only", png.substr(0, 8), 100, DecodeResult::kNotAnImage},
      {"png cut in its data", png.substr(0, png.size() - 20), 100, DecodeResult::kNotAnImage},
      {"one pixel over the bound", png, 5, DecodeResult::kTooManyPixels},
      {"exactly the bound", png, 6, DecodeResult::kOk},
  };
  for (const auto& row : rows) {
    LabelBitmap bitmap;
    EXPECT_EQ(DecodeLabelBitmap(row.bytes, row.maxPixels, bitmap), row.expected) << row.name;
    EXPECT_EQ(bitmap.pixels != nullptr, row.expected == DecodeResult::kOk) << row.name;
  }
}

TEST(LabelBitmap, HugeDimensionsInAHeaderAreRefusedBeforeDecoding) {
  // A BMP header claiming 60000 x 60000 pixels with no pixel data behind it.
  std::string bmp = Encode('b', kRgb, 3, 2, 3);
  const uint32_t edge = 60000;
  std::memcpy(&bmp[18], &edge, 4);
  std::memcpy(&bmp[22], &edge, 4);
  LabelBitmap bitmap;
  EXPECT_EQ(DecodeLabelBitmap(bmp, 32u * 1024 * 1024, bitmap), DecodeResult::kTooManyPixels);
}

}  // namespace
