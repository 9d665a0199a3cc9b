// A label as a one-page PDF of exactly its bitmap's size.
#pragma once

#include "linux_agent/imaging/label_bitmap.h"

#include <cstddef>
#include <functional>

// Points of a page edge of `pixels` dots at `dpi`.
double PagePoints(uint32_t pixels, int dpi);

// The largest edge, in pixels, that the PDF writer takes.
inline constexpr uint32_t kMaxPdfEdgePixels = 32767;

// Writes the PDF to sink as it is produced: one page of width x height dots at
// xDpi by yDpi, the bitmap at its top-left corner dot for dot, not
// interpolated. False when cairo failed or sink returned false.
bool WriteLabelPdf(const LabelBitmap& bitmap, int xDpi, int yDpi,
                   const std::function<bool(const unsigned char* data, size_t length)>& sink);
