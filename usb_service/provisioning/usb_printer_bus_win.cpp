// USB printer interfaces through setupapi; the configuration block through one
// bounded overlapped read of the device path.
#include "usb_service/provisioning/usb_printer_bus_win.h"

#include "usb_service/provisioning/usb_device_match.h"
#include "usb_service/provisioning/usb_print_class_win.h"

#include <setupapi.h>

#include <cstddef>
#include <cstring>
#include <memory>

namespace {

struct DeviceInfoSetTraits {
  using Type = HDEVINFO;
  static Type Empty() { return INVALID_HANDLE_VALUE; }
  static void Close(Type h) { (void)SetupDiDestroyDeviceInfoList(h); }
};
using UniqueDeviceInfoSet = UniqueOwner<DeviceInfoSetTraits>;

// How long a cancelled read may take to come back before it is left to itself.
constexpr DWORD kCancelGraceMs = 1000;

// Owned by the read while it may still be pending: a driver that ignores the
// cancel can complete into it after the caller gave up.
struct PendingRead {
  OVERLAPPED overlapped{};
  uint8_t buffer[sizeof(ConfigBlock::bytes)]{};
  UniqueHandle event;
};

bool FetchDevicePath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& data, std::string& path) {
  DWORD required = 0;
  (void)SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr);  // asks the size only
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return false;
    // DWORD-aligned storage for the record and its path.
    std::vector<DWORD> storage((required + sizeof(DWORD) - 1) / sizeof(DWORD));
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    const DWORD size = required;
    if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, &required, nullptr)) {
      const char* begin = detail->DevicePath;
      const size_t room = size - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
      path.assign(begin, strnlen(begin, room));
      return true;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
  }
  return false;
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

std::vector<std::string> UsbPrinterBus::CollectPrinterPaths() { return SelectPrinterPaths(EnumUsbPrinterInterfaces()); }

int UsbPrinterBus::GetPrinterNum() { return static_cast<int>(CollectPrinterPaths().size()); }

ConfigBlock UsbPrinterBus::GetPrinterConfig(const std::string& devicePath) {
  ConfigBlock block;
  if (devicePath.empty()) return block;  // fewer devices than queues
  UniqueFile port = OpenUsbPort(devicePath);
  if (!port) return block;

  auto read = std::make_unique<PendingRead>();
  read->event.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (!read->event) return block;
  read->overlapped.hEvent = read->event.Get();  // offset 0: a file stand-in reads from its start

  // Nothing is written first: the printer answers a plain read with its block.
  if (!ReadFile(port.Get(), read->buffer, sizeof(read->buffer), nullptr, &read->overlapped)) {
    if (GetLastError() != ERROR_IO_PENDING) return block;
    if (WaitForSingleObject(read->event.Get(), readTimeoutMs_) != WAIT_OBJECT_0) {
      (void)CancelIoEx(port.Get(), &read->overlapped);  // whatever it says, the read counts as nothing
      if (WaitForSingleObject(read->event.Get(), kCancelGraceMs) != WAIT_OBJECT_0) {
        (void)read.release();  // still pending: its buffer and event must outlive this call
      }
      return block;
    }
  }
  DWORD delivered = 0;
  if (!GetOverlappedResult(port.Get(), &read->overlapped, &delivered, FALSE)) return block;
  return ConfigBlock::FromAnswer(read->buffer, delivered);
}
