// Decoding posted images: the four formats and nothing else, white under
// transparency, and every decoder stopped by its limits.
#include "linux_agent/image_decoder/decode_label_bitmap.h"

#include "linux_agent/testing/image_encoder.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DecodeLimits kRoomy{1u << 20, 64u << 20};

DecodeLimits Pixels(uint64_t maxPixels) { return DecodeLimits{maxPixels, 64u << 20}; }

std::string Owned(unsigned char* data, int length) {
  EXPECT_NE(data, nullptr);
  std::string bytes(reinterpret_cast<const char*>(data), data ? static_cast<size_t>(length) : 0);
  std::free(data);
  return bytes;
}

std::string Encode(char format, const std::vector<unsigned char>& pixels, int w, int h, int channels) {
  int length = 0;
  unsigned char* data = TestEncodeImage(format, pixels.data(), w, h, channels, &length);
  return Owned(data, length);
}

std::string Gif(int w, int h, const std::vector<unsigned char>& palette, std::vector<TestGifFrame> frames) {
  int length = 0;
  unsigned char* data = TestEncodeGif(w, h, palette.data(), static_cast<int>(palette.size() / 3), frames.data(),
                                      static_cast<int>(frames.size()), &length);
  return Owned(data, length);
}

std::vector<uint32_t> Words(const LabelBitmap& b) {
  return std::vector<uint32_t>(b.pixels.get(), b.pixels.get() + size_t{b.width} * b.height);
}

void Put(std::string& s, size_t at, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) s[at + i] = static_cast<char>(value >> (8 * i));
}

// A BMP with a 40-byte (or longer) info header, its masks or palette, and rows
// given top to bottom, each already padded to four bytes.
std::string Bmp(int32_t w, int32_t h, int bits, uint32_t compression, const std::vector<uint32_t>& extra,
                const std::vector<std::string>& rowsTopDown, uint32_t infoSize = 40) {
  std::string header(14 + infoSize, '\0');
  header[0] = 'B';
  header[1] = 'M';
  Put(header, 14, infoSize, 4);
  Put(header, 18, static_cast<uint32_t>(w), 4);
  Put(header, 22, static_cast<uint32_t>(h), 4);
  Put(header, 26, 1, 2);
  Put(header, 28, static_cast<uint32_t>(bits), 2);
  Put(header, 30, compression, 4);
  if (bits <= 8) Put(header, 46, static_cast<uint32_t>(extra.size()), 4);  // colours used
  std::string tail;
  if (infoSize >= 56) {
    for (size_t i = 0; i < extra.size() && i < 4; ++i) Put(header, 54 + 4 * i, extra[i], 4);
  } else {
    for (const uint32_t v : extra) {
      tail.append(4, '\0');
      Put(tail, tail.size() - 4, v, 4);
    }
  }
  std::string pixels;
  const bool topDown = h < 0;
  for (size_t i = 0; i < rowsTopDown.size(); ++i) {
    pixels += rowsTopDown[topDown ? i : rowsTopDown.size() - 1 - i];
  }
  Put(header, 10, static_cast<uint32_t>(header.size() + tail.size()), 4);
  return header + tail + pixels;
}


// Pixels with detail, so that a JPEG has real coefficients in every block.
std::vector<unsigned char> Noise(int w, int h, int channels) {
  std::vector<unsigned char> pixels(static_cast<size_t>(w) * h * channels);
  uint32_t state = 12345;
  for (auto& p : pixels) {
    state = state * 1103515245u + 12345u;
    p = static_cast<unsigned char>(state >> 24);
  }
  return pixels;
}

