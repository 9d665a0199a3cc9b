// A queue's resolution, page size and print quality from its driver (Windows only).
#pragma once

#include "print_service/printers/get_printer_resolution.h"

class SpoolerPrinterDevice final : public PrinterDevice {
 public:
  DeviceLookup Query(const std::string& printName, DeviceValues& values) override;
};
