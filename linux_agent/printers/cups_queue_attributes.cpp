// CUPS destination options to the listing's attribute bits.
#include "linux_agent/printers/cups_queue_attributes.h"

#include "print_service/printers/printer_filter.h"

#include <charconv>

namespace {

// A decimal option value; nullopt for anything else, which then says nothing.
std::optional<uint64_t> Decimal(std::optional<std::string_view> text) {
  if (!text || text->empty()) return std::nullopt;
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), value);
  if (error != std::errc() || end != text->data() + text->size()) return std::nullopt;
  return value;
}

}  // namespace

uint32_t QueueAttributesFromCupsOptions(std::optional<std::string_view> printerType,
                                        std::optional<std::string_view> printerState,
                                        std::optional<std::string_view> acceptingJobs) {
  uint32_t attributes = 0;
  if (const std::optional<uint64_t> type = Decimal(printerType)) {
    if ((*type & (kCupsPrinterRemote | kCupsPrinterDiscovered)) != 0) attributes |= kAttributeNetwork;
  }
  const std::optional<uint64_t> state = Decimal(printerState);
  const bool stopped = state && *state == kIppPrinterStopped;
  const bool rejecting = acceptingJobs && *acceptingJobs == "false";
  if (stopped || rejecting) attributes |= kAttributeWorkOffline;
  return attributes;
}