// 3 x 2: red, black, white / white, white, blue.
const std::vector<unsigned char> kRgb = {255, 0, 0, 0, 0, 0, 255, 255, 255, 255, 255, 255, 255, 255, 255, 0, 0, 255};
const std::vector<uint32_t> kWords = {0xFF0000, 0x000000, 0xFFFFFF, 0xFFFFFF, 0xFFFFFF, 0x0000FF};
const std::vector<unsigned char> kPalette = {255, 0, 0, 0, 0, 0, 255, 255, 255, 0, 0, 255};  // red black white blue
const std::vector<unsigned char> kIndices = {0, 1, 2, 2, 2, 3};
// BMP palette entries are blue, green, red, zero: as little-endian words, 0x00RRGGBB.
const std::vector<uint32_t> kBmpPalette = {0xFF0000, 0x000000, 0xFFFFFF, 0x0000FF};

TEST(DecodeLabelBitmap, LosslessFormatsDecodeToTheSamePixels) {
  const struct {
    const char* name;
    std::string bytes;
  } rows[] = {
      {"png", Encode('p', kRgb, 3, 2, 3)},
      {"bmp 24 bits", Encode('b', kRgb, 3, 2, 3)},
      {"gif", Gif(3, 2, kPalette, {{0, 0, 3, 2, 0, -1, kIndices.data()}})},
      {"gif interlaced", Gif(3, 2, kPalette, {{0, 0, 3, 2, 1, -1, kIndices.data()}})},
      {"bmp 8 bits", Bmp(3, 2, 8, 0, kBmpPalette, {std::string("\0\1\2\0", 4), std::string("\2\2\3\0", 4)})},
      {"bmp 4 bits", Bmp(3, 2, 4, 0, kBmpPalette, {std::string("\x01\x20\0\0", 4), std::string("\x22\x30\0\0", 4)})},
      {"bmp 8 bits top-down",
       Bmp(3, -2, 8, 0, kBmpPalette, {std::string("\0\1\2\0", 4), std::string("\2\2\3\0", 4)})},
      {"bmp 32 bits, the fourth byte unused",
       Bmp(3, 2, 32, 0, {}, {std::string("\0\0\xff\x00\0\0\0\x00\xff\xff\xff\x00", 12),
                             std::string("\xff\xff\xff\x00\xff\xff\xff\x00\xff\0\0\x00", 12)})},
      {"bmp 16 bits 5-6-5 fields",
       Bmp(3, 2, 16, 3, {0xF800, 0x07E0, 0x001F},
           {std::string("\x00\xf8\x00\x00\xff\xff\x00\x00", 8), std::string("\xff\xff\xff\xff\x1f\x00\x00\x00", 8)})},
  };
  for (const auto& row : rows) {
    LabelBitmap bitmap;
    ASSERT_EQ(DecodeLabelBitmap(row.bytes, kRoomy, bitmap), DecodeResult::kOk) << row.name;
    EXPECT_EQ(bitmap.width, 3u) << row.name;
    EXPECT_EQ(bitmap.height, 2u) << row.name;
    EXPECT_EQ(Words(bitmap), kWords) << row.name;
  }
}

TEST(DecodeLabelBitmap, OneBitBmpAndPaletteIndicesPastThePalette) {
  // 1 bit: 1 0 1 over 0 1 0, palette black and white; 8 bits: index 9 of a
  // two-entry palette is black.
  const std::vector<uint32_t> bw = {0x000000, 0xFFFFFF};
  LabelBitmap bitmap;
  ASSERT_EQ(DecodeLabelBitmap(Bmp(3, 2, 1, 0, bw, {std::string("\xa0\0\0\0", 4), std::string("\x40\0\0\0", 4)}),
                              kRoomy, bitmap),
            DecodeResult::kOk);
  EXPECT_EQ(Words(bitmap), (std::vector<uint32_t>{0xFFFFFF, 0, 0xFFFFFF, 0, 0xFFFFFF, 0}));
  std::string eight = Bmp(2, 1, 8, 0, bw, {std::string("\x01\x09\0\0", 4)});
  Put(eight, 46, 2, 4);  // two colours used
  ASSERT_EQ(DecodeLabelBitmap(eight, kRoomy, bitmap), DecodeResult::kOk);
  EXPECT_EQ(Words(bitmap), (std::vector<uint32_t>{0xFFFFFF, 0}));
}

