// Local print queues from EnumPrintersW, level 2.
#include "print_service/printers/printer_enumerator_win.h"

#include "common/text_convert.h"
#include "common/windows_include.h"
#include "print_service/printers/queue_lookup_win.h"

#include <winspool.h>

#include <cwchar>
#include <memory>

std::optional<std::vector<QueueRecord>> SpoolerPrinterEnumerator::EnumerateLocalQueues() {
  std::unique_ptr<BYTE[]> buffer;
  DWORD returned = 0;
  if (!EnumPrintersInto(PRINTER_ENUM_LOCAL, 2, buffer, returned)) return std::nullopt;
  std::vector<QueueRecord> records;
  records.reserve(returned);
  const auto* infos = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.get());
  for (DWORD i = 0; i < returned; ++i) {
    QueueRecord record;
    if (infos[i].pPrinterName != nullptr) record.name = Utf8FromWide(infos[i].pPrinterName);
    if (infos[i].pServerName != nullptr) record.serverName = Utf8FromWide(infos[i].pServerName);
    record.attributes = infos[i].Attributes;
    records.push_back(std::move(record));
  }
  return records;
}
