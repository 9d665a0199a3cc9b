// Queue names from EnumPrintersW level 4, which reads names without asking drivers or servers.
#include "print_service/printers/queue_lookup_win.h"

#include "common/size_retry_win.h"
#include "common/text_convert.h"
#include "common/windows_include.h"
#include "print_service/printers/queue_name_rule.h"

#include <winspool.h>

std::optional<std::vector<std::string>> ListQueueNames() {
  SizedBuffer buffer;
  DWORD returned = 0;
  if (!EnumPrintersWithSizeRetry(EnumPrintersW, PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, 4, buffer, returned)) {
    return std::nullopt;
  }
  std::vector<std::string> names;
  names.reserve(returned);
  const auto* infos = reinterpret_cast<const PRINTER_INFO_4W*>(buffer.Data());
  for (DWORD i = 0; i < returned; ++i) {
    if (infos[i].pPrinterName != nullptr) names.push_back(Utf8FromWide(infos[i].pPrinterName));
  }
  return names;
}

std::optional<std::wstring> OpenableQueue(std::string_view received) {
  if (received.empty()) return WideFromUtf8(kDefaultQueueName);
  const std::optional<std::wstring> wide = ExactWideFromReceivedName(received);
  const std::optional<std::string> utf8 = wide ? std::optional<std::string>(Utf8FromWide(*wide)) : std::nullopt;
  const std::optional<std::vector<std::string>> listed = ListQueueNames();
  if (!listed) return std::nullopt;
  const std::optional<std::string> queue = QueueToOpen(received, utf8, *listed);
  if (!queue) return std::nullopt;
  return WideFromUtf8(*queue);
}
