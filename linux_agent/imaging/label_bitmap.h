// A posted image decoded for a label (portable).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

// Pixels as 32-bit words 0x00RRGGBB, row after row without padding: what
// cairo's RGB24 format reads. Opaque: transparency is already flattened.
struct LabelBitmap {
  uint32_t width = 0;
  uint32_t height = 0;
  std::unique_ptr<uint32_t[], FreeDeleter> pixels;
};

enum class DecodeResult { kOk, kNotAnImage, kTooManyPixels, kOutOfMemory };

// PNG, JPEG, GIF (its first frame) and BMP, the formats GDI+ decodes for the
// Windows build; anything else is not an image here either. A bitmap of more
// than maxPixels pixels is refused by its header, before it is decoded.
// Transparent and partly transparent pixels are blended onto white paper.
DecodeResult DecodeLabelBitmap(std::string_view bytes, uint64_t maxPixels, LabelBitmap& out);
