// BMP, our own reader: the file and info headers (core, 40, 52, 56, 108 and 124
// bytes), palettes of 1, 4 and 8 bits, 16 and 32 bits by their bit fields, 24
// bits. Run-length and embedded JPEG or PNG are refused, as before. Every
// offset and size is checked against the data before it is read.
#include "linux_agent/image_decoder/rgba_decoders.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kBiRgb = 0;
constexpr uint32_t kBiBitFields = 3;
constexpr uint32_t kBiAlphaBitFields = 6;

struct Reader {
  const unsigned char* data;
  size_t length;
  bool Has(uint64_t offset, uint64_t count) const { return offset <= length && count <= length - offset; }
  uint32_t U16(size_t at) const { return data[at] | data[at + 1] << 8; }
  uint32_t U32(size_t at) const { return U16(at) | U16(at + 2) << 16; }
};

// One channel's mask: where it starts and its largest value, 0 for no channel.
struct Field {
  uint32_t shift = 0;
  uint32_t max = 0;
  explicit Field(uint32_t mask = 0) {
    if (mask == 0) return;
    while ((mask & 1u) == 0) {
      mask >>= 1;
      ++shift;
    }
    max = mask;
  }
  unsigned char Scale(uint32_t value) const {
    const uint64_t v = (value >> shift) & max;
    return static_cast<unsigned char>((v * 255 + max / 2) / max);
  }
};

struct Layout {
  int64_t width = 0;
  int64_t height = 0;  // negative when rows run top to bottom
  uint32_t bits = 0;
  uint32_t compression = kBiRgb;
  uint32_t masks[4] = {0, 0, 0, 0};  // red, green, blue, alpha
  uint64_t paletteAt = 0;
  uint32_t paletteEntries = 0;
  uint32_t paletteEntrySize = 4;
  uint64_t pixelsAt = 0;
};

bool ReadLayout(const Reader& in, Layout& layout) {
  if (!in.Has(0, 18) || in.data[0] != 'B' || in.data[1] != 'M') return false;
  layout.pixelsAt = in.U32(10);
  const uint32_t infoSize = in.U32(14);
  if (!in.Has(14, infoSize)) return false;
  if (infoSize == 12) {
    layout.width = in.U16(18);
    layout.height = in.U16(20);
    if (in.U16(22) != 1) return false;
    layout.bits = in.U16(24);
    layout.paletteEntrySize = 3;
    layout.paletteAt = 14 + 12;
    layout.paletteEntries = layout.bits <= 8 ? 1u << layout.bits : 0;
  } else if (infoSize == 40 || infoSize == 52 || infoSize == 56 || infoSize == 108 || infoSize == 124) {
    layout.width = static_cast<int32_t>(in.U32(18));
    layout.height = static_cast<int32_t>(in.U32(22));
    if (in.U16(26) != 1) return false;
    layout.bits = in.U16(28);
    layout.compression = in.U32(30);
    const uint32_t used = in.U32(46);
    uint64_t after = 14 + uint64_t{infoSize};
    if (layout.compression == kBiBitFields || layout.compression == kBiAlphaBitFields) {
      const int count = layout.compression == kBiAlphaBitFields || infoSize >= 56 ? 4 : 3;
      // A 40-byte header is followed by the masks; the longer ones hold them.
      const uint64_t masksAt = infoSize == 40 ? after : 54;
      if (!in.Has(masksAt, 4u * count)) return false;
      for (int i = 0; i < count; ++i) layout.masks[i] = in.U32(static_cast<size_t>(masksAt) + 4u * i);
      if (infoSize == 40) after += 4u * count;
    }
    layout.paletteAt = after;
    if (layout.bits <= 8) layout.paletteEntries = used == 0 || used > (1u << layout.bits) ? 1u << layout.bits : used;
  } else {
    return false;
  }
  if (layout.width <= 0 || layout.height == 0 || layout.height == INT32_MIN) return false;
  switch (layout.bits) {
    case 1: case 4: case 8: case 24:
      return layout.compression == kBiRgb;
    case 16:
    case 32:
      if (layout.compression == kBiRgb) {
        // Without fields: 5-5-5 and 8-8-8, the byte above them unused (no alpha).
        const uint32_t rgb555[4] = {0x7C00, 0x03E0, 0x001F, 0};
        const uint32_t rgb888[4] = {0xFF0000, 0xFF00, 0xFF, 0};
        std::memcpy(layout.masks, layout.bits == 16 ? rgb555 : rgb888, sizeof layout.masks);
        return true;
      }
      return (layout.compression == kBiBitFields || layout.compression == kBiAlphaBitFields) &&
             layout.masks[0] != 0 && layout.masks[1] != 0 && layout.masks[2] != 0;
    default:
      return false;
  }
}

}  // namespace

