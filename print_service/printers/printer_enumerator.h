// Port to the spooler's list of local print queues.
#pragma once

#include "common/print_queue.h"

#include <optional>
#include <vector>

struct PrinterEnumerator {
  virtual ~PrinterEnumerator() = default;
  // Every local queue in the spooler's order; nullopt when the spooler cannot be asked.
  virtual std::optional<std::vector<QueueRecord>> EnumerateLocalQueues() = 0;
};
