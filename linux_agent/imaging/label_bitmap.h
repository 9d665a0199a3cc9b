// A posted image decoded for a label (portable).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

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

// What a decoder may take: pixels by the header, and bytes for everything it
// allocates, the bitmap included.
struct DecodeLimits {
  uint64_t maxPixels = 0;
  uint64_t maxBytes = 0;
};

enum class DecodeResult {
  kOk,
  kNotAnImage,     // malformed, cut short, or not one of the four formats
  kTooManyPixels,  // by the header, before decoding
  kOutOfMemory,    // the decoder would need more than its bytes
  kDecoderFailed,  // the decoder process crashed, ran out of time or answered nonsense
};
