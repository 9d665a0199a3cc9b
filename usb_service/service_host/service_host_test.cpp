// The service main function's steps and the control handler's table against a
// recording service manager.
#include "usb_service/service_host/service_host.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using Lines = std::vector<std::string>;

class RecordingSystem final : public ServiceSystem {
 public:
  Lines log;
  std::vector<ServiceStatusRecord> reports;
  bool registers = true;
  std::function<void()> whileWaiting;  // controls that arrive while the service runs

  bool RegisterControlHandler(const std::string& name) override {
    log.push_back("register " + name);
    return registers;
  }
  void RegisterDeviceNotification() override { log.push_back("notify"); }
  void ReportStatus(const ServiceStatusRecord& status) override {
    log.push_back("report " + std::to_string(status.currentState));
    reports.push_back(status);
  }
  void WaitForExit() override {
    log.push_back("wait");
    if (whileWaiting) whileWaiting();
  }
  void SignalExit() override { log.push_back("signal"); }
  void RunProvisioningPass() override { log.push_back("pass"); }
};

TEST(ServiceHost, RunsTheStartUpPassBeforeReportingRunningAndStopsOnTheStopControl) {
  RecordingSystem system;
  ServiceHost host(system);
  system.whileWaiting = [&] {
    host.HandleControl(kControlPause);
    host.HandleControl(kControlContinue);
    system.log.push_back("state " + std::to_string(host.Status().currentState));
    host.HandleControl(kControlDeviceEvent);
    host.HandleControl(kControlStop);
  };
  // Longer than the 27 characters a fixed buffer would keep.
  const std::string name = "USB Printer Service KELO (second installation)";
  host.ServiceMain({name, "--ignored"});

  EXPECT_EQ(system.log, (Lines{"register " + name, "notify", "pass", "report 4", "wait", "state 4", "pass",
                               "report 3", "signal", "report 1"}));
  EXPECT_EQ(host.ServiceName(), name);
  for (const ServiceStatusRecord& r : system.reports) {
    EXPECT_EQ(r.serviceType, 0x10u);
    EXPECT_EQ(r.controlsAccepted, 3u);
    EXPECT_EQ(r.win32ExitCode, 0u);
    EXPECT_EQ(r.serviceSpecificExitCode, 0u);
    EXPECT_EQ(r.checkPoint, 0u);
    EXPECT_EQ(r.waitHint, 0u);
  }
}

TEST(ServiceHost, AFailedRegistrationReportsNothingAndProvisionsNothing) {
  RecordingSystem system;
  system.registers = false;
  ServiceHost host(system);
  host.ServiceMain({});
  EXPECT_EQ(system.log, Lines{"register USB Printer Service KELO"}) << "no name given: the default stays";
  EXPECT_EQ(host.Status().currentState, kServiceStopped);
}

TEST(ServiceHost, ControlTable) {
  const struct {
    uint32_t control;
    Lines actions;
  } table[] = {
      {kControlStop, {"report 3", "signal"}},
      {kControlPause, {}},
      {kControlContinue, {}},
      {kControlDeviceEvent, {"pass"}},  // each event of the class: one full pass
      {4, {}},                          // interrogate
      {5, {}},                          // shutdown is not accepted
      {13, {}},                         // power event
      {128, {}},                        // user-defined
      {255, {}},
  };
  for (const auto& row : table) {
    RecordingSystem system;
    ServiceHost host(system);
    host.HandleControl(row.control);
    EXPECT_EQ(system.log, row.actions) << "control " << row.control;
  }
}

}  // namespace
