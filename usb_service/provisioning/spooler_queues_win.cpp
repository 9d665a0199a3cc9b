// Print queues of the maker through winspool's ANSI functions.
#include "usb_service/provisioning/spooler_queues_win.h"

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

// The level-2 record in its fixed buffer; nullopt when it does not fit or cannot be read.
std::optional<std::vector<BYTE>> ReadLevel2(HANDLE printer) {
  std::vector<BYTE> buffer(kRecordBufferSize);
  DWORD needed = 0;
  if (!GetPrinterA(printer, 2, buffer.data(), static_cast<DWORD>(buffer.size()), &needed)) return std::nullopt;
  return buffer;
}

// Reads the record, lets `change` edit it and writes it back; false when nothing was written.
template <typename Change>
bool ChangeLevel2(const std::string& name, Change change) {
  UniquePrinter printer = OpenQueue(name, PRINTER_ALL_ACCESS);
  if (!printer) return false;
  std::optional<std::vector<BYTE>> buffer = ReadLevel2(printer.Get());
  if (!buffer) return false;
  auto* info = reinterpret_cast<PRINTER_INFO_2A*>(buffer->data());
  if (!change(*info)) return false;
  // Null leaves them as they are: written back, the record's copies would undo a
  // change made since it was read, and the DEVMODE would pass through the ANSI code page.
  info->pSecurityDescriptor = nullptr;
  info->pDevMode = nullptr;
  return SetPrinterA(printer.Get(), 2, buffer->data(), 0) != FALSE;
}

}  // namespace

std::optional<std::vector<QueueRecord2>> SpoolerQueues::EnumerateQueues() {
  constexpr DWORD kFlags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
  DWORD needed = 0;
  DWORD returned = 0;
  if (EnumPrintersA(kFlags, nullptr, 2, nullptr, 0, &needed, &returned)) return std::vector<QueueRecord2>();
  std::vector<BYTE> buffer;
  // The list can grow between the size query and the fetch.
  for (int attempt = 0;; ++attempt) {
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || attempt == 4) return std::nullopt;
    buffer.assign(needed + 4, 0);
    if (EnumPrintersA(kFlags, nullptr, 2, buffer.data(), static_cast<DWORD>(buffer.size()), &needed, &returned)) {
      break;
    }
  }
  std::vector<QueueRecord2> records;
  const auto* infos = reinterpret_cast<const PRINTER_INFO_2A*>(buffer.data());
  for (DWORD i = 0; i < returned; ++i) {
    const PRINTER_INFO_2A& info = infos[i];
    records.push_back({info.pPrinterName != nullptr ? info.pPrinterName : "",
                       info.pDriverName != nullptr ? info.pDriverName : "", info.Attributes, info.Status});
  }
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

std::optional<QueueRecord2> SpoolerQueues::ReadRecord(const std::string& name) {
  UniquePrinter printer = OpenQueue(name, PRINTER_ALL_ACCESS);
  if (!printer) return std::nullopt;
  std::optional<std::vector<BYTE>> buffer = ReadLevel2(printer.Get());
  if (!buffer) return std::nullopt;
  const auto* info = reinterpret_cast<const PRINTER_INFO_2A*>(buffer->data());
  return QueueRecord2{name, info->pDriverName != nullptr ? info->pDriverName : "", info->Attributes, info->Status};
}

void SpoolerQueues::SetWorkOffline(const std::string& name, bool offline) {
  (void)ChangeLevel2(name, [offline](PRINTER_INFO_2A& info) {
    const DWORD attributes = offline ? (info.Attributes | PRINTER_ATTRIBUTE_WORK_OFFLINE)
                                     : (info.Attributes & ~static_cast<DWORD>(PRINTER_ATTRIBUTE_WORK_OFFLINE));
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
