// The label's PDF drawn with cairo.
#include "linux_agent/imaging/label_pdf.h"

#include <cairo-pdf.h>
#include <cairo.h>

#include <memory>

namespace {

struct SurfaceDeleter {
  void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct ContextDeleter {
  void operator()(cairo_t* c) const { cairo_destroy(c); }
};
using UniqueSurface = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;
using UniqueContext = std::unique_ptr<cairo_t, ContextDeleter>;

struct SinkState {
  const std::function<bool(const unsigned char*, size_t)>* sink;
  bool failed = false;
};

cairo_status_t WriteToSink(void* closure, const unsigned char* data, unsigned int length) {
  auto* state = static_cast<SinkState*>(closure);
  if (state->failed || !(*state->sink)(data, length)) {
    state->failed = true;
    return CAIRO_STATUS_WRITE_ERROR;
  }
  return CAIRO_STATUS_SUCCESS;
}

}  // namespace

double PagePoints(uint32_t pixels, int dpi) { return dpi > 0 ? pixels * 72.0 / dpi : 0.0; }

bool WriteLabelPdf(const LabelBitmap& bitmap, int xDpi, int yDpi,
                   const std::function<bool(const unsigned char* data, size_t length)>& sink) {
  if (!bitmap.pixels || bitmap.width == 0 || bitmap.height == 0 || xDpi <= 0 || yDpi <= 0) return false;
  if (bitmap.width > kMaxPdfEdgePixels || bitmap.height > kMaxPdfEdgePixels) return false;
  const int w = static_cast<int>(bitmap.width);
  const int h = static_cast<int>(bitmap.height);
  // The words are cairo's RGB24 pixels already; the surface only borrows them.
  UniqueSurface image(cairo_image_surface_create_for_data(reinterpret_cast<unsigned char*>(bitmap.pixels.get()),
                                                          CAIRO_FORMAT_RGB24, w, h, w * 4));
  if (cairo_surface_status(image.get()) != CAIRO_STATUS_SUCCESS) return false;

  SinkState state{&sink};
  UniqueSurface pdf(cairo_pdf_surface_create_for_stream(WriteToSink, &state, PagePoints(bitmap.width, xDpi),
                                                        PagePoints(bitmap.height, yDpi)));
  if (cairo_surface_status(pdf.get()) != CAIRO_STATUS_SUCCESS) return false;
  {
    UniqueContext cr(cairo_create(pdf.get()));
    // One image dot per device dot: the image is embedded at its own pixel size
    // and the page maps it onto width x height dots.
    cairo_scale(cr.get(), 72.0 / xDpi, 72.0 / yDpi);
    cairo_set_source_surface(cr.get(), image.get(), 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr.get()), CAIRO_FILTER_NEAREST);
    cairo_paint(cr.get());
    if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) return false;
  }
  cairo_surface_finish(pdf.get());
  return cairo_surface_status(pdf.get()) == CAIRO_STATUS_SUCCESS && !state.failed;
}
