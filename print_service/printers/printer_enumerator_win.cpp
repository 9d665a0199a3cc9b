// Local print queues from EnumPrintersW, level 2.
#include "print_service/printers/printer_enumerator.h"

#include "common/text_convert.h"
#include "common/windows_include.h"

#include <winspool.h>

#include <cwchar>
#include <memory>

std::optional<std::vector<QueueRecord>> SpoolerPrinterEnumerator::EnumerateLocalQueues() {
  DWORD needed = 0;
  DWORD returned = 0;
  std::unique_ptr<BYTE[]> buffer;
  DWORD size = 0;
  // The list can grow between the size query and the read: ask again until it fits.
  for (int attempt = 0; attempt < 8; ++attempt) {
    if (EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, buffer.get(), size, &needed, &returned)) {
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
    const DWORD error = GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER || needed <= size) return std::nullopt;
    buffer.reset(new (std::nothrow) BYTE[needed]);
    if (!buffer) return std::nullopt;
    size = needed;
  }
  return std::nullopt;
}
