// Choosing the decoder by the signature, and blending onto white.
#include "linux_agent/image_decoder/decode_label_bitmap.h"

#include "linux_agent/image_decoder/rgba_decoders.h"
#include "print_service/imaging/image_header.h"

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

DecodeResult ResultOf(KeloDecodeStatus status) {
  switch (status) {
    case KELO_DECODE_OK: return DecodeResult::kOk;
    case KELO_DECODE_TOO_MANY_PIXELS: return DecodeResult::kTooManyPixels;
    case KELO_DECODE_OUT_OF_MEMORY: return DecodeResult::kOutOfMemory;
    case KELO_DECODE_NOT_AN_IMAGE: break;
  }
  return DecodeResult::kNotAnImage;
}

}  // namespace

extern "C" KeloDecodeStatus KeloCheckCanvas(uint64_t width, uint64_t height, const KeloDecodeLimits* limits) {
  if (width == 0 || height == 0 || width > UINT32_MAX || height > UINT32_MAX) return KELO_DECODE_NOT_AN_IMAGE;
  if (width * height > limits->maxPixels) return KELO_DECODE_TOO_MANY_PIXELS;
  if (width * height > limits->maxBytes / 4) return KELO_DECODE_OUT_OF_MEMORY;
  return KELO_DECODE_OK;
}

DecodeResult DecodeLabelBitmap(std::string_view bytes, const DecodeLimits& limits, LabelBitmap& out) {
  out = LabelBitmap();
  const std::optional<ImageFormat> format = SniffImageFormat(bytes);
  if (!format) return DecodeResult::kNotAnImage;
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const KeloDecodeLimits bounds{limits.maxPixels, limits.maxBytes};
  KeloRgbaImage image{0, 0, nullptr};
  KeloDecodeStatus status = KELO_DECODE_NOT_AN_IMAGE;
  switch (*format) {
    case ImageFormat::kPng: status = KeloDecodePng(data, bytes.size(), &bounds, &image); break;
    case ImageFormat::kJpeg: status = KeloDecodeJpeg(data, bytes.size(), &bounds, &image); break;
    case ImageFormat::kGif: status = KeloDecodeGif(data, bytes.size(), &bounds, &image); break;
    case ImageFormat::kBmp: status = KeloDecodeBmp(data, bytes.size(), &bounds, &image); break;
  }
  if (status != KELO_DECODE_OK) return ResultOf(status);
  // Four bytes become one word of four bytes: converted in place.
  const size_t count = size_t{image.width} * image.height;
  for (size_t i = 0; i < count; ++i) {
    const uint32_t word = OpaqueWord(image.rgba + i * 4);
    std::memcpy(image.rgba + i * 4, &word, sizeof word);
  }
  out.width = image.width;
  out.height = image.height;
  out.pixels.reset(reinterpret_cast<uint32_t*>(image.rgba));  // malloc'ed by the decoder
  return DecodeResult::kOk;
}
