// The program's server thread: the real spooler behind the routes, loopback port 6780.
#include "print_service/http_api/http_api.h"

#include "common/diagnostic_log.h"
#include "common/windows_include.h"
#include "print_service/http_api/unavailable_routes.h"
#include "print_service/printers/get_printers.h"
#include "print_service/printers/printer_enumerator.h"

#include <memory>

int RunHttpServer() {
  // Owned by the handlers, which may outlive this function on worker threads at exit.
  auto spooler = std::make_shared<SpoolerPrinterEnumerator>();
  auto log = std::make_shared<StdoutLog>();

  HttpServerSetup setup;
  setup.handlers.getPrinterResolution = HandleUnavailable;
  setup.handlers.getPrinters = [spooler, log](const httplib::Request& req, httplib::Response& res) {
    HandleGetPrinters(*spooler, *log, req, res);
  };
  setup.handlers.printImage = HandleUnavailableUpload;
  // The library's SO_REUSEADDR would let a second copy bind the same port on
  // Windows and take over connections; exclusive use makes its bind fail.
  setup.socketOptions = [](socket_t sock) {
    BOOL on = TRUE;
    (void)setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof(on));
  };
  return RunHttpServerWith(std::move(setup));
}
