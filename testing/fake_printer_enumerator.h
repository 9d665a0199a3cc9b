// In-memory spooler listing for tests: returns its records, or fails on request.
#pragma once

#include "print_service/printers/printer_enumerator.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

// What a listing shows of a queue: written {name, server, attributes} in the tests.
struct ListedQueue {
  std::string name;
  std::string serverName;
  uint32_t attributes = 0;
};

class FakePrinterEnumerator final : public PrinterEnumerator {
 public:
  explicit FakePrinterEnumerator(const std::vector<ListedQueue>& queues = {}) { SetRecords(queues); }

  void SetRecords(const std::vector<ListedQueue>& queues) {
    std::vector<QueueRecord> records;
    for (const ListedQueue& queue : queues) {
      QueueRecord record;
      record.name = queue.name;
      record.serverName = queue.serverName;
      record.attributes = queue.attributes;
      records.push_back(std::move(record));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    records_ = std::move(records);
  }
  void FailNextCalls(bool fail) { fail_ = fail; }
  // Each enumeration sleeps this long, so that concurrent requests overlap.
  void SetDelay(std::chrono::milliseconds delay) { delay_ = delay; }
  int calls() const { return calls_; }

  std::optional<std::vector<QueueRecord>> EnumerateLocalQueues() override {
    ++calls_;
    if (delay_.count() > 0) std::this_thread::sleep_for(delay_);
    if (fail_) return std::nullopt;
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
  }

 private:
  std::mutex mutex_;
  std::vector<QueueRecord> records_;
  std::atomic<bool> fail_{false};
  std::chrono::milliseconds delay_{0};
  std::atomic<int> calls_{0};
};
