// Queue names from EnumPrintersW level 4, which reads names without asking drivers or servers.
#include "print_service/printers/queue_lookup_win.h"

#include "common/text_convert.h"
#include "common/windows_include.h"
#include "print_service/printers/queue_name_rule.h"

#include <winspool.h>

#include <memory>
#include <new>

bool EnumPrintersInto(DWORD flags, DWORD level, std::unique_ptr<BYTE[]>& buffer, DWORD& returned) {
  DWORD needed = 0;
  DWORD size = 0;
  buffer.reset();
  for (int attempt = 0; attempt < 8; ++attempt) {
    if (EnumPrintersW(flags, nullptr, level, buffer.get(), size, &needed, &returned)) return true;
    const DWORD error = GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER || needed <= size) return false;
    buffer.reset(new (std::nothrow) BYTE[needed]);
    if (!buffer) return false;
    size = needed;
  }
  return false;
}

std::optional<std::vector<std::string>> ListQueueNames() {
  std::unique_ptr<BYTE[]> buffer;
  DWORD returned = 0;
  if (!EnumPrintersInto(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, 4, buffer, returned)) return std::nullopt;
  std::vector<std::string> names;
  names.reserve(returned);
  const auto* infos = reinterpret_cast<const PRINTER_INFO_4W*>(buffer.get());
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
