// The maker's label printers on the USB bus: interface enumeration through the
// device setup functions and the configuration read through the device path.
#pragma once

#include "common/unique_owner_win.h"
#include "usb_service/provisioning/provisioning.h"

#include <string>
#include <vector>

// Without an answer within this time a read counts as nothing read.
inline constexpr uint32_t kConfigReadTimeoutMs = 2000;

// The interface paths of the class that are present, in enumeration order, at
// most 16; a failed detail fetch ends the list.
std::vector<std::string> EnumUsbPrinterInterfaces();

// Read and write access, shared; overlapped so that a read can be given up.
UniqueFile OpenUsbPort(const std::string& devicePath);

class UsbPrinterBus final : public PrinterBus {
 public:
  explicit UsbPrinterBus(uint32_t readTimeoutMs = kConfigReadTimeoutMs) : readTimeoutMs_(readTimeoutMs) {}

  std::vector<std::string> CollectPrinterPaths() override;  // a fresh enumeration each time
  int GetPrinterNum() override;                            // likewise
  ConfigBlock GetPrinterConfig(const std::string& devicePath) override;

 private:
  uint32_t readTimeoutMs_;
};
