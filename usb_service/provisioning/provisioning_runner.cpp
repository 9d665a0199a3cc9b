// One provisioning pass at a time per process.
#include "usb_service/provisioning/provisioning_runner.h"

void ProvisioningRunner::RunPass(ProvisioningPorts& ports, QueueTemplateSource& source,
                                 const std::string& serviceName) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (std::optional<QueueTemplate> read = source.ReadQueueTemplate(serviceName)) template_ = std::move(*read);
  ProvisionPrintersWith(ports, template_);
}
