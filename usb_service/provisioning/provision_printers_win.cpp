// Wires the provisioning pass to winspool, setupapi, the settings store and the
// registry's queue template.
#include "usb_service/provisioning/provision_printers_win.h"

#include "common/unique_owner_win.h"
#include "usb_service/provisioning/settings_writer_win.h"

#include <mutex>
#include "usb_service/provisioning/spooler_queues_win.h"
#include "usb_service/provisioning/usb_printer_bus_win.h"
#include "usb_service/service_host/service_main_win.h"

namespace {

// A value of at most 255 bytes; missing, of another type or too long: empty.
std::string ReadTemplateValue(HKEY key, const char* name) {
  char buffer[256] = {};
  DWORD size = sizeof(buffer) - 1;
  DWORD type = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ)) {
    return std::string();
  }
  return std::string(buffer, strnlen(buffer, sizeof(buffer) - 1));
}

}  // namespace

void StoreSettingsWriter::SaveConfigBin(const std::string& queueName, const ConfigBlock& block) {
  refusals_ = ::SaveConfigBin(queueName.c_str(), block);
  refusedQueue_ = queueName;
}

void StoreSettingsWriter::SyncPrinterIni(const std::string& queueName, const ConfigBlock& block) {
  std::vector<std::string> earlier;
  earlier.swap(passNotes_);
  if (queueName == refusedQueue_) earlier.insert(earlier.end(), refusals_.begin(), refusals_.end());
  refusals_.clear();
  ::SyncPrinterIni(queueName.c_str(), block, earlier);
}

std::string QueueTemplateKeyPath(const std::string& serviceName) { return "SOFTWARE\\" + serviceName; }

std::optional<QueueTemplate> RegistryQueueTemplate::ReadQueueTemplate(const std::string& serviceName) {
  UniqueRegKey key;
  DWORD dwDisposition = 0;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, QueueTemplateKeyPath(serviceName).c_str(), 0, nullptr,
                      REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, key.Put(), &dwDisposition) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  QueueTemplate t;
  t.printerName = ReadTemplateValue(key.Get(), "PrinterName");
  t.driverName = ReadTemplateValue(key.Get(), "DriverName");
  t.printerPort = ReadTemplateValue(key.Get(), "PrinterPort");
  return t;
}

void ProvisionPrinters() {
  static ProvisioningRunner runner;  // the process's one lock and template
  static std::mutex securing;        // two passes must not both replace the directory
  std::vector<std::string> notes;
  {
    // Every pass, printers or not: a directory the installer created gets the
    // store's list, one a user created is replaced, before anyone can plant a
    // link in it.
    std::lock_guard<std::mutex> lock(securing);
    notes = SecureConfiguredDataDirectory();
  }
  UsbPrinterBus bus;
  SpoolerQueues spooler;
  StoreSettingsWriter settings(std::move(notes));
  RegistryQueueTemplate source;
  ProvisioningPorts ports{bus, spooler, spooler, settings};
  runner.RunPass(ports, source, CurrentServiceName());
}
