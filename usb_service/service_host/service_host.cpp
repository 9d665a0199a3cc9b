// The service main function's steps and the control handler's table.
#include "usb_service/service_host/service_host.h"

void ServiceHost::Reset() { currentState_ = kServiceStopped; }

std::string ServiceHost::ServiceName() const {
  std::lock_guard<std::mutex> lock(nameMutex_);
  return serviceName_;
}

ServiceStatusRecord ServiceHost::Status() const {
  ServiceStatusRecord status;
  status.currentState = currentState_;
  return status;
}

void ServiceHost::Report(uint32_t state) {
  currentState_ = state;
  system_.ReportStatus(Status());
}

void ServiceHost::ServiceMain(const std::vector<std::string>& arguments) {
  if (!arguments.empty()) {
    std::lock_guard<std::mutex> lock(nameMutex_);
    serviceName_ = arguments.front();
  }
  if (!system_.RegisterControlHandler(ServiceName())) return;
  // Reported only after the start-up pass: until then the service is starting.
  currentState_ = kServiceRunning;
  system_.RegisterDeviceNotification();
  system_.RunProvisioningPass();
  system_.ReportStatus(Status());
  system_.WaitForExit();
  Report(kServiceStopped);
}

void ServiceHost::HandleControl(uint32_t control) {
  switch (control) {
    case kControlStop:
      // Reported before the event is signalled, so STOPPED can never come first.
      Report(kServiceStopPending);
      system_.SignalExit();
      break;
    case kControlDeviceEvent:
      // Arrival, removal or any other event of the class: one full pass.
      system_.RunProvisioningPass();
      break;
    default:
      // Pause and continue are accepted and change nothing.
      break;
  }
}
