// Tests under Wine: a USB printer interface that exists only in the registry,
// whose device path opens a file of the prefix's dosdevices folder holding the
// configuration block, or a pipe that never answers.
#pragma once

#include "common/unique_owner_win.h"
#include "usb_service/provisioning/usb_device_match.h"

#include <winternl.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

inline constexpr char kUsbPrintClassKeyName[] = "{28D78FAD-5A12-11D1-AE5B-0000F803A8C2}";
inline constexpr char kMakerHardwareId[] = "VID_5E3A&PID_01C7&MI_02";

class SimulatedUsbPrinter {
 public:
  // `symbolicLink` replaces the lower-case path the detail call returns.
  explicit SimulatedUsbPrinter(std::string instance, std::string hardwareId = kMakerHardwareId,
                               std::string symbolicLink = std::string())
      : instance_(std::move(instance)), hardwareId_(std::move(hardwareId)), link_(std::move(symbolicLink)) {
    if (link_.empty()) {
      link_ = "\\\\?\\usb#" + LowerAscii(hardwareId_) + "#" + LowerAscii(instance_) + "#" +
              LowerAscii(kUsbPrintClassKeyName);
    }
  }

  const std::string& DevicePath() const { return link_; }

  // Registry entries for a present interface; Linked 0 makes it absent (unplugged).
  bool Register(bool linked = true) const {
    UniqueRegKey device;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, EnumKey().c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, device.Put(),
                        nullptr) != ERROR_SUCCESS) {
      return false;
    }
    SetString(device.Get(), "ClassGUID", "{36FC9E60-C465-11CF-8056-444553540000}");  // USB
    UniqueRegKey iface;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, InterfaceKey().c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        iface.Put(), nullptr) != ERROR_SUCCESS) {
      return false;
    }
    SetString(iface.Get(), "DeviceInstance", "USB\\" + hardwareId_ + "\\" + instance_);
    UniqueRegKey reference;
    if (RegCreateKeyExA(iface.Get(), "#", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, reference.Put(), nullptr) !=
        ERROR_SUCCESS) {
      return false;
    }
    SetString(reference.Get(), "SymbolicLink", link_);
    UniqueRegKey control;
    if (RegCreateKeyExA(reference.Get(), "Control", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, control.Put(), nullptr) !=
        ERROR_SUCCESS) {
      return false;
    }
    const DWORD value = linked ? 1 : 0;
    return RegSetValueExA(control.Get(), "Linked", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof(value)) == ERROR_SUCCESS;
  }

  // The block as the printer answers it: every open reads the file from its start.
  bool SetAnswer(const std::string& bytes) const {
    std::ofstream out(DosDeviceFile(), std::ios::binary | std::ios::trunc);
    out << bytes;
    return static_cast<bool>(out);
  }

  void Remove() const {
    (void)RegDeleteTreeA(HKEY_LOCAL_MACHINE, EnumKey().c_str());
    (void)RegDeleteKeyA(HKEY_LOCAL_MACHINE, ("System\\CurrentControlSet\\Enum\\USB\\" + hardwareId_).c_str());
    (void)RegDeleteTreeA(HKEY_LOCAL_MACHINE, InterfaceKey().c_str());
    (void)DeleteFileA(DosDeviceFile().c_str());
  }

  // The device's name in the object namespace, for a stand-in that is no file.
  std::wstring NtName() const {
    const std::string name = DosName();
    return L"\\??\\" + std::wstring(name.begin(), name.end());
  }

  std::string DosDeviceFile() const {
    const char* prefix = std::getenv("WINEPREFIX");
    std::string dir = std::string("Z:") + (prefix != nullptr ? prefix : "") + "/dosdevices/";
    for (char& c : dir) {
      if (c == '/') c = '\\';
    }
    return dir + DosName();
  }

 private:
  std::string DosName() const { return LowerAscii(link_.substr(4)); }  // after "\\?\"
  std::string EnumKey() const { return "System\\CurrentControlSet\\Enum\\USB\\" + hardwareId_ + "\\" + instance_; }
  std::string InterfaceKey() const {
    return std::string("System\\CurrentControlSet\\Control\\DeviceClasses\\") + kUsbPrintClassKeyName + "\\##?#USB#" +
           hardwareId_ + "#" + instance_ + "#" + kUsbPrintClassKeyName;
  }
  static void SetString(HKEY key, const char* name, const std::string& value) {
    (void)RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                         static_cast<DWORD>(value.size() + 1));
  }

  std::string instance_;
  std::string hardwareId_;
  std::string link_;
};

