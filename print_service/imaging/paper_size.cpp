// Paper size arithmetic of the print job.
#include "print_service/imaging/paper_size.h"

PaperSize PaperSizeFor(int printQuality, int64_t widthPixels, int64_t heightPixels) {
  if (printQuality == 300 || printQuality == 306) {
    return PaperSize{widthPixels * 10 / 12, heightPixels * 10 / 12};
  }
  return PaperSize{static_cast<int64_t>(static_cast<double>(widthPixels) * 10.05 / 8.0), heightPixels * 10 / 8};
}

bool FitsDevMode(const PaperSize& size) {
  return size.length >= 0 && size.width >= 0 && size.length <= 32767 && size.width <= 32767;
}
