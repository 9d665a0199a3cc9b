// The maker's label printers on the USB bus: interface enumeration through the
// device setup functions and the configuration read through the device path.
#pragma once

#include "common/unique_owner_win.h"
#include "usb_service/provisioning/provisioning.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Without an answer within this time a read counts as nothing read.
inline constexpr uint32_t kConfigReadTimeoutMs = 2000;

// One overlapped read of a configuration block and what it reads into.
struct PendingRead {
  OVERLAPPED overlapped{};
  uint8_t buffer[sizeof(ConfigBlock::bytes)]{};
  UniqueHandle event;  // manual reset; set when the read comes back, cancelled or not

  bool Completed() const;
};

// Reads whose cancel did not come back: a driver that ignores the cancel can still
// complete into their buffer and event, so they are never freed while pending. At
// most one per device path: while it is pending no new read of that path is issued,
// so a printer that hangs costs one record however many passes read it.
class ParkedReads {
 public:
  static ParkedReads& Process();

  // True while the path's parked read is still pending; frees every one that has completed.
  bool Pending(const std::string& devicePath);
  void Park(const std::string& devicePath, std::unique_ptr<PendingRead> read);
  size_t Count();

 private:
  void FreeCompletedLocked();

  std::mutex mutex_;
  std::map<std::string, std::unique_ptr<PendingRead>> reads_;
};

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
  ConfigBlock GetPrinterConfig(const std::string& devicePath) override;  // the block of ReadPrinterConfig
  // No answer in time, or a parked read of the path still pending: timed out.
  ConfigRead ReadPrinterConfig(const std::string& devicePath) override;

 private:
  uint32_t readTimeoutMs_;
};
