// The service main function's steps, the control handler's table and the worker
// that runs the passes.
#include "usb_service/service_host/service_host.h"

#include <system_error>

namespace {

bool IsPending(uint32_t state) { return state == kServiceStartPending || state == kServiceStopPending; }

}  // namespace

ServiceHost::~ServiceHost() { StopWorker(); }

void ServiceHost::Reset() {
  StopWorker();
  {
    std::lock_guard<std::mutex> lock(statusMutex_);
    currentState_ = kServiceStopped;
    checkPoint_ = 0;
  }
  std::lock_guard<std::mutex> lock(passMutex_);
  pendingEvents_ = 0;
  startUpDone_ = false;
  passRunning_ = false;
  stopping_ = false;
  inlinePasses_ = false;
}

std::string ServiceHost::ServiceName() const {
  std::lock_guard<std::mutex> lock(nameMutex_);
  return serviceName_;
}

ServiceStatusRecord ServiceHost::RecordLocked() const {
  ServiceStatusRecord status;
  status.currentState = currentState_;
  status.checkPoint = checkPoint_;
  status.waitHint = IsPending(currentState_) ? kPendingWaitHintMs : 0;
  return status;
}

ServiceStatusRecord ServiceHost::Status() const {
  std::lock_guard<std::mutex> lock(statusMutex_);
  return RecordLocked();
}

void ServiceHost::Report(uint32_t state) {
  std::lock_guard<std::mutex> lock(statusMutex_);
  currentState_ = state;
  checkPoint_ = IsPending(state) ? 1 : 0;
  system_.ReportStatus(RecordLocked());
}

bool ServiceHost::ReportIf(uint32_t from, uint32_t to) {
  std::lock_guard<std::mutex> lock(statusMutex_);
  if (currentState_ != from) return false;
  if (from == to) {
    ++checkPoint_;  // still pending: the next step of progress
  } else {
    currentState_ = to;
    checkPoint_ = IsPending(to) ? 1 : 0;
  }
  system_.ReportStatus(RecordLocked());
  return true;
}

void ServiceHost::ServiceMain(const std::vector<std::string>& arguments) {
  if (!arguments.empty()) {
    std::lock_guard<std::mutex> lock(nameMutex_);
    serviceName_ = arguments.front();
  }
  if (!system_.RegisterControlHandler(ServiceName())) return;
  Report(kServiceStartPending);
  system_.RegisterDeviceNotification();  // events from here on wait in the queue
  try {
    worker_ = std::thread([this] { RunPasses(); });
  } catch (const std::system_error&) {
    // No thread to be had: each pass runs on the thread that asks for it.
    {
      std::lock_guard<std::mutex> lock(passMutex_);
      inlinePasses_ = true;
    }
    system_.RunProvisioningPass();
    (void)ReportIf(kServiceStartPending, kServiceRunning);
    system_.WaitForExit();
    Report(kServiceStopped);
    return;
  }

  {
    std::unique_lock<std::mutex> lock(passMutex_);
    while (!passChanged_.wait_for(lock, reportInterval_, [this] { return startUpDone_ || stopping_; })) {
      lock.unlock();
      (void)ReportIf(kServiceStartPending, kServiceStartPending);
      lock.lock();
    }
  }
  // A stop that came during the start-up pass has already reported STOP_PENDING.
  (void)ReportIf(kServiceStartPending, kServiceRunning);
  system_.WaitForExit();

  {
    std::unique_lock<std::mutex> lock(passMutex_);
    stopping_ = true;
    pendingEvents_ = 0;
    passChanged_.notify_all();
    while (!passChanged_.wait_for(lock, reportInterval_, [this] { return !passRunning_; })) {
      lock.unlock();
      (void)ReportIf(kServiceStopPending, kServiceStopPending);
      lock.lock();
    }
  }
  worker_.join();
  Report(kServiceStopped);
}

void ServiceHost::RunPasses() {
  std::unique_lock<std::mutex> lock(passMutex_);
  if (!stopping_) {
    passRunning_ = true;
    lock.unlock();
    system_.RunProvisioningPass();  // the start-up pass
    lock.lock();
    passRunning_ = false;
  }
  startUpDone_ = true;
  passChanged_.notify_all();
  for (;;) {
    passChanged_.wait(lock, [this] { return stopping_ || pendingEvents_ > 0; });
    if (stopping_) return;
    --pendingEvents_;
    passRunning_ = true;
    lock.unlock();
    system_.RunProvisioningPass();
    lock.lock();
    passRunning_ = false;
    passChanged_.notify_all();
  }
}

void ServiceHost::StopWorker() {
  {
    std::lock_guard<std::mutex> lock(passMutex_);
    stopping_ = true;
    pendingEvents_ = 0;
  }
  passChanged_.notify_all();
  if (worker_.joinable()) worker_.join();
}

void ServiceHost::HandleControl(uint32_t control) {
  switch (control) {
    case kControlStop: {
      // Reported before the event is signalled, so STOPPED can never come first.
      Report(kServiceStopPending);
      {
        std::lock_guard<std::mutex> lock(passMutex_);
        stopping_ = true;  // events not yet started are dropped
        pendingEvents_ = 0;
      }
      passChanged_.notify_all();
      system_.SignalExit();
      break;
    }
    case kControlDeviceEvent: {
      // Arrival, removal or any other event of the class: one full pass, on the worker.
      std::unique_lock<std::mutex> lock(passMutex_);
      if (stopping_) break;
      if (inlinePasses_) {
        lock.unlock();
        system_.RunProvisioningPass();  // no worker: the fallback of ServiceMain
        break;
      }
      if (pendingEvents_ < kMaxPendingDeviceEvents) ++pendingEvents_;
      lock.unlock();
      passChanged_.notify_all();
      break;
    }
    default:
      // Pause and continue are accepted and change nothing.
      break;
  }
}
