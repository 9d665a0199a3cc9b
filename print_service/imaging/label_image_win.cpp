// Decoding with GDI+ and drawing with GDI.
#include "print_service/imaging/label_image_win.h"

#include "common/scope_guard.h"
#include "print_service/imaging/print_image.h"

#include <objidl.h>
#include <gdiplus.h>

#include <cstdint>
#include <mutex>

namespace {

// GDI+ is started once, on first use, and never shut down: it must outlive every
// GDI+ object, and worker threads may still be decoding at process exit.
bool EnsureGdiplus() {
  static std::once_flag once;
  static bool started = false;
  std::call_once(once, [] {
    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    started = Gdiplus::GdiplusStartup(&token, &input, nullptr) == Gdiplus::Ok;
  });
  return started;
}

// Over white: c * a + 255 * (1 - a), rounded; the result is opaque.
void BlendOntoWhite(uint8_t* pixels, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    uint8_t* p = pixels + i * 4;
    const unsigned a = p[3];
    for (int c = 0; c < 3; ++c) p[c] = static_cast<uint8_t>((p[c] * a + 255u * (255u - a) + 127u) / 255u);
    p[3] = 255;
  }
}

}  // namespace

HRESULT LabelImage::Load(const std::wstring& path) {
  bitmap_.Reset();
  bits_ = nullptr;
  width_ = height_ = 0;
  if (!EnsureGdiplus()) return E_FAIL;

  Gdiplus::Bitmap source(path.c_str(), FALSE);
  if (source.GetLastStatus() != Gdiplus::Ok) return E_FAIL;
  const UINT w = source.GetWidth();
  const UINT h = source.GetHeight();
  if (w == 0 || h == 0) return E_FAIL;
  // Formats whose header the route does not read arrive here unmeasured; GDI+
  // has read the header, and the bitmap is not made.
  if (static_cast<uint64_t>(w) * h > kMaxImagePixels) return kTooManyPixels;
  const bool hasAlpha = Gdiplus::IsAlphaPixelFormat(source.GetPixelFormat()) != FALSE;

  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = static_cast<LONG>(w);
  info.bmiHeader.biHeight = -static_cast<LONG>(h);  // top-down, like GDI+'s rows
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  UniqueBitmap dib(CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
  if (!dib || bits == nullptr) return E_OUTOFMEMORY;

  // GDI+ converts straight into the DIB's memory.
  Gdiplus::BitmapData data = {};
  data.Width = w;
  data.Height = h;
  data.Stride = static_cast<INT>(w * 4);
  data.PixelFormat = PixelFormat32bppARGB;
  data.Scan0 = bits;
  Gdiplus::Rect rect(0, 0, static_cast<INT>(w), static_cast<INT>(h));
  if (source.LockBits(&rect, Gdiplus::ImageLockModeRead | Gdiplus::ImageLockModeUserInputBuf, PixelFormat32bppARGB,
                      &data) != Gdiplus::Ok) {
    return E_FAIL;
  }
  (void)source.UnlockBits(&data);  // the pixels are in the DIB either way
  if (hasAlpha) BlendOntoWhite(static_cast<uint8_t*>(bits), static_cast<size_t>(w) * h);

  bitmap_ = std::move(dib);
  bits_ = bits;
  width_ = static_cast<int>(w);
  height_ = static_cast<int>(h);
  return S_OK;
}

bool LabelImage::Draw(HDC dc) const {
  if (!bitmap_) return false;
  if ((GetDeviceCaps(dc, RASTERCAPS) & RC_STRETCHDIB) != 0) {
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width_;
    info.bmiHeader.biHeight = -height_;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    (void)GdiFlush();  // the DIB section's pixels must be complete before they are read directly
    const int lines = StretchDIBits(dc, 0, 0, width_, height_, 0, 0, width_, height_, bits_, &info, DIB_RGB_COLORS,
                                    SRCCOPY);
    // GDI_ERROR or 0 lines: refused. Printer DCs may answer with the count of
    // lines or just nonzero, both of which mean drawn.
    return lines != 0 && lines != static_cast<int>(GDI_ERROR);
  }
  UniqueDC memory(CreateCompatibleDC(dc));
  if (!memory) return false;
  HGDIOBJ previous = SelectObject(memory.Get(), bitmap_.Get());
  if (previous == nullptr || previous == HGDI_ERROR) return false;
  ScopeGuard restore([&] { (void)SelectObject(memory.Get(), previous); });
  return StretchBlt(dc, 0, 0, width_, height_, memory.Get(), 0, 0, width_, height_, SRCCOPY) != FALSE;
}
