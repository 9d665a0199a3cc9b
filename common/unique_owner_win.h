// Move-only owners for Windows handles: each knows its empty value and how to close it.
#pragma once

#include "common/windows_include.h"

#include <setupapi.h>
#include <winsvc.h>
#include <winspool.h>

#include <utility>

template <typename Traits>
class UniqueOwner {
 public:
  using Type = typename Traits::Type;

  UniqueOwner() noexcept : value_(Traits::Empty()) {}
  explicit UniqueOwner(Type value) noexcept : value_(value) {}
  UniqueOwner(const UniqueOwner&) = delete;
  UniqueOwner& operator=(const UniqueOwner&) = delete;
  UniqueOwner(UniqueOwner&& other) noexcept : value_(other.Release()) {}
  UniqueOwner& operator=(UniqueOwner&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  ~UniqueOwner() { Reset(); }

  Type Get() const noexcept { return value_; }
  bool IsValid() const noexcept { return value_ != Traits::Empty(); }
  explicit operator bool() const noexcept { return IsValid(); }

  // For out-parameters: closes what is held and hands out the slot.
  Type* Put() noexcept {
    Reset();
    return &value_;
  }

  Type Release() noexcept { return std::exchange(value_, Traits::Empty()); }

  void Reset(Type value = Traits::Empty()) noexcept {
    Type old = std::exchange(value_, value);
    if (old != Traits::Empty()) Traits::Close(old);
  }

 private:
  Type value_;
};

struct KernelHandleTraits {
  using Type = HANDLE;
  static Type Empty() { return nullptr; }
  static void Close(Type h) { (void)CloseHandle(h); }
};

struct FileHandleTraits {
  using Type = HANDLE;
  static Type Empty() { return INVALID_HANDLE_VALUE; }
  static void Close(Type h) { (void)CloseHandle(h); }
};

struct PrinterHandleTraits {
  using Type = HANDLE;
  static Type Empty() { return nullptr; }
  static void Close(Type h) { (void)ClosePrinter(h); }
};

struct MenuTraits {
  using Type = HMENU;
  static Type Empty() { return nullptr; }
  static void Close(Type h) { (void)DestroyMenu(h); }
};

struct RegistryKeyTraits {
  using Type = HKEY;
  static Type Empty() { return nullptr; }
  static void Close(Type h) { (void)RegCloseKey(h); }
};

struct DeviceContextTraits {
  using Type = HDC;
  static Type Empty() { return nullptr; }
  static void Close(Type h) { (void)DeleteDC(h); }
};

struct GlobalMemoryTraits {
  using Type = HGLOBAL;
  static Type Empty() { return nullptr; }
  static void Close(Type h) { (void)GlobalFree(h); }
};

struct LocalMemoryTraits {
  using Type = HLOCAL;
  static Type Empty() { return nullptr; }
  static void Close(Type h) { (void)LocalFree(h); }
};

struct SidTraits {
  using Type = PSID;
  static Type Empty() { return nullptr; }
  static void Close(Type sid) { (void)FreeSid(sid); }
};

struct FindTraits {
  using Type = HANDLE;
  static Type Empty() { return INVALID_HANDLE_VALUE; }
  static void Close(Type h) { (void)FindClose(h); }
};

struct BitmapTraits {
  using Type = HBITMAP;
  static Type Empty() { return nullptr; }
  static void Close(Type h) { (void)DeleteObject(h); }
};

struct WindowStationTraits {
  using Type = HWINSTA;
  static Type Empty() { return nullptr; }
  static void Close(Type h) { (void)CloseWindowStation(h); }
};

struct DesktopTraits {
  using Type = HDESK;
  static Type Empty() { return nullptr; }
  static void Close(Type h) { (void)CloseDesktop(h); }
};

struct DeviceNotifyTraits {
  using Type = HDEVNOTIFY;
  static Type Empty() { return nullptr; }
  static void Close(Type h) { (void)UnregisterDeviceNotification(h); }
};

struct LibraryTraits {
  using Type = HMODULE;
  static Type Empty() { return nullptr; }
  static void Close(Type h) { (void)FreeLibrary(h); }
};

struct DeviceInfoSetTraits {
  using Type = HDEVINFO;
  static Type Empty() { return INVALID_HANDLE_VALUE; }
  static void Close(Type h) { (void)SetupDiDestroyDeviceInfoList(h); }
};

struct ServiceHandleTraits {
  using Type = SC_HANDLE;
  static Type Empty() { return nullptr; }
  static void Close(Type h) { (void)CloseServiceHandle(h); }
};

// A lock on a movable global block (GlobalLock), undone by GlobalUnlock; the
// block's own owner must outlive it.
struct GlobalLockTraits {
  using Type = HGLOBAL;
  static Type Empty() { return nullptr; }
  static void Close(Type h) { (void)GlobalUnlock(h); }
};

using UniqueHandle = UniqueOwner<KernelHandleTraits>;
using UniqueFile = UniqueOwner<FileHandleTraits>;
using UniquePrinter = UniqueOwner<PrinterHandleTraits>;
using UniqueMenu = UniqueOwner<MenuTraits>;
using UniqueRegKey = UniqueOwner<RegistryKeyTraits>;
using UniqueDC = UniqueOwner<DeviceContextTraits>;
using UniqueGlobal = UniqueOwner<GlobalMemoryTraits>;
using UniqueLocal = UniqueOwner<LocalMemoryTraits>;
using UniqueSid = UniqueOwner<SidTraits>;
using UniqueFind = UniqueOwner<FindTraits>;
using UniqueBitmap = UniqueOwner<BitmapTraits>;
using UniqueWindowStation = UniqueOwner<WindowStationTraits>;
using UniqueDesktop = UniqueOwner<DesktopTraits>;
using UniqueDeviceNotify = UniqueOwner<DeviceNotifyTraits>;
using UniqueLibrary = UniqueOwner<LibraryTraits>;
using UniqueDeviceInfoSet = UniqueOwner<DeviceInfoSetTraits>;
using UniqueService = UniqueOwner<ServiceHandleTraits>;
using UniqueGlobalLock = UniqueOwner<GlobalLockTraits>;
