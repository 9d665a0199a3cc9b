// The service's life as the service control manager sees it: the service main
// function's steps and the control handler's table, over a small port so that both
// run against a fake as well as against the real service control manager.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

inline constexpr char kDefaultServiceName[] = "USB Printer Service KELO";

inline constexpr uint32_t kServiceWin32OwnProcess = 0x10;
inline constexpr uint32_t kAcceptStopPauseContinue = 0x1 | 0x2;  // neither shutdown nor power

enum ServiceState : uint32_t {
  kServiceStopped = 1,
  kServiceStartPending = 2,
  kServiceStopPending = 3,
  kServiceRunning = 4,
};

enum ServiceControl : uint32_t {
  kControlStop = 1,
  kControlPause = 2,
  kControlContinue = 3,
  kControlDeviceEvent = 11,
};

// Device events whose passes wait while one runs. Two events (arrival, removal) for
// each of the 16 interfaces the enumeration looks at: replugging a full hub still
// gets one pass per event. Beyond that an event folds into the passes already
// queued, which resync everything anyway.
inline constexpr uint32_t kMaxPendingDeviceEvents = 32;

// While a pass holds the start or the stop, a pending report every second; the
// hint gives a watcher three missed reports before it may think the service hung.
inline constexpr std::chrono::milliseconds kPendingReportInterval{1000};
inline constexpr uint32_t kPendingWaitHintMs = 3000;

// A SERVICE_STATUS in portable terms; checkpoint and wait hint move only while pending.
struct ServiceStatusRecord {
  uint32_t serviceType = kServiceWin32OwnProcess;
  uint32_t currentState = kServiceStopped;
  uint32_t controlsAccepted = kAcceptStopPauseContinue;
  uint32_t win32ExitCode = 0;
  uint32_t serviceSpecificExitCode = 0;
  uint32_t checkPoint = 0;
  uint32_t waitHint = 0;
};

struct ServiceSystem {
  virtual ~ServiceSystem() = default;
  // Looks the registration function up and registers the handler; false when either fails.
  virtual bool RegisterControlHandler(const std::string& serviceName) = 0;
  virtual void RegisterDeviceNotification() = 0;  // failure only loses the device-event passes
  virtual void ReportStatus(const ServiceStatusRecord& status) = 0;
  virtual void WaitForExit() = 0;
  virtual void SignalExit() = 0;
  virtual void RunProvisioningPass() = 0;
};

// Passes run on a worker thread of the host, the start-up pass first and then one
// per device event in arrival order, never two at once; the control handler only
// queues them and returns. The service thread reports progress while a pass holds
// the start or the stop.
class ServiceHost {
 public:
  explicit ServiceHost(ServiceSystem& system,
                       std::chrono::milliseconds pendingReportInterval = kPendingReportInterval)
      : system_(system), reportInterval_(pendingReportInterval) {}
  ~ServiceHost();  // ends and joins a worker that ServiceMain left behind

  ServiceHost(const ServiceHost&) = delete;
  ServiceHost& operator=(const ServiceHost&) = delete;

  // Back to the stopped record before the dispatcher starts.
  void Reset();
  // The service main function: returns once the service has stopped and the worker
  // has ended, or at once when the handler cannot be registered (then nothing is
  // ever reported).
  void ServiceMain(const std::vector<std::string>& arguments);
  // The extended control handler; it never waits for a pass. The caller answers
  // NO_ERROR whatever it did.
  void HandleControl(uint32_t control);

  // The name the service was started under, kept whole.
  std::string ServiceName() const;
  ServiceStatusRecord Status() const;

 private:
  ServiceStatusRecord RecordLocked() const;
  void Report(uint32_t state);
  // Reports `to` only while the state is still `from`; from == to is the next
  // checkpoint of a pending state.
  bool ReportIf(uint32_t from, uint32_t to);
  void RunPasses();
  void StopWorker();

  ServiceSystem& system_;
  const std::chrono::milliseconds reportInterval_;
  mutable std::mutex nameMutex_;
  std::string serviceName_ = kDefaultServiceName;

  // The record and its reports, from the service thread and the dispatcher's thread;
  // held across the report so that reports leave in the order of the changes.
  mutable std::mutex statusMutex_;
  uint32_t currentState_ = kServiceStopped;
  uint32_t checkPoint_ = 0;

  std::mutex passMutex_;
  std::condition_variable passChanged_;
  uint32_t pendingEvents_ = 0;  // device events not yet started, at most kMaxPendingDeviceEvents
  bool startUpDone_ = false;
  bool passRunning_ = false;
  bool stopping_ = false;  // queued events are dropped; the worker ends after its pass
  bool inlinePasses_ = false;  // no worker could be started
  std::thread worker_;
};
