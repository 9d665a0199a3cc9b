// Print queues of the maker through winspool's ANSI functions.
#include "usb_service/provisioning/spooler_queues_win.h"

#include "common/size_retry_win.h"
#include "common/unique_owner_win.h"

#include <vector>

namespace {

constexpr char kPosition[] = "Position";

UniquePrinter OpenQueue(const std::string& name, DWORD access) {
  PRINTER_DEFAULTSA defaults = {nullptr, nullptr, access};
  UniquePrinter printer;
  if (!OpenPrinterA(const_cast<char*>(name.c_str()), printer.Put(), access != 0 ? &defaults : nullptr)) {
    return UniquePrinter();
  }
  return printer;
}

// The level-2 record; nullopt when it cannot be read.
std::optional<SizedBuffer> ReadLevel2(HANDLE printer) {
  SizedBuffer buffer;
  const bool read = CallWithSizeRetry(
      [printer](BYTE* data, DWORD size, DWORD* needed) { return GetPrinterA(printer, 2, data, size, needed) != FALSE; },
      buffer);
  if (!read || buffer.Data() == nullptr) return std::nullopt;
  return buffer;
}

QueueRecord RecordOf(const PRINTER_INFO_2A& info) {
  QueueRecord record;
  if (info.pPrinterName != nullptr) record.name = info.pPrinterName;
  if (info.pDriverName != nullptr) record.driver = info.pDriverName;
  record.attributes = info.Attributes;
  record.status = info.Status;
  return record;
}

// Reads the record, lets `change` edit it and writes it back; false when nothing was written.
template <typename Change>
bool ChangeLevel2(const std::string& name, Change change) {
  UniquePrinter printer = OpenQueue(name, PRINTER_ALL_ACCESS);
  if (!printer) return false;
  std::optional<SizedBuffer> buffer = ReadLevel2(printer.Get());
  if (!buffer) return false;
  auto* info = reinterpret_cast<PRINTER_INFO_2A*>(buffer->Data());
  if (!change(*info)) return false;
  // Null leaves them as they are: written back, the record's copies would undo a
  // change made since it was read, and the DEVMODE would pass through the ANSI code page.
  info->pSecurityDescriptor = nullptr;
  info->pDevMode = nullptr;
  return SetPrinterA(printer.Get(), 2, buffer->Data(), 0) != FALSE;
}

}  // namespace

std::optional<std::vector<QueueRecord>> SpoolerQueues::EnumerateQueues() {
  SizedBuffer buffer;
  DWORD returned = 0;
  if (!EnumPrintersWithSizeRetry(EnumPrintersA, PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, 2, buffer, returned)) {
    return std::nullopt;
  }
  std::vector<QueueRecord> records;
  const auto* infos = reinterpret_cast<const PRINTER_INFO_2A*>(buffer.Data());
  for (DWORD i = 0; i < returned; ++i) records.push_back(RecordOf(infos[i]));
  return records;
}

void SpoolerQueues::AddPrinterQueue(const std::string& name, const QueueTemplate& t, uint32_t position) {
  // Windows refuses a queue without a driver; Wine would add one, which would then
  // count as the maker's under an empty "DriverName".
  if (t.driverName.empty()) return;
  std::string printerName = name;
  std::string port = t.printerPort;
  std::string driver = t.driverName;
  char processor[] = "WinPrint";
  char dataType[] = "RAW";
  char empty[] = "";
  PRINTER_INFO_2A info{};
  info.pPrinterName = printerName.data();
  info.pShareName = printerName.data();
  info.pPortName = port.data();
  info.pDriverName = driver.data();
  info.pPrintProcessor = processor;
  info.pDatatype = dataType;
  info.pSepFile = empty;
  info.pParameters = empty;
  info.Attributes = PRINTER_ATTRIBUTE_DEFAULT;  // not shared
  UniquePrinter printer(AddPrinterA(nullptr, 2, reinterpret_cast<BYTE*>(&info)));
  if (!printer) return;
  DWORD value = position;
  (void)SetPrinterDataA(printer.Get(), const_cast<char*>(kPosition), REG_DWORD, reinterpret_cast<BYTE*>(&value),
                        sizeof(value));  // without it the queue sorts first and is never renumbered
}

void SpoolerQueues::DeletePrinterByName(const std::string& name) {
  UniquePrinter printer = OpenQueue(name, PRINTER_ALL_ACCESS);
  if (printer) (void)DeletePrinter(printer.Get());
}

bool SpoolerQueues::Rename(const std::string& from, const std::string& to) {
  std::string newName = to;
  return ChangeLevel2(from, [&](PRINTER_INFO_2A& info) {
    info.pPrinterName = newName.data();
    info.pShareName = newName.data();
    return true;
  });
}

bool SpoolerQueues::CanOpen(const std::string& name) { return static_cast<bool>(OpenQueue(name, PRINTER_ALL_ACCESS)); }

std::optional<uint32_t> SpoolerQueues::ReadPosition(const std::string& name) {
  UniquePrinter printer = OpenQueue(name, 0);  // default access suffices for reading
  if (!printer) return std::nullopt;
  DWORD type = 0;
  DWORD value = 0;
  DWORD needed = 0;
  if (GetPrinterDataA(printer.Get(), const_cast<char*>(kPosition), &type, reinterpret_cast<BYTE*>(&value),
                      sizeof(value), &needed) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return value;
}

void SpoolerQueues::WritePosition(const std::string& name, uint32_t position) {
  UniquePrinter printer = OpenQueue(name, PRINTER_ALL_ACCESS);
  if (!printer) return;
  DWORD value = position;
  (void)SetPrinterDataA(printer.Get(), const_cast<char*>(kPosition), REG_DWORD, reinterpret_cast<BYTE*>(&value),
                        sizeof(value));
}

std::optional<QueueRecord> SpoolerQueues::ReadRecord(const std::string& name) {
  UniquePrinter printer = OpenQueue(name, PRINTER_ALL_ACCESS);
  if (!printer) return std::nullopt;
  std::optional<SizedBuffer> buffer = ReadLevel2(printer.Get());
  if (!buffer) return std::nullopt;
  QueueRecord record = RecordOf(*reinterpret_cast<const PRINTER_INFO_2A*>(buffer->Data()));
  record.name = name;
  return record;
}

void SpoolerQueues::SetWorkOffline(const std::string& name, bool offline) {
  (void)ChangeLevel2(name, [offline](PRINTER_INFO_2A& info) {
    const DWORD attributes =
        offline ? (info.Attributes | kAttributeWorkOffline) : (info.Attributes & ~kAttributeWorkOffline);
    if (attributes == info.Attributes) return false;
    info.Attributes = attributes;
    return true;
  });
}

void SpoolerQueues::ResetStatus(const std::string& name) {
  UniquePrinter printer = OpenQueue(name, PRINTER_ALL_ACCESS);
  if (!printer) return;
  DWORD status = 0;
  (void)SetPrinterA(printer.Get(), 0, reinterpret_cast<BYTE*>(&status), PRINTER_CONTROL_SET_STATUS);
}
