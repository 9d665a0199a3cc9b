// Test tool: stores a queue's per-user default DEVMODE with the given print quality
// (SetPrinterW level 9), since Wine reports 300 for every queue whatever its PPD says.
//   queue_defaults.exe set QUEUE QUALITY
//   queue_defaults.exe check QUEUE QUALITY   exit 0 when the spooler reports it
// Wine's driver reads the stored default when a process first uses the queue, so
// a check must run in a process of its own.
#include "common/unique_owner_win.h"
#include "common/windows_include.h"

#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <vector>

namespace {

// The queue's default DEVMODE as the driver reports it for this user, or empty.
std::vector<BYTE> DefaultDevMode(HANDLE printer, wchar_t* name) {
  const LONG size = DocumentPropertiesW(nullptr, printer, name, nullptr, nullptr, 0);
  if (size <= 0) return {};
  std::vector<BYTE> buffer(static_cast<size_t>(size));
  auto* devMode = reinterpret_cast<DEVMODEW*>(buffer.data());
  if (DocumentPropertiesW(nullptr, printer, name, devMode, nullptr, DM_OUT_BUFFER) != IDOK) return {};
  return buffer;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4 || (std::wcscmp(argv[1], L"set") != 0 && std::wcscmp(argv[1], L"check") != 0)) {
    std::fprintf(stderr, "usage: queue_defaults set|check QUEUE QUALITY\n");
    return 2;
  }
  const bool set = std::wcscmp(argv[1], L"set") == 0;
  wchar_t* name = argv[2];
  const short quality = static_cast<short>(_wtoi(argv[3]));

  PRINTER_DEFAULTSW access = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  UniquePrinter printer;
  if (!OpenPrinterW(name, printer.Put(), &access)) {
    std::fprintf(stderr, "OpenPrinterW failed: %lu\n", GetLastError());
    return 1;
  }
  std::vector<BYTE> buffer = DefaultDevMode(printer.Get(), name);
  if (buffer.empty()) {
    std::fprintf(stderr, "no default DEVMODE: %lu\n", GetLastError());
    return 1;
  }
  auto* devMode = reinterpret_cast<DEVMODEW*>(buffer.data());
  if (!set) {
    if (devMode->dmPrintQuality == quality) return 0;
    std::fprintf(stderr, "the spooler reports quality %d, not %d\n", devMode->dmPrintQuality, quality);
    return 1;
  }
  devMode->dmPrintQuality = quality;
  devMode->dmYResolution = quality;
  devMode->dmFields |= DM_PRINTQUALITY | DM_YRESOLUTION;
  PRINTER_INFO_9W info = {devMode};
  if (!SetPrinterW(printer.Get(), 9, reinterpret_cast<BYTE*>(&info), 0)) {
    std::fprintf(stderr, "SetPrinterW level 9 failed: %lu\n", GetLastError());
    return 1;
  }
  return 0;
}
