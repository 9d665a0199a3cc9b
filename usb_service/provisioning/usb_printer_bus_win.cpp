// USB printer interfaces through setupapi; the configuration block through one
// bounded overlapped read of the device path.
#include "usb_service/provisioning/usb_printer_bus_win.h"

#include "common/size_retry_win.h"
#include "usb_service/provisioning/usb_device_match.h"
#include "usb_service/provisioning/usb_print_class_win.h"

#include <setupapi.h>

#include <cstddef>
#include <cstring>
#include <memory>

namespace {

// How long a cancelled read may take to come back before it is left to itself.
constexpr DWORD kCancelGraceMs = 1000;

bool FetchDevicePath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& data, std::string& path) {
  SizedBuffer buffer;
  const bool fetched = CallWithSizeRetry(
      [&](BYTE* storage, DWORD size, DWORD* needed) {
        // The record's fixed part must fit before its size field can be set;
        // until then only the size is asked.
        const bool fits = size >= sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        auto* detail = fits ? reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage) : nullptr;
        if (detail != nullptr) detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        return SetupDiGetDeviceInterfaceDetailA(set, &data, detail, fits ? size : 0, needed, nullptr) != FALSE;
      },
      buffer);
  if (!fetched || buffer.Size() < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return false;
  const auto* detail = reinterpret_cast<const SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.Data());
  const size_t room = buffer.Size() - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  path.assign(detail->DevicePath, strnlen(detail->DevicePath, room));
  return true;
}

}  // namespace

std::vector<std::string> EnumUsbPrinterInterfaces() {
  std::vector<std::string> paths;
  UniqueDeviceInfoSet set(
      SetupDiGetClassDevsA(&kUsbPrintInterfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  if (!set) return paths;
  for (DWORD index = 0; index < kInterfaceSlots; ++index) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    if (!SetupDiEnumDeviceInterfaces(set.Get(), nullptr, &kUsbPrintInterfaceClass, index, &data)) break;
    std::string path;
    if (!FetchDevicePath(set.Get(), data, path)) break;  // later interfaces are not examined
    paths.push_back(std::move(path));
  }
  return paths;
}

UniqueFile OpenUsbPort(const std::string& devicePath) {
  return UniqueFile(CreateFileA(devicePath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr));
}

bool PendingRead::Completed() const { return WaitForSingleObject(event.Get(), 0) == WAIT_OBJECT_0; }

ParkedReads& ParkedReads::Process() {
  static ParkedReads reads;  // never destroyed before a pending read could complete
  return reads;
}

void ParkedReads::FreeCompletedLocked() {
  for (auto it = reads_.begin(); it != reads_.end();) {
    it = it->second->Completed() ? reads_.erase(it) : std::next(it);
  }
}

bool ParkedReads::Pending(const std::string& devicePath) {
  std::lock_guard<std::mutex> lock(mutex_);
  FreeCompletedLocked();
  return reads_.count(devicePath) != 0;
}

void ParkedReads::Park(const std::string& devicePath, std::unique_ptr<PendingRead> read) {
  std::lock_guard<std::mutex> lock(mutex_);
  FreeCompletedLocked();
  // Passes run one at a time and ask Pending first, so the path is free; were it
  // not, the new read must still outlive its driver (try_emplace leaves it unmoved).
  if (!reads_.try_emplace(devicePath, std::move(read)).second) (void)read.release();
}

size_t ParkedReads::Count() {
  std::lock_guard<std::mutex> lock(mutex_);
  return reads_.size();
}

std::vector<std::string> UsbPrinterBus::CollectPrinterPaths() { return SelectPrinterPaths(EnumUsbPrinterInterfaces()); }

int UsbPrinterBus::GetPrinterNum() { return static_cast<int>(CollectPrinterPaths().size()); }

ConfigBlock UsbPrinterBus::GetPrinterConfig(const std::string& devicePath) {
  return ReadPrinterConfig(devicePath).block;
}

ConfigRead UsbPrinterBus::ReadPrinterConfig(const std::string& devicePath) {
  ConfigRead result;
  if (devicePath.empty()) return result;  // fewer devices than queues
  ParkedReads& parked = ParkedReads::Process();
  if (parked.Pending(devicePath)) {
    result.timedOut = true;  // the last read has not come back yet: no answer now either
    return result;
  }
  UniqueFile port = OpenUsbPort(devicePath);
  if (!port) return result;

  auto read = std::make_unique<PendingRead>();
  read->event.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (!read->event) return result;
  read->overlapped.hEvent = read->event.Get();  // offset 0: a file stand-in reads from its start

  // Nothing is written first: the printer answers a plain read with its block.
  if (!ReadFile(port.Get(), read->buffer, sizeof(read->buffer), nullptr, &read->overlapped)) {
    if (GetLastError() != ERROR_IO_PENDING) return result;
    if (WaitForSingleObject(read->event.Get(), readTimeoutMs_) != WAIT_OBJECT_0) {
      (void)CancelIoEx(port.Get(), &read->overlapped);  // whatever it says, the read counts as nothing
      if (WaitForSingleObject(read->event.Get(), kCancelGraceMs) != WAIT_OBJECT_0) {
        parked.Park(devicePath, std::move(read));  // its buffer and event must outlive this call
      }
      result.timedOut = true;
      return result;
    }
  }
  DWORD delivered = 0;
  if (!GetOverlappedResult(port.Get(), &read->overlapped, &delivered, FALSE)) return result;
  result.block = ConfigBlock::FromAnswer(read->buffer, delivered);
  return result;
}
