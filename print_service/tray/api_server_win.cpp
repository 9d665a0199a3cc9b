// The program's server thread: the real spooler behind the routes, loopback port 6780.
#include "print_service/http_api/http_api.h"

#include "common/diagnostic_log.h"
#include "common/windows_include.h"
#include "print_service/imaging/housekeeping_win.h"
#include "print_service/imaging/image_store_win.h"
#include "print_service/imaging/print_image.h"
#include "print_service/imaging/print_job_win.h"
#include "print_service/imaging/system_request_clock_win.h"
#include "print_service/printers/get_printer_resolution.h"
#include "print_service/printers/get_printers.h"
#include "print_service/printers/printer_enumerator_win.h"
#include "print_service/printers/spooler_printer_device_win.h"
#include "print_service/printers/tray_settings_store_win.h"

#include <memory>

namespace {

// The real adapters behind the print route, alive as long as its handler.
struct PrintRoute {
  explicit PrintRoute(DiagnosticLog& log) : store(log), printer(log), ports{store, printer, clock, log} {
    ports.onTurn = RestartRequestDeadline;  // the wait for memory is not the caller's slowness
  }
  DiskImageStore store;
  SpoolerImagePrinter printer;
  SystemRequestClock clock;
  PrintImagePorts ports;
};

}  // namespace

int RunHttpServer() {
  // Owned by the handlers, which may outlive this function on worker threads at exit.
  auto spooler = std::make_shared<SpoolerPrinterEnumerator>();
  auto log = std::make_shared<StdoutLog>();

  HttpServerSetup setup;
  setup.handlers.getPrinterResolution = [log](const ApiRequest& req) {
    RegistrySettingsStore registry;  // keys opened per request
    SpoolerPrinterDevice device;
    return HandleGetPrinterResolution(registry, device, *log, req);
  };
  setup.handlers.getPrinters = MakeListingHandler(spooler, log);
  auto print = std::make_shared<PrintRoute>(*log);
  setup.handlers.printImage = [print](const ApiRequest& req) { return HandlePrintImage(print->ports, req); };
  setup.housekeeping = CleanupTempImages;
  setup.socketOptions = ExclusivePortSocketOptions();
  return RunHttpServerWith(std::move(setup));
}
