// The provisioning pass on the real spooler, bus and store, and the queue template
// from the registry.
#pragma once

#include "usb_service/provisioning/provisioning_runner.h"

#include <string>

// The settings store's own functions, under the name the queue is to bear.
class StoreSettingsWriter final : public SettingsWriter {
 public:
  void SaveConfigBin(const std::string& queueName, const ConfigBlock& block) override;
  void SyncPrinterIni(const std::string& queueName, const ConfigBlock& block) override;
};

// HKEY_LOCAL_MACHINE "SOFTWARE\<service name>", opened or created with full access.
class RegistryQueueTemplate final : public QueueTemplateSource {
 public:
  std::optional<QueueTemplate> ReadQueueTemplate(const std::string& serviceName) override;
};

std::string QueueTemplateKeyPath(const std::string& serviceName);

// One pass for the running service's name; passes from different threads run one
// after the other.
void ProvisionPrinters();
