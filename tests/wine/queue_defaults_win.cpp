// Test tool: stores a queue's per-user default DEVMODE with the given print quality
// (SetPrinterW level 9), since Wine reports 300 for every queue whatever its PPD says.
//   queue_defaults.exe QUEUE QUALITY     exit 0 when the spooler then reports it
#include "common/unique_owner.h"
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
  if (argc != 3) {
    std::fprintf(stderr, "usage: queue_defaults QUEUE QUALITY\n");
    return 2;
  }
  wchar_t* name = argv[1];
  const short quality = static_cast<short>(_wtoi(argv[2]));

  // The first process after new CUPS queues appear may still be adding them to
  // Wine's registry and overwrite what we store: set and read back a few times.
  short stored = 0;
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (attempt > 0) Sleep(200);
    PRINTER_DEFAULTSW access = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    UniquePrinter printer;
    if (!OpenPrinterW(name, printer.Put(), &access)) {
      std::fprintf(stderr, "OpenPrinterW failed: %lu\n", GetLastError());
      continue;
    }
    std::vector<BYTE> buffer = DefaultDevMode(printer.Get(), name);
    if (buffer.empty()) {
      std::fprintf(stderr, "no default DEVMODE: %lu\n", GetLastError());
      continue;
    }
    auto* devMode = reinterpret_cast<DEVMODEW*>(buffer.data());
    devMode->dmPrintQuality = quality;
    devMode->dmYResolution = quality;
    devMode->dmFields |= DM_PRINTQUALITY | DM_YRESOLUTION;
    PRINTER_INFO_9W info = {devMode};
    if (!SetPrinterW(printer.Get(), 9, reinterpret_cast<BYTE*>(&info), 0)) {
      std::fprintf(stderr, "SetPrinterW level 9 failed: %lu\n", GetLastError());
      continue;
    }
    std::vector<BYTE> check = DefaultDevMode(printer.Get(), name);
    stored = check.empty() ? 0 : reinterpret_cast<DEVMODEW*>(check.data())->dmPrintQuality;
    if (stored == quality) return 0;
  }
  std::fprintf(stderr, "the spooler reports quality %d, not %d\n", stored, quality);
  return 1;
}
