// Port to the spooler's list of local print queues.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct QueueRecord {
  std::string name;        // UTF-8
  std::string serverName;  // UTF-8, for the diagnostic line; empty for this machine
  uint32_t attributes = 0;
};

struct PrinterEnumerator {
  virtual ~PrinterEnumerator() = default;
  // Every local queue in the spooler's order; nullopt when the spooler cannot be asked.
  virtual std::optional<std::vector<QueueRecord>> EnumerateLocalQueues() = 0;
};
