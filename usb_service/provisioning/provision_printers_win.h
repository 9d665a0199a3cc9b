// The provisioning pass on the real spooler, bus and store, and the queue template
// from the registry.
#pragma once

#include "usb_service/provisioning/provisioning_runner.h"

#include <string>
#include <vector>

// The settings store's own functions, under the name the queue is to bear. What
// the configuration copy refused goes into the sync log of the same queue; what
// securing the directory at the pass's start did, into the pass's first record.
class StoreSettingsWriter final : public SettingsWriter {
 public:
  explicit StoreSettingsWriter(std::vector<std::string> passNotes = {}) : passNotes_(std::move(passNotes)) {}
  void SaveConfigBin(const std::string& queueName, const ConfigBlock& block) override;
  void SyncPrinterIni(const std::string& queueName, const ConfigBlock& block) override;

 private:
  std::string refusedQueue_;
  std::vector<std::string> refusals_;
  std::vector<std::string> passNotes_;
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