// A printer that never answers: the device path leads, through a symbolic link in
// the object namespace, to a pipe that is connected to but never written. Each open
// takes one pipe instance; ServeNext offers another once a reader has taken it.
class SilentPrinterPipe {
 public:
  explicit SilentPrinterPipe(const SimulatedUsbPrinter& printer) {
    pipeName_ = L"kelo-silent-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount()) +
                L"-" + std::to_wstring(++Instances());
    connected_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!connected_ || !Listen()) return;

    using CreateLink = LONG(WINAPI*)(HANDLE*, ACCESS_MASK, OBJECT_ATTRIBUTES*, UNICODE_STRING*);
    auto create = reinterpret_cast<CreateLink>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtCreateSymbolicLinkObject")));
    if (create == nullptr) return;
    std::wstring name = printer.NtName();
    std::wstring target = L"\\Device\\NamedPipe\\" + pipeName_;
    UNICODE_STRING nameString = Counted(name);
    UNICODE_STRING targetString = Counted(target);
    OBJECT_ATTRIBUTES attributes{};
    attributes.Length = sizeof(attributes);
    attributes.ObjectName = &nameString;
    attributes.Attributes = OBJ_CASE_INSENSITIVE;
    constexpr ACCESS_MASK kSymbolicLinkAllAccess = 0xF0001;
    ready_ = create(link_.Put(), kSymbolicLinkAllAccess, &attributes, &targetString) == 0;  // lives with the handle
  }

  SilentPrinterPipe(const SilentPrinterPipe&) = delete;
  SilentPrinterPipe& operator=(const SilentPrinterPipe&) = delete;

  bool Ready() const { return ready_; }
  // Set once a reader has opened the instance on offer.
  HANDLE Connected() const { return connected_.Get(); }

  // After a reader took the instance on offer: keeps it open, unanswered, and offers
  // a fresh one for the next open.
  bool ServeNext() {
    if (WaitForSingleObject(connected_.Get(), 0) != WAIT_OBJECT_0) return true;
    taken_.push_back(std::move(pipe_));
    return Listen();
  }

 private:
  static int& Instances() {
    static int count = 0;
    return count;
  }
  bool Listen() {
    (void)ResetEvent(connected_.Get());
    pipe_.Reset(CreateNamedPipeW((L"\\\\.\\pipe\\" + pipeName_).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                 PIPE_TYPE_BYTE, PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr));
    if (!pipe_) return false;
    overlapped_ = OVERLAPPED{};
    overlapped_.hEvent = connected_.Get();
    // Pending until a reader opens it; a reader that came first is connected already.
    if (!ConnectNamedPipe(pipe_.Get(), &overlapped_) && GetLastError() == ERROR_PIPE_CONNECTED) {
      (void)SetEvent(connected_.Get());
    }
    return true;
  }
  static UNICODE_STRING Counted(std::wstring& text) {
    UNICODE_STRING s;
    s.Buffer = text.data();
    s.Length = static_cast<USHORT>(text.size() * sizeof(wchar_t));
    s.MaximumLength = s.Length;
    return s;
  }

  std::wstring pipeName_;
  // The pipes close first, ending the pending connect before its record goes.
  OVERLAPPED overlapped_{};
  UniqueHandle connected_;
  UniqueHandle link_;
  std::vector<UniqueFile> taken_;
  UniqueFile pipe_;
  bool ready_ = false;
};
