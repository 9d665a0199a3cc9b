// A decoded image ready to be copied 1:1 onto a printer page (Windows, GDI+ and GDI).
#pragma once

#include "common/unique_owner.h"

#include <string>

class LabelImage {
 public:
  // Decodes any format GDI+ knows (the extension does not matter) into a 32-bit
  // DIB section; an image with alpha is blended onto white, since printer drivers
  // often cannot alpha-blend. E_FAIL when the file holds no image.
  HRESULT Load(const std::wstring& path);
  int width() const { return width_; }
  int height() const { return height_; }
  // Copies the whole bitmap into (0, 0)-(width, height) of dc, unscaled.
  bool Draw(HDC dc) const;

 private:
  UniqueBitmap bitmap_;
  int width_ = 0;
  int height_ = 0;
};
