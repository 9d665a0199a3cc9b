// Decoding with stb_image (only the four formats are compiled in) and blending onto white.
#include "linux_agent/imaging/label_bitmap.h"

#include "print_service/imaging/image_header.h"
#include "linux_agent/imaging/stb_image_formats.h"

#include <climits>
#include <cstring>

namespace {

// Over white: c * a + 255 * (1 - a), rounded, as the Windows build blends.
uint32_t OpaqueWord(const uint8_t* rgba) {
  const unsigned a = rgba[3];
  uint32_t word = 0;
  for (int c = 0; c < 3; ++c) {
    const unsigned v = (rgba[c] * a + 255u * (255u - a) + 127u) / 255u;
    word = (word << 8) | v;
  }
  return word;
}

}  // namespace

DecodeResult DecodeLabelBitmap(std::string_view bytes, uint64_t maxPixels, LabelBitmap& out) {
  out = LabelBitmap();
  if (!SniffImageFormat(bytes) || bytes.size() > static_cast<size_t>(INT_MAX)) return DecodeResult::kNotAnImage;
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const int length = static_cast<int>(bytes.size());
  int w = 0;
  int h = 0;
  int channels = 0;
  if (KeloStbInfo(data, length, &w, &h, &channels) == 0 || w <= 0 || h <= 0) return DecodeResult::kNotAnImage;
  if (static_cast<uint64_t>(w) * static_cast<uint64_t>(h) > maxPixels) return DecodeResult::kTooManyPixels;

  unsigned char* rgba = KeloStbLoadRgba(data, length, &w, &h);
  if (rgba == nullptr) return DecodeResult::kNotAnImage;
  // Four bytes become one word of four bytes: converted in place.
  const size_t count = static_cast<size_t>(w) * static_cast<size_t>(h);
  for (size_t i = 0; i < count; ++i) {
    const uint32_t word = OpaqueWord(rgba + i * 4);
    std::memcpy(rgba + i * 4, &word, sizeof word);
  }
  out.width = static_cast<uint32_t>(w);
  out.height = static_cast<uint32_t>(h);
  out.pixels.reset(reinterpret_cast<uint32_t*>(rgba));  // malloc'ed by stb_image, freed with free()
  return DecodeResult::kOk;
}
