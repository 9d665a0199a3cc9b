// A decoded image ready to be copied 1:1 onto a printer page (Windows, GDI+ and GDI).
#pragma once

#include "common/unique_owner_win.h"

#include <string>

// Load's result for an image whose bitmap would exceed the pixel bound.
inline const HRESULT kTooManyPixels = HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE);

class LabelImage {
 public:
  // Decodes any format GDI+ knows (the extension does not matter) into a 32-bit
  // DIB section; an image with alpha is blended onto white, since printer drivers
  // often cannot alpha-blend. E_FAIL when the file holds no image.
  HRESULT Load(const std::wstring& path);
  int width() const { return width_; }
  int height() const { return height_; }
  // Copies the whole bitmap into (0, 0)-(width, height) of dc, unscaled:
  // StretchDIBits where the driver takes it (RC_STRETCHDIB), else StretchBlt
  // from a memory DC. False when the driver refused the bits.
  bool Draw(HDC dc) const;

 private:
  UniqueBitmap bitmap_;
  void* bits_ = nullptr;  // the DIB section's pixels, owned by bitmap_
  int width_ = 0;
  int height_ = 0;
};
