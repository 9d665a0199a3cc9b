// A service control manager that records what the host asked of it, from any
// thread, and provisioning passes that can be held until the test lets them end.
#pragma once

#include "usb_service/service_host/service_host.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

class RecordingServiceSystem final : public ServiceSystem {
 public:
  using Lines = std::vector<std::string>;

  bool registers = true;
  bool holdPasses = false;          // each pass waits for Release()
  std::function<void()> whileWaiting;  // runs on the service thread as the wait begins

  bool RegisterControlHandler(const std::string& name) override {
    Note("register " + name);
    return registers;
  }
  void RegisterDeviceNotification() override { Note("notify"); }
  void ReportStatus(const ServiceStatusRecord& status) override {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.push_back("report " + std::to_string(status.currentState));
    reports_.push_back(status);
    changed_.notify_all();
  }
  void WaitForExit() override {
    Note("wait");
    if (whileWaiting) whileWaiting();
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return signalled_; });
  }
  void SignalExit() override {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.push_back("signal");
    signalled_ = true;
    changed_.notify_all();
  }
  void RunProvisioningPass() override {
    std::unique_lock<std::mutex> lock(mutex_);
    log_.push_back("pass");
    ++started_;
    if (started_ - finished_ > mostAtOnce_) mostAtOnce_ = started_ - finished_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return !holdPasses || released_ > 0; });
    if (holdPasses) --released_;
    log_.push_back("pass done");
    ++finished_;
    changed_.notify_all();
  }

  void Note(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.push_back(line);
    changed_.notify_all();
  }
  // Lets one held pass end.
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++released_;
    changed_.notify_all();
  }
  // Waits up to 10 s until `done` holds; false when it never did. `done` runs under
  // the lock, so it reads the members and calls nothing that locks.
  bool WaitUntil(const std::function<bool()>& done) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), done);
  }
  bool WaitForPassesStarted(int count) {
    return WaitUntil([this, count] { return started_ >= count; });
  }
  bool WaitForPassesFinished(int count) {
    return WaitUntil([this, count] { return finished_ >= count; });
  }
  bool WaitForReport(uint32_t state, size_t count = 1) {
    return WaitUntil([this, state, count] {
      size_t seen = 0;
      for (const ServiceStatusRecord& r : reports_) seen += r.currentState == state ? 1 : 0;
      return seen >= count;
    });
  }

  Lines Log() {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
  }
  std::vector<ServiceStatusRecord> Reports() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_;
  }
  int PassesStarted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return started_;
  }
  int MostPassesAtOnce() {
    std::lock_guard<std::mutex> lock(mutex_);
    return mostAtOnce_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  Lines log_;
  std::vector<ServiceStatusRecord> reports_;
  bool signalled_ = false;
  int released_ = 0;
  int started_ = 0;
  int finished_ = 0;
  int mostAtOnce_ = 0;
};
