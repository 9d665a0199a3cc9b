// The device values of a listed queue through winspool and a printer DC.
#include "print_service/printers/spooler_printer_device_win.h"

#include "common/unique_owner_win.h"
#include "print_service/printers/queue_lookup_win.h"
#include "print_service/printers/queue_settings_win.h"

#include <winspool.h>

DeviceLookup SpoolerPrinterDevice::Query(const std::string& printName, DeviceValues& values) {
  // Only a listed queue reaches the spooler: see OpenableQueue.
  std::optional<std::wstring> openable = OpenableQueue(printName);
  if (!openable) return DeviceLookup::kPrinterUnavailable;
  std::wstring wideName = std::move(*openable);
  UniquePrinter hPrinter;
  if (!OpenPrinterW(wideName.data(), hPrinter.Put(), nullptr)) return DeviceLookup::kPrinterUnavailable;

  // Without a settings block the device context is made from the driver's defaults.
  QueueDevMode settings(hPrinter.Get(), wideName);
  DEVMODEW* devMode = settings.Get();

  UniqueDC dc(CreateDCW(nullptr, wideName.c_str(), nullptr, devMode));
  if (!dc) return DeviceLookup::kDeviceUnavailable;
  values.xDpi = GetDeviceCaps(dc.Get(), LOGPIXELSX);
  values.yDpi = GetDeviceCaps(dc.Get(), LOGPIXELSY);
  values.physicalWidth = GetDeviceCaps(dc.Get(), PHYSICALWIDTH);
  values.physicalHeight = GetDeviceCaps(dc.Get(), PHYSICALHEIGHT);
  values.printQuality = devMode != nullptr ? devMode->dmPrintQuality : 0;
  return DeviceLookup::kOk;
}
