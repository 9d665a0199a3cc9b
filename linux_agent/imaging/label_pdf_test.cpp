// The label's PDF: a page of exactly the bitmap's size, the bitmap embedded at its own pixels.
#include "linux_agent/imaging/label_pdf.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>

namespace {

LabelBitmap WhiteBitmap(uint32_t w, uint32_t h) {
  LabelBitmap b;
  b.width = w;
  b.height = h;
  b.pixels.reset(static_cast<uint32_t*>(std::malloc(size_t{w} * h * 4)));
  std::memset(b.pixels.get(), 0xFF, size_t{w} * h * 4);
  return b;
}

std::string Pdf(const LabelBitmap& b, int xDpi, int yDpi, bool* ok = nullptr) {
  std::string pdf;
  const bool written = WriteLabelPdf(b, xDpi, yDpi, [&](const unsigned char* d, size_t n) {
    pdf.append(reinterpret_cast<const char*>(d), n);
    return true;
  });
  if (ok != nullptr) *ok = written;
  return pdf;
}

TEST(LabelPdf, PageIsTheBitmapAtTheQueueResolution) {
  const struct {
    uint32_t w, h;
    int xDpi, yDpi;
    const char* mediaBox;
  } rows[] = {
      {600, 400, 300, 300, "0 0 144 96"},
      {600, 400, 203, 203, "0 0 212.807882 141.871921"},
      {203, 600, 203, 300, "0 0 72 144"},
  };
  for (const auto& row : rows) {
    bool ok = false;
    const std::string pdf = Pdf(WhiteBitmap(row.w, row.h), row.xDpi, row.yDpi, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(pdf.rfind("%PDF-", 0), 0u);
    EXPECT_NE(pdf.find(std::string("/MediaBox [ ") + row.mediaBox + " ]"), std::string::npos) << row.mediaBox;
    // One image of the bitmap's own pixels, not resampled or interpolated.
    const std::regex image("/Width " + std::to_string(row.w) + "\\s+/Height " + std::to_string(row.h));
    EXPECT_TRUE(std::regex_search(pdf, image)) << row.mediaBox;
    EXPECT_EQ(pdf.find("/Interpolate true"), std::string::npos);
  }
}

TEST(LabelPdf, FailsWithoutPartialSuccess) {
  EXPECT_FALSE(WriteLabelPdf(WhiteBitmap(10, 10), 300, 300, [](const unsigned char*, size_t) { return false; }));
  bool ok = true;
  EXPECT_TRUE(Pdf(WhiteBitmap(10, 10), 0, 300, &ok).empty());
  EXPECT_FALSE(ok);
  EXPECT_TRUE(Pdf(LabelBitmap(), 300, 300, &ok).empty());
  EXPECT_FALSE(ok);
  EXPECT_TRUE(Pdf(WhiteBitmap(kMaxPdfEdgePixels + 1, 1), 300, 300, &ok).empty());
  EXPECT_FALSE(ok);
}

}  // namespace
