// Local print queues from EnumPrintersW, level 2.
#include "print_service/printers/printer_enumerator_win.h"

#include "common/size_retry_win.h"
#include "common/text_convert.h"
#include "common/windows_include.h"

#include <winspool.h>

static_assert(kAttributeNetwork == PRINTER_ATTRIBUTE_NETWORK && kAttributeWorkOffline == PRINTER_ATTRIBUTE_WORK_OFFLINE,
              "the portable attribute bits are the spooler's");

std::optional<std::vector<QueueRecord>> SpoolerPrinterEnumerator::EnumerateLocalQueues() {
  SizedBuffer buffer;
  DWORD returned = 0;
  if (!EnumPrintersWithSizeRetry(EnumPrintersW, PRINTER_ENUM_LOCAL, 2, buffer, returned)) return std::nullopt;
  std::vector<QueueRecord> records;
  records.reserve(returned);
  const auto* infos = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.Data());
  for (DWORD i = 0; i < returned; ++i) {
    QueueRecord record;
    if (infos[i].pPrinterName != nullptr) record.name = Utf8FromWide(infos[i].pPrinterName);
    if (infos[i].pServerName != nullptr) record.serverName = Utf8FromWide(infos[i].pServerName);
    record.attributes = infos[i].Attributes;
    records.push_back(std::move(record));
  }
  return records;
}