TEST(DecodeLabelBitmap, JpegsDecodeCloseToTheirSource) {
  std::vector<unsigned char> rgb(16 * 16 * 3);
  for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = (i / 3) % 16 < 8 ? 0 : 255;  // black left, white right
  std::vector<unsigned char> grey(16 * 16);
  for (size_t i = 0; i < grey.size(); ++i) grey[i] = i % 16 < 8 ? 0 : 255;
  const struct {
    const char* name;
    std::string bytes;
  } rows[] = {
      {"baseline", Encode('j', rgb, 16, 16, 3)},
      {"progressive", Encode('J', rgb, 16, 16, 3)},
      {"grey", Encode('j', grey, 16, 16, 1)},
  };
  for (const auto& row : rows) {
    LabelBitmap bitmap;
    ASSERT_EQ(DecodeLabelBitmap(row.bytes, kRoomy, bitmap), DecodeResult::kOk) << row.name;
    ASSERT_EQ(bitmap.width, 16u) << row.name;
    for (const uint32_t shift : {0u, 8u, 16u}) {
      EXPECT_LT((bitmap.pixels[16 * 8 + 2] >> shift) & 0xFF, 40u) << row.name;
      EXPECT_GT((bitmap.pixels[16 * 8 + 13] >> shift) & 0xFF, 215u) << row.name;
    }
  }
}

TEST(DecodeLabelBitmap, TransparencyIsBlendedOntoWhite) {
  // Opaque red, half-transparent black, fully transparent black, opaque blue.
  const std::vector<unsigned char> rgba = {255, 0, 0, 255, 0, 0, 0, 128, 0, 0, 0, 0, 0, 0, 255, 255};
  const std::vector<uint32_t> blended = {0xFF0000, 0x7F7F7F, 0xFFFFFF, 0x0000FF};
  const unsigned char indices[] = {0, 1, 1, 3};
  const std::vector<unsigned char> palette = {255, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 255};
  const struct {
    const char* name;
    std::string bytes;
    std::vector<uint32_t> expected;
  } rows[] = {
      {"png with alpha", Encode('p', rgba, 2, 2, 4), blended},
      {"gif with a transparent index", Gif(2, 2, palette, {{0, 0, 2, 2, 0, 1, indices}}),
       {0xFF0000, 0xFFFFFF, 0xFFFFFF, 0x0000FF}},
      {"bmp with an alpha field",
       Bmp(2, 2, 32, 3, {0xFF0000, 0xFF00, 0xFF, 0xFF000000u},
           {std::string("\0\0\xff\xff\0\0\0\x80", 8), std::string("\0\0\0\0\xff\0\0\xff", 8)}, 124),
       blended},
  };
  for (const auto& row : rows) {
    LabelBitmap bitmap;
    ASSERT_EQ(DecodeLabelBitmap(row.bytes, kRoomy, bitmap), DecodeResult::kOk) << row.name;
    EXPECT_EQ(Words(bitmap), row.expected) << row.name;
  }
}

TEST(DecodeLabelBitmap, AGifIsItsFirstFrameOnItsScreen) {
  // A 2 x 1 frame at (1, 1) of a 4 x 3 screen, then a frame that covers it all.
  const unsigned char first[] = {1, 3};
  const std::vector<unsigned char> cover(12, 1);
  const std::string gif =
      Gif(4, 3, kPalette, {{1, 1, 2, 1, 0, -1, first}, {0, 0, 4, 3, 0, -1, cover.data()}});
  LabelBitmap bitmap;
  ASSERT_EQ(DecodeLabelBitmap(gif, kRoomy, bitmap), DecodeResult::kOk);
  ASSERT_EQ(bitmap.width, 4u);
  ASSERT_EQ(bitmap.height, 3u);
  std::vector<uint32_t> expected(12, 0xFFFFFF);
  expected[5] = 0x000000;
  expected[6] = 0x0000FF;
  EXPECT_EQ(Words(bitmap), expected);
}

