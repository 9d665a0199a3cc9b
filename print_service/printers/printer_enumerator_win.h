// The spooler's list of local print queues through winspool (Windows only).
#pragma once

#include "print_service/printers/printer_enumerator.h"

class SpoolerPrinterEnumerator final : public PrinterEnumerator {
 public:
  std::optional<std::vector<QueueRecord>> EnumerateLocalQueues() override;
};
