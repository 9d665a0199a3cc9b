// The allow-list rule for queue names.
#include "print_service/printers/queue_name_rule.h"

#include "common/settings_store.h"

#include <algorithm>

std::optional<std::string> QueueToOpen(std::string_view received, const std::optional<std::string>& utf8,
                                       const std::vector<std::string>& listed) {
  if (received.empty()) return std::string(kDefaultQueueName);
  if (received.find('\0') != std::string_view::npos || !utf8 || utf8->empty()) return std::nullopt;
  if (utf8->find('\0') != std::string::npos || IsReservedDeviceName(*utf8)) return std::nullopt;
  if (std::find(listed.begin(), listed.end(), *utf8) == listed.end()) return std::nullopt;
  return *utf8;
}