TEST(DecodeLabelBitmap, RefusesOtherFormatsAndBrokenData) {
  const std::string png = Encode('p', kRgb, 3, 2, 3);
  const std::string noisyPng = Encode('p', Noise(64, 64, 3), 64, 64, 3);
  std::string rle = Bmp(3, 2, 8, 1, kBmpPalette, {std::string("\0\1\2\0", 4), std::string("\2\2\3\0", 4)});
  std::string shortRows = Encode('b', kRgb, 3, 2, 3);
  shortRows.resize(shortRows.size() - 1);
  std::string gifWithoutFrame = Gif(3, 2, kPalette, {});
  const struct {
    const char* name;
    std::string bytes;
  } rows[] = {
      {"tga", Encode('t', kRgb, 3, 2, 3)},
      {"empty", ""},
      {"text", "data:image/png;base64,AAAA"},
      {"png signature only", png.substr(0, 8)},
      {"png cut before its last row", noisyPng.substr(0, noisyPng.size() / 2)},
      {"jpeg markers only", std::string("\xff\xd8\xff\xd9", 4)},
      {"bmp run-length", rle},
      {"bmp rows cut short", shortRows},
      {"bmp header only", shortRows.substr(0, 20)},
      {"gif without a frame", gifWithoutFrame},
      {"gif cut in its frame", Gif(3, 2, kPalette, {{0, 0, 3, 2, 0, -1, kIndices.data()}}).substr(0, 30)},
  };
  for (const auto& row : rows) {
    LabelBitmap bitmap;
    EXPECT_EQ(DecodeLabelBitmap(row.bytes, kRoomy, bitmap), DecodeResult::kNotAnImage) << row.name;
    EXPECT_EQ(bitmap.pixels, nullptr) << row.name;
  }
}

TEST(DecodeLabelBitmap, EveryFormatHoldsThePixelBoundByItsHeader) {
  const std::string formats[] = {Encode('p', kRgb, 3, 2, 3), Encode('j', kRgb, 3, 2, 3), Encode('b', kRgb, 3, 2, 3),
                                 Gif(3, 2, kPalette, {{0, 0, 3, 2, 0, -1, kIndices.data()}})};
  for (const std::string& bytes : formats) {
    LabelBitmap bitmap;
    EXPECT_EQ(DecodeLabelBitmap(bytes, Pixels(6), bitmap), DecodeResult::kOk) << bytes.substr(0, 4);
    EXPECT_EQ(DecodeLabelBitmap(bytes, Pixels(5), bitmap), DecodeResult::kTooManyPixels) << bytes.substr(0, 4);
  }
  // A BMP header claiming 60000 x 60000 pixels with no pixel data behind it.
  std::string bmp = Encode('b', kRgb, 3, 2, 3);
  Put(bmp, 18, 60000, 4);
  Put(bmp, 22, 60000, 4);
  LabelBitmap bitmap;
  EXPECT_EQ(DecodeLabelBitmap(bmp, Pixels(32u << 20), bitmap), DecodeResult::kTooManyPixels);
}

TEST(DecodeLabelBitmap, TheByteBoundStopsADecoderThatWouldNeedMore) {
  const std::vector<unsigned char> noise = Noise(256, 256, 3);
  const uint64_t bitmapBytes = 256u * 256u * 4u;
  // Bitmap plus 128 KiB: enough for a baseline JPEG's and a PNG's rows and
  // tables, not for a progressive JPEG's coefficients (3 bytes a pixel at 4:2:0).
  const DecodeLimits tight{1u << 20, bitmapBytes + (128u << 10)};
  const struct {
    const char* name;
    std::string bytes;
    DecodeLimits limits;
    DecodeResult expected;
  } rows[] = {
      {"baseline jpeg", Encode('j', noise, 256, 256, 3), tight, DecodeResult::kOk},
      {"progressive jpeg", Encode('J', noise, 256, 256, 3), tight, DecodeResult::kOutOfMemory},
      {"progressive jpeg with room", Encode('J', noise, 256, 256, 3), DecodeLimits{1u << 20, 12 * bitmapBytes},
       DecodeResult::kOk},
      {"png", Encode('p', noise, 256, 256, 3), tight, DecodeResult::kOk},
      {"png without room for the inflater", Encode('p', noise, 256, 256, 3), DecodeLimits{1u << 20, bitmapBytes + 4096},
       DecodeResult::kOutOfMemory},
      {"bmp with no room for its bitmap", Encode('b', noise, 256, 256, 3), DecodeLimits{1u << 20, bitmapBytes - 1},
       DecodeResult::kOutOfMemory},
  };
  for (const auto& row : rows) {
    LabelBitmap bitmap;
    EXPECT_EQ(DecodeLabelBitmap(row.bytes, row.limits, bitmap), row.expected) << row.name;
  }
}

