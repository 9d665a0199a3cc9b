// A queue's resolution and default media from CUPS.
#pragma once

#include "print_service/printers/get_printer_resolution.h"

class CupsPrinterDevice final : public PrinterDevice {
 public:
  // kPrinterUnavailable for a name CUPS does not list or a server that cannot
  // be reached; kDeviceUnavailable when the queue names no default resolution.
  DeviceLookup Query(const std::string& printName, DeviceValues& values) override;
};
