// Default resolution and media of a CUPS destination, as a printer DC would give them.
#include "linux_agent/printers/cups_printer_device_cups.h"

#include "linux_agent/printers/cups_destinations_cups.h"

#include <cmath>

namespace {

// Hundredths of a millimetre to dots.
int Dots(int hundredthsOfMm, int dpi) { return static_cast<int>(std::lround(hundredthsOfMm * static_cast<double>(dpi) / 2540.0)); }

// The default media's size in hundredths of a millimetre: the user's own
// default ("media" in their options) when they chose one, else the queue's
// media-col-default. CUPS's own default lookup does not know the names it gives
// a PPD's custom label sizes and answers Letter for them.
bool DefaultMediaSize(http_t* http, cups_dest_t* dest, cups_dinfo_t* info, int& width, int& length) {
  if (const char* chosen = cupsGetOption("media", dest->num_options, dest->options)) {
    cups_size_t size = {};
    if (cupsGetDestMediaByName(http, dest, info, chosen, CUPS_MEDIA_FLAGS_DEFAULT, &size) != 0) {
      width = size.width;
      length = size.length;
      return true;
    }
  }
  ipp_attribute_t* col = cupsFindDestDefault(http, dest, info, "media-col");
  ipp_t* media = col != nullptr ? ippGetCollection(col, 0) : nullptr;
  ipp_attribute_t* sizeAttr = media != nullptr ? ippFindAttribute(media, "media-size", IPP_TAG_BEGIN_COLLECTION) : nullptr;
  ipp_t* size = sizeAttr != nullptr ? ippGetCollection(sizeAttr, 0) : nullptr;
  ipp_attribute_t* x = size != nullptr ? ippFindAttribute(size, "x-dimension", IPP_TAG_INTEGER) : nullptr;
  ipp_attribute_t* y = size != nullptr ? ippFindAttribute(size, "y-dimension", IPP_TAG_INTEGER) : nullptr;
  if (x == nullptr || y == nullptr) return false;
  width = ippGetInteger(x, 0);
  length = ippGetInteger(y, 0);
  return width > 0 && length > 0;
}

}  // namespace

DeviceLookup CupsPrinterDevice::Query(const std::string& printName, DeviceValues& values) {
  OpenedQueue queue;
  switch (OpenQueue(printName, queue)) {
    case QueueOpening::kOk: break;
    case QueueOpening::kNotListed:
    case QueueOpening::kUnreachable: return DeviceLookup::kPrinterUnavailable;
    case QueueOpening::kNoSettings: return DeviceLookup::kDeviceUnavailable;
  }
  values.xDpi = queue.xDpi;
  values.yDpi = queue.yDpi;
  values.printQuality = queue.xDpi;
  int width = 0;
  int length = 0;
  if (DefaultMediaSize(queue.http.get(), queue.dest, queue.info.get(), width, length)) {
    values.physicalWidth = Dots(width, queue.xDpi);
    values.physicalHeight = Dots(length, queue.yDpi);
  } else {
    values.physicalWidth = values.physicalHeight = 0;  // a queue without default media
  }
  return DeviceLookup::kOk;
}
