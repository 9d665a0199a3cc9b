// Decoding a posted image in this process: what the decoder process runs, and
// what the tests and the fuzz target call directly.
#pragma once

#include "linux_agent/imaging/label_bitmap.h"

#include <string_view>

// PNG, JPEG, GIF (its first frame) and BMP, the formats GDI+ decodes for the
// Windows build, each through its decoder with the limits; anything else is not
// an image here either. Transparent and partly transparent pixels are blended
// onto white paper.
DecodeResult DecodeLabelBitmap(std::string_view bytes, const DecodeLimits& limits, LabelBitmap& out);
