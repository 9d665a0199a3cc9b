// Runs provisioning passes one at a time, with the queue template read afresh for
// each and kept from the last pass that could read it.
#pragma once

#include "usb_service/provisioning/provisioning.h"

#include <mutex>
#include <optional>
#include <string>

struct QueueTemplateSource {
  virtual ~QueueTemplateSource() = default;
  // nullopt when the service's key cannot be opened; a missing value is an empty string.
  virtual std::optional<QueueTemplate> ReadQueueTemplate(const std::string& serviceName) = 0;
};

class ProvisioningRunner {
 public:
  // A pass asked for while another runs (start-up pass and device events come on
  // different threads) waits for it and then runs in full.
  void RunPass(ProvisioningPorts& ports, QueueTemplateSource& source, const std::string& serviceName);

 private:
  std::mutex mutex_;
  QueueTemplate template_;  // empty before the first pass
};
