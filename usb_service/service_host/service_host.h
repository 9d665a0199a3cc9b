// The service's life as the service control manager sees it: the service main
// function's steps and the control handler's table, over a small port so that both
// run against a fake as well as against the real service control manager.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
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

// A SERVICE_STATUS in portable terms; only the current state ever changes.
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

class ServiceHost {
 public:
  explicit ServiceHost(ServiceSystem& system) : system_(system) {}

  // Back to the stopped record before the dispatcher starts.
  void Reset();
  // The service main function: returns once the service has stopped, or at once
  // when the handler cannot be registered (then nothing is ever reported).
  void ServiceMain(const std::vector<std::string>& arguments);
  // The extended control handler; the caller answers NO_ERROR whatever it did.
  void HandleControl(uint32_t control);

  // The name the service was started under, kept whole.
  std::string ServiceName() const;
  ServiceStatusRecord Status() const;

 private:
  void Report(uint32_t state);

  ServiceSystem& system_;
  mutable std::mutex nameMutex_;
  std::string serviceName_ = kDefaultServiceName;
  // Shared by the service thread and the handler on the dispatcher's thread.
  std::atomic<uint32_t> currentState_{kServiceStopped};
};
