// Fuzzes the Linux agent's image decoders (PNG, JPEG, GIF, BMP) with the limits a
// print of that image gets: the pixel bound, and the bytes its grant allows.
#include "linux_agent/image_decoder/decode_label_bitmap.h"
#include "print_service/imaging/image_header.h"
#include "print_service/imaging/print_image.h"
#include "tests/fuzz/fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::optional<ImageSize> header = ReadImageSize(bytes);
  const DecodeLimits limits{kMaxImagePixels, PrintMemoryFor(header, kImageMemoryBudget)};
  LabelBitmap bitmap;
  const DecodeResult result = DecodeLabelBitmap(bytes, limits, bitmap);
  if (result != DecodeResult::kOk) {
    FUZZ_REQUIRE(bitmap.pixels == nullptr);
    return 0;
  }
  FUZZ_REQUIRE(bitmap.pixels != nullptr && bitmap.width > 0 && bitmap.height > 0);
  FUZZ_REQUIRE(uint64_t{bitmap.width} * bitmap.height <= limits.maxPixels);
  // The size the upload was judged by (and its grant computed from) is the size
  // that is printed. libjpeg also reads files whose segments our header reader
  // refuses (it skips bytes between markers): those got the whole budget.
  FUZZ_REQUIRE(!header || (header->width == bitmap.width && header->height == bitmap.height));
  // Opaque words: every byte above the colour is zero.
  for (size_t i = 0; i < size_t{bitmap.width} * bitmap.height; ++i) FUZZ_REQUIRE((bitmap.pixels[i] >> 24) == 0);
  return 0;
}
