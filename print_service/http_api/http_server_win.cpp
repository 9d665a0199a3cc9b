// The program's server thread: the real spooler behind the routes, loopback port 6780.
#include "print_service/http_api/http_api.h"

#include "common/diagnostic_log.h"
#include "common/fair_budget.h"
#include "common/windows_include.h"
#include "print_service/imaging/housekeeping_win.h"
#include "print_service/imaging/image_store_win.h"
#include "print_service/imaging/print_image.h"
#include "print_service/imaging/print_job_win.h"
#include "print_service/imaging/system_request_clock_win.h"
#include "print_service/printers/get_printer_resolution.h"
#include "print_service/printers/get_printers.h"
#include "print_service/printers/tray_settings_store_win.h"
#include "print_service/printers/spooler_printer_device_win.h"
#include "print_service/printers/printer_enumerator_win.h"

#include <memory>

namespace {

constexpr uint64_t kListingsAtOnce = 6;  // see RunHttpServer
constexpr std::chrono::milliseconds kListingTurnWait{5000};

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

httplib::SocketOptions ExclusivePortSocketOptions() {
  return [](socket_t sock) {
    BOOL on = TRUE;
    (void)setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof(on));
  };
}

int RunHttpServer() {
  // Owned by the handlers, which may outlive this function on worker threads at exit.
  auto spooler = std::make_shared<SpoolerPrinterEnumerator>();
  auto log = std::make_shared<StdoutLog>();

  HttpServerSetup setup;
  setup.handlers.getPrinterResolution = [log](const httplib::Request& req, httplib::Response& res) {
    RegistrySettingsStore registry;  // keys opened per request
    SpoolerPrinterDevice device;
    HandleGetPrinterResolution(registry, device, *log, req, res);
  };
  // Listings take turns at the spooler, a few at a time, in arrival order. With
  // dozens of connections asking at once, unbounded concurrency only lets the
  // spooler's own locks hand out turns unfairly, and the slowest answers wait
  // many times the average. Measured under Wine at 32 connections: 2 at a time
  // cost 60 % of the throughput, 8 kept it but left the 99th percentile at
  // 1.4 times the mean; 6 keeps most of both.
  auto listingTurns = std::make_shared<FairBudget>(kListingsAtOnce);
  setup.handlers.getPrinters = [spooler, log, listingTurns](const httplib::Request& req, httplib::Response& res) {
    // Without a turn in time the listing goes ahead anyway: the gate orders, it never refuses.
    const std::optional<FairBudget::Grant> turn = listingTurns->Acquire(1, kListingTurnWait);
    HandleGetPrinters(*spooler, *log, req, res);
  };
  auto print = std::make_shared<PrintRoute>(*log);
  setup.handlers.printImage = [print, log](const httplib::Request& req, httplib::Response& res,
                                           const httplib::ContentReader& reader) {
    HandlePrintImage(print->ports, req, res, reader);
  };
  setup.housekeeping = CleanupTempImages;
  setup.socketOptions = ExclusivePortSocketOptions();
  return RunHttpServerWith(std::move(setup));
}
