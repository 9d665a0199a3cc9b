// Print benchmark's handler-only server: the real PrintImage handler and image store, with a printer that prints nothing.
#include "common/windows_include.h"

#include "common/diagnostic_log.h"
#include "bench/bench_server_win.h"
#include "print_service/imaging/image_store_win.h"
#include "print_service/imaging/print_image.h"
#include "print_service/imaging/system_request_clock_win.h"
#include "testing/stub_handlers.h"

#include <memory>
#include <string>
#include <utility>

namespace {

// Answers as a finished job would, so the request's time is receive, decode and store.
class NoPrintImagePrinter final : public ImagePrinter {
 public:
  bool MayOpen(const std::string&) override { return true; }
  PrintOutcome Print(const std::string&, const std::string&, uint64_t) override { return PrintOutcome::kPrinted; }
};

// The adapters behind the route, alive as long as its handler (as in the real program).
struct PrintRoute {
  explicit PrintRoute(DiagnosticLog& log) : store(log), ports{store, printer, clock, log} {}
  DiskImageStore store;
  NoPrintImagePrinter printer;
  SystemRequestClock clock;
  PrintImagePorts ports;
};

}  // namespace

int main(int argc, char** argv) {
  // The real program's writer: its diagnostic lines are part of the handler's cost.
  auto log = std::make_shared<StdoutLog>();
  auto print = std::make_shared<PrintRoute>(*log);
  ApiHandlers handlers;
  // The other routes are not measured; they answer so the script can see the server is up.
  handlers.getPrinterResolution = StubJsonHandler;
  handlers.getPrinters = StubJsonHandler;
  handlers.printImage = [print](const ApiRequest& req) { return HandlePrintImage(print->ports, req); };
  return RunBenchServer("print_handler_server", argc, argv, std::move(handlers));
}
