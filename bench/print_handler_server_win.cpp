// Print benchmark's handler-only server: the real PrintImage handler and image store, with a printer that prints nothing.
#include "common/windows_include.h"

#include "common/diagnostic_log.h"
#include "print_service/http_api/http_api.h"
#include "print_service/imaging/image_store_win.h"
#include "print_service/imaging/print_image.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace {

class SystemRequestClock final : public RequestClock {
 public:
  uint32_t ThreadId() override { return GetCurrentThreadId(); }
  uint32_t TickCount() override { return GetTickCount(); }
};

// Answers as a finished job would, so the request's time is receive, decode and store.
class NoPrintImagePrinter final : public ImagePrinter {
 public:
  PrintOutcome Print(const std::string&, const std::string&) override { return PrintOutcome::kPrinted; }
};

// The adapters behind the route, alive as long as its handler (as in the real program).
struct PrintRoute {
  explicit PrintRoute(DiagnosticLog& log) : store(log), ports{store, printer, clock, log} {}
  DiskImageStore store;
  NoPrintImagePrinter printer;
  SystemRequestClock clock;
  PrintImagePorts ports;
};

// The other routes are not measured; they answer so the script can see the server is up.
void AnswerEmpty(const httplib::Request&, httplib::Response& res) {
  SetCorsHeaders(res);
  res.set_content("{}", "application/json");
}

std::optional<int> ParsePort(const char* text) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 1 || value > 65535) return std::nullopt;
  return static_cast<int>(value);
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<int> port = argc == 2 ? ParsePort(argv[1]) : std::nullopt;
  if (!port) {
    std::fprintf(stderr, "usage: print_handler_server PORT\n");
    return 2;
  }

  // The real program's writer: its diagnostic lines are part of the handler's cost.
  auto log = std::make_shared<StdoutLog>();
  auto print = std::make_shared<PrintRoute>(*log);

  HttpServerSetup setup;
  setup.handlers.getPrinterResolution = AnswerEmpty;
  setup.handlers.getPrinters = AnswerEmpty;
  setup.handlers.printImage = [print, log](const httplib::Request& req, httplib::Response& res,
                                           const httplib::ContentReader& reader) {
    HandlePrintImage(print->ports, req, res, reader);
  };
  // As RunHttpServer does, so both servers bind their sockets alike.
  setup.socketOptions = [](socket_t sock) {
    BOOL on = TRUE;
    (void)setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof(on));
  };
  setup.port = *port;
  bool listening = false;
  setup.onListening = [&listening](int boundPort) {
    listening = true;
    std::printf("listening on %s:%d\n", kApiHost, boundPort);
    (void)std::fflush(stdout);
  };

  const int result = RunHttpServerWith(std::move(setup));
  if (!listening) {
    std::fprintf(stderr, "cannot listen on %s:%d\n", kApiHost, *port);
    return 1;
  }
  return result == 0 ? 0 : 1;
}