std::string Chunk(const char* type, const std::string& data) {
  std::string chunk(4, '\0');
  const uint32_t n = static_cast<uint32_t>(data.size());
  for (int i = 0; i < 4; ++i) chunk[i] = static_cast<char>(n >> (24 - 8 * i));
  chunk += std::string(type, 4) + data;
  const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(chunk.data() + 4), static_cast<uInt>(chunk.size() - 4));
  for (int i = 0; i < 4; ++i) chunk += static_cast<char>(crc >> (24 - 8 * i));
  return chunk;
}

TEST(DecodeLabelBitmap, APngOfOnePixelWhoseDataInflatesFarBeyondItIsNotInflated) {
  // IHDR 1 x 1, 8-bit RGB; then 256 MiB of zeros compressed into one IDAT.
  std::string ihdr("\0\0\0\1\0\0\0\1\x08\x02\0\0\0", 13);
  std::string idat;
  z_stream z{};
  ASSERT_EQ(deflateInit(&z, 9), Z_OK);
  std::vector<unsigned char> zeros(1 << 20, 0), out(1 << 16);
  for (int i = 0; i < 256; ++i) {
    z.next_in = zeros.data();
    z.avail_in = static_cast<uInt>(zeros.size());
    do {
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(out.size());
      deflate(&z, i == 255 ? Z_FINISH : Z_NO_FLUSH);
      idat.append(reinterpret_cast<char*>(out.data()), out.size() - z.avail_out);
    } while (z.avail_out == 0);
  }
  deflateEnd(&z);
  const std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + Chunk("IHDR", ihdr) + Chunk("IDAT", idat) +
                          Chunk("IEND", "");
  const auto start = std::chrono::steady_clock::now();
  LabelBitmap bitmap;
  ASSERT_EQ(DecodeLabelBitmap(png, DecodeLimits{1u << 20, 1u << 20}, bitmap), DecodeResult::kOk);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(Words(bitmap), std::vector<uint32_t>{0x000000});
  // Inflating all of it takes about a second; the one row takes nothing.
  EXPECT_LT(took, std::chrono::milliseconds(100));
}

// A progressive JPEG with its last scan repeated: libjpeg only warns about the
// repetitions, and each costs a pass.
std::string WithRepeatedLastScan(const std::string& jpeg, int repeats) {
  const size_t lastScan = jpeg.rfind(std::string("\xff\xda", 2));
  const size_t end = jpeg.size() - 2;  // EOI
  std::string out = jpeg.substr(0, end);
  for (int i = 0; i < repeats; ++i) out += jpeg.substr(lastScan, end - lastScan);
  return out + jpeg.substr(end);
}

TEST(DecodeLabelBitmap, AJpegWithMoreScansThanAnyRealOneIsRefused) {
  const std::string jpeg = Encode('J', Noise(64, 64, 3), 64, 64, 3);
  LabelBitmap bitmap;
  EXPECT_EQ(DecodeLabelBitmap(WithRepeatedLastScan(jpeg, 20), kRoomy, bitmap), DecodeResult::kOk);
  EXPECT_EQ(DecodeLabelBitmap(WithRepeatedLastScan(jpeg, 500), kRoomy, bitmap), DecodeResult::kNotAnImage);
}

}  // namespace
