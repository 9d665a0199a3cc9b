// The service main function's steps, the control handler's table and the worker's
// passes against a recording service manager.
#include "usb_service/service_host/service_host.h"

#include "testing/fake_service_system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

namespace {

using Lines = std::vector<std::string>;
using std::chrono::milliseconds;

// So short that a held pass sees several pending reports.
constexpr milliseconds kFastReports{10};

TEST(ServiceHost, RunsTheStartUpPassBeforeReportingRunningAndStopsOnTheStopControl) {
  RecordingServiceSystem system;
  ServiceHost host(system, std::chrono::seconds(30));  // no progress report can slip in
  system.whileWaiting = [&] {
    host.HandleControl(kControlPause);
    host.HandleControl(kControlContinue);
    system.Note("state " + std::to_string(host.Status().currentState));
    host.HandleControl(kControlDeviceEvent);
    ASSERT_TRUE(system.WaitForPassesFinished(2));
    host.HandleControl(kControlStop);
  };
  // Longer than the 27 characters a fixed buffer would keep.
  const std::string name = "USB Printer Service KELO (second installation)";
  host.ServiceMain({name, "--ignored"});

  EXPECT_EQ(system.Log(), (Lines{"register " + name, "report 2", "notify", "pass", "pass done", "report 4", "wait",
                                 "state 4", "pass", "pass done", "report 3", "signal", "report 1"}));
  EXPECT_EQ(host.ServiceName(), name);
  for (const ServiceStatusRecord& r : system.Reports()) {
    EXPECT_EQ(r.serviceType, 0x10u);
    EXPECT_EQ(r.controlsAccepted, 3u);
    EXPECT_EQ(r.win32ExitCode, 0u);
    EXPECT_EQ(r.serviceSpecificExitCode, 0u);
    const bool pending = r.currentState == kServiceStartPending || r.currentState == kServiceStopPending;
    EXPECT_EQ(r.checkPoint, pending ? 1u : 0u) << "state " << r.currentState;
    EXPECT_EQ(r.waitHint, pending ? kPendingWaitHintMs : 0u) << "state " << r.currentState;
  }
}

TEST(ServiceHost, AFailedRegistrationReportsNothingAndProvisionsNothing) {
  RecordingServiceSystem system;
  system.registers = false;
  ServiceHost host(system);
  host.ServiceMain({});
  EXPECT_EQ(system.Log(), Lines{"register USB Printer Service KELO"}) << "no name given: the default stays";
  EXPECT_EQ(host.Status().currentState, kServiceStopped);
}

// What the handler itself does before it returns; device events only queue a pass.
TEST(ServiceHost, ControlTable) {
  const struct {
    uint32_t control;
    Lines actions;
  } table[] = {
      {kControlStop, {"report 3", "signal"}},
      {kControlPause, {}},
      {kControlContinue, {}},
      {kControlDeviceEvent, {}},  // the pass runs on the worker, see below
      {4, {}},                    // interrogate
      {5, {}},                    // shutdown is not accepted
      {13, {}},                   // power event
      {128, {}},                  // user-defined
      {255, {}},
  };
  for (const auto& row : table) {
    RecordingServiceSystem system;
    ServiceHost host(system);
    host.HandleControl(row.control);
    EXPECT_EQ(system.Log(), row.actions) << "control " << row.control;
  }
}

// The service main function on a thread of its own, as the dispatcher runs it.
class RunningService {
 public:
  explicit RunningService(RecordingServiceSystem& system, milliseconds reports = kFastReports)
      : host(system, reports), thread_([this] { host.ServiceMain({"Kelo Test Service"}); }) {}
  ~RunningService() {
    if (thread_.joinable()) thread_.join();
  }
  void Join() { thread_.join(); }

  // The handler's own time for one control.
  milliseconds Control(uint32_t control) {
    const auto start = std::chrono::steady_clock::now();
    host.HandleControl(control);
    return std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start);
  }

  ServiceHost host;

 private:
  std::thread thread_;
};

std::vector<ServiceStatusRecord> ReportsOf(RecordingServiceSystem& system, uint32_t state) {
  std::vector<ServiceStatusRecord> out;
  for (const ServiceStatusRecord& r : system.Reports()) {
    if (r.currentState == state) out.push_back(r);
  }
  return out;
}

void ExpectRisingCheckpoints(const std::vector<ServiceStatusRecord>& reports, const char* what) {
  ASSERT_GE(reports.size(), 3u) << what << ": a held pass sees several reports";
  for (size_t i = 0; i < reports.size(); ++i) {
    EXPECT_EQ(reports[i].checkPoint, i + 1) << what << " report " << i;
    EXPECT_EQ(reports[i].waitHint, kPendingWaitHintMs) << what << " report " << i;
  }
}

