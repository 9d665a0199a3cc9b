// The custom paper of a label: its size from the image's pixels and the driver's quality.
#pragma once

#include <cstdint>

// Tenths of a millimetre; wide enough for any image size, checked before it goes
// into the 16-bit DEVMODE members.
struct PaperSize {
  int64_t length;
  int64_t width;
};

// Quality 300 or 306: twelve dots per millimetre; any other: eight, with 0.5 %
// added to the length.
PaperSize PaperSizeFor(int printQuality, int64_t widthPixels, int64_t heightPixels);

// Both dimensions fit DEVMODE's signed 16-bit paper members.
bool FitsDevMode(const PaperSize& size);
