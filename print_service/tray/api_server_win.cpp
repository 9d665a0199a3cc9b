// The program's server thread: the real spooler behind the routes, loopback port 6780.
#include "print_service/http_api/http_api.h"
#include "print_service/http_api/peer_check_win.h"

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
#include "print_service/tray/tray_window_win.h"

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
  // Told once: the bind is tried again every 2 s for as long as the port is held.
  auto reporter = std::make_shared<BindFailureReporter>();
  setup.onBindFailed = [log, reporter] {
    switch (reporter->After(FindWindowsPortHolder(kApiPort))) {
      case BindFailureNotice::kOtherUser:
        log->Line(kPortHeldByOtherUserLine);
        NotifyPortHeldByOtherUser();
        break;
      case BindFailureNotice::kTaken:
      case BindFailureNotice::kNone:
        break;
    }
    return true;
  };
  // Windows always knows the process behind a live loopback connection, so an
  // unknown one is refused. Wine names none (process 0 for every socket, this
  // program's own too) and takes some 20 ms to list its table, so there the
  // question is not asked: every caller would be served anyway.
  if (!RunningUnderWine()) setup.peerCheck = FindWindowsPeerOwner;
  setup.serveUnknownPeers = false;
  return RunHttpServerWith(std::move(setup));
}