TEST(ServiceHost, TheStartUpPassReportsRisingCheckpointsUntilRunning) {
  RecordingServiceSystem system;
  system.holdPasses = true;
  RunningService service(system);
  ASSERT_TRUE(system.WaitForPassesStarted(1));
  ASSERT_TRUE(system.WaitForReport(kServiceStartPending, 4));
  EXPECT_TRUE(ReportsOf(system, kServiceRunning).empty()) << "RUNNING before the start-up pass ended";
  system.Release();
  ASSERT_TRUE(system.WaitForReport(kServiceRunning));

  const Lines log = system.Log();
  const auto running = std::find(log.begin(), log.end(), "report 4");
  const auto passDone = std::find(log.begin(), log.end(), "pass done");
  EXPECT_LT(passDone - log.begin(), running - log.begin());
  ExpectRisingCheckpoints(ReportsOf(system, kServiceStartPending), "START_PENDING");
  const ServiceStatusRecord last = system.Reports().back();
  EXPECT_EQ(last.currentState, kServiceRunning);
  EXPECT_EQ(last.checkPoint, 0u);
  EXPECT_EQ(last.waitHint, 0u);

  service.Control(kControlStop);
  service.Join();
  EXPECT_EQ(system.Reports().back().currentState, kServiceStopped);
}

TEST(ServiceHost, TheHandlerReturnsAtOnceWhileAPassHangsAndStopWaitsForThatPassOnly) {
  RecordingServiceSystem system;
  system.holdPasses = true;
  RunningService service(system);
  ASSERT_TRUE(system.WaitForPassesStarted(1));
  system.Release();  // the start-up pass
  ASSERT_TRUE(system.WaitForReport(kServiceRunning));

  EXPECT_LT(service.Control(kControlDeviceEvent).count(), 100);
  ASSERT_TRUE(system.WaitForPassesStarted(2));  // held from here on
  EXPECT_LT(service.Control(kControlDeviceEvent).count(), 100);
  EXPECT_LT(service.Control(kControlDeviceEvent).count(), 100);
  EXPECT_LT(service.Control(kControlStop).count(), 100) << "the stop must not wait for the pass";
  EXPECT_EQ(system.Reports().back().currentState, kServiceStopPending);

  ASSERT_TRUE(system.WaitForReport(kServiceStopPending, 4));
  EXPECT_TRUE(ReportsOf(system, kServiceStopped).empty()) << "STOPPED while the pass still runs";
  system.Release();
  service.Join();

  ExpectRisingCheckpoints(ReportsOf(system, kServiceStopPending), "STOP_PENDING");
  const ServiceStatusRecord last = system.Reports().back();
  EXPECT_EQ(last.currentState, kServiceStopped);
  EXPECT_EQ(last.checkPoint, 0u);
  EXPECT_EQ(system.PassesStarted(), 2) << "the two events queued behind the held pass are dropped";
  const Lines log = system.Log();
  EXPECT_EQ(log.back(), "report 1");
  const auto secondPassDone = std::find(std::find(log.begin(), log.end(), "pass done") + 1, log.end(), "pass done");
  EXPECT_LT(secondPassDone - log.begin(), std::find(log.begin(), log.end(), "report 1") - log.begin());
}

TEST(ServiceHost, AStopDuringTheStartUpPassNeverReportsRunning) {
  RecordingServiceSystem system;
  system.holdPasses = true;
  RunningService service(system);
  ASSERT_TRUE(system.WaitForPassesStarted(1));
  EXPECT_LT(service.Control(kControlStop).count(), 100);
  service.Control(kControlDeviceEvent);  // too late: dropped
  std::this_thread::sleep_for(kFastReports * 5);
  system.Release();
  service.Join();
  EXPECT_TRUE(ReportsOf(system, kServiceRunning).empty());
  EXPECT_EQ(system.Reports().back().currentState, kServiceStopped);
  EXPECT_EQ(system.PassesStarted(), 1);
}

TEST(ServiceHost, DeviceEventsGetOnePassEachInTurnAndFoldBeyondTheBound) {
  RecordingServiceSystem system;
  system.holdPasses = true;
  RunningService service(system);
  ASSERT_TRUE(system.WaitForPassesStarted(1));
  system.Release();
  ASSERT_TRUE(system.WaitForReport(kServiceRunning));

  service.Control(kControlDeviceEvent);
  ASSERT_TRUE(system.WaitForPassesStarted(2));
  // The pass of the first event holds; these wait behind it, the last ones beyond the bound.
  for (uint32_t i = 0; i < kMaxPendingDeviceEvents + 5; ++i) service.Control(kControlDeviceEvent);
  const int expected = 2 + static_cast<int>(kMaxPendingDeviceEvents);
  for (int pass = 2; pass <= expected; ++pass) {
    ASSERT_TRUE(system.WaitForPassesStarted(pass));
    system.Release();
  }
  ASSERT_TRUE(system.WaitForPassesFinished(expected));
  std::this_thread::sleep_for(kFastReports * 5);
  EXPECT_EQ(system.PassesStarted(), expected) << "one pass per event up to the bound, no more";
  EXPECT_EQ(system.MostPassesAtOnce(), 1);

  // Each pass begins only once the one before it has ended.
  const Lines log = system.Log();
  std::string previous;
  for (const std::string& line : log) {
    if (line == "pass") {
      EXPECT_NE(previous, "pass") << "two passes at once";
    }
    if (line == "pass" || line == "pass done") previous = line;
  }

  service.Control(kControlDeviceEvent);  // under the bound again: a pass of its own
  ASSERT_TRUE(system.WaitForPassesStarted(expected + 1));
  system.Release();
  service.Control(kControlStop);
  service.Join();
}

}  // namespace