extern "C" KeloDecodeStatus KeloDecodeBmp(const unsigned char* data, size_t length, const KeloDecodeLimits* limits,
                                          KeloRgbaImage* out) {
  const Reader in{data, length};
  Layout layout;
  if (!ReadLayout(in, layout)) return KELO_DECODE_NOT_AN_IMAGE;
  const bool topDown = layout.height < 0;
  const uint64_t width = static_cast<uint64_t>(layout.width);
  const uint64_t height = static_cast<uint64_t>(topDown ? -layout.height : layout.height);
  const KeloDecodeStatus status = KeloCheckCanvas(width, height, limits);
  if (status != KELO_DECODE_OK) return status;

  const uint64_t stride = (width * layout.bits + 31) / 32 * 4;
  if (!in.Has(layout.pixelsAt, stride * height)) return KELO_DECODE_NOT_AN_IMAGE;
  unsigned char palette[256][3] = {};  // indices past the palette are black
  if (layout.paletteEntries > 0) {
    if (!in.Has(layout.paletteAt, uint64_t{layout.paletteEntries} * layout.paletteEntrySize)) {
      return KELO_DECODE_NOT_AN_IMAGE;
    }
    for (uint32_t i = 0; i < layout.paletteEntries; ++i) {
      const unsigned char* entry = data + layout.paletteAt + uint64_t{i} * layout.paletteEntrySize;
      palette[i][0] = entry[2];  // stored blue, green, red
      palette[i][1] = entry[1];
      palette[i][2] = entry[0];
    }
  }
  const Field fields[4] = {Field(layout.masks[0]), Field(layout.masks[1]), Field(layout.masks[2]),
                           Field(layout.masks[3])};

  auto* pixels = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(width * height * 4)));
  if (pixels == nullptr) return KELO_DECODE_OUT_OF_MEMORY;
  for (uint64_t y = 0; y < height; ++y) {
    const unsigned char* row = data + layout.pixelsAt + (topDown ? y : height - 1 - y) * stride;
    unsigned char* target = pixels + y * width * 4;
    for (uint64_t x = 0; x < width; ++x, target += 4) {
      if (layout.bits <= 8) {
        const uint64_t bit = x * layout.bits;
        const unsigned shift = 8 - layout.bits - static_cast<unsigned>(bit % 8);
        const unsigned index = (row[bit / 8] >> shift) & ((1u << layout.bits) - 1);
        std::memcpy(target, palette[index], 3);
        target[3] = 255;
      } else if (layout.bits == 24) {
        target[0] = row[x * 3 + 2];
        target[1] = row[x * 3 + 1];
        target[2] = row[x * 3];
        target[3] = 255;
      } else {
        const uint32_t value = layout.bits == 16 ? in.U16(static_cast<size_t>(row - data + x * 2))
                                                 : in.U32(static_cast<size_t>(row - data + x * 4));
        for (int c = 0; c < 3; ++c) target[c] = fields[c].Scale(value);
        target[3] = fields[3].max == 0 ? 255 : fields[3].Scale(value);
      }
    }
  }
  out->width = static_cast<uint32_t>(width);
  out->height = static_cast<uint32_t>(height);
  out->rgba = pixels;
  return KELO_DECODE_OK;
}
