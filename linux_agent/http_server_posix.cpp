// The agent's server thread on POSIX systems: CUPS behind the routes, loopback port 6780.
#include "print_service/http_api/http_api.h"

#include "common/diagnostic_log.h"
#include "linux_agent/imaging/cups_image_printer_cups.h"
#include "linux_agent/imaging/image_directory_posix.h"
#include "linux_agent/imaging/image_store_posix.h"
#include "linux_agent/peer_check_posix.h"
#include "print_service/imaging/print_image.h"
#include "linux_agent/printers/cups_destinations_cups.h"
#include "linux_agent/printers/cups_printer_device_cups.h"
#include "linux_agent/printers/file_settings_store_posix.h"
#include "print_service/printers/get_printer_resolution.h"
#include "print_service/printers/get_printers.h"

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <memory>

namespace {

// A request's stored image is named after its thread and the time, as on
// Windows; a thread's number here is its order of first use, from 1.
class AgentRequestClock final : public RequestClock {
 public:
  uint32_t ThreadId() override {
    static std::atomic<uint32_t> next{1};
    thread_local const uint32_t id = next.fetch_add(1);
    return id;
  }
  uint32_t TickCount() override {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<uint32_t>(ms.count());
  }
};

struct PrintRoute {
  PrintRoute(DiagnosticLog& log, const std::string& directory)
      : store(log, directory), printer(log, directory, DecoderProcess(DefaultDecoderPath())),
        ports{store, printer, clock, log} {
    ports.onTurn = RestartRequestDeadline;  // the wait for memory is not the caller's slowness
  }
  RuntimeImageStore store;
  CupsImagePrinter printer;
  AgentRequestClock clock;
  PrintImagePorts ports;
};

}  // namespace

httplib::SocketOptions ExclusivePortSocketOptions() {
  // The library's default sets SO_REUSEPORT, which would let a second copy bind
  // the same port and take a share of the connections. SO_REUSEADDR alone only
  // lets a restarted agent bind while connections of the last run linger.
  return [](socket_t sock) {
    int on = 1;
    (void)setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  };
}

int RunHttpServer() {
  auto log = std::make_shared<StdoutLog>();
  auto enumerator = std::make_shared<CupsPrinterEnumerator>();
  const std::string dataDirectory = PosixDataDirectory();
  const std::string imageDirectory = ImageDirectoryPath();
  log->Line("data directory: " + dataDirectory + ", images: " + imageDirectory);

  HttpServerSetup setup;
  setup.handlers.getPrinterResolution = [log, dataDirectory](const ApiRequest& req) {
    FileSettingsStore store(dataDirectory);
    CupsPrinterDevice device;
    return HandleGetPrinterResolution(store, device, *log, req);
  };
  setup.handlers.getPrinters = MakeListingHandler(enumerator, log);
  auto print = std::make_shared<PrintRoute>(*log, imageDirectory);
  setup.handlers.printImage = [print](const ApiRequest& req) { return HandlePrintImage(print->ports, req); };
  setup.housekeeping = [imageDirectory] { CleanupImageDirectory(imageDirectory); };
  setup.socketOptions = ExclusivePortSocketOptions();
  // The kernel knows every local socket's owner: a caller it cannot name has
  // gone, or the system hides it, and is not served.
  setup.peerCheck = FindPosixPeerOwner;
  setup.serveUnknownPeers = false;
  setup.onListening = [log](int port) { log->Line("listening on 127.0.0.1:" + std::to_string(port)); };
  // Said once each: the port may stay taken for as long as another copy serves.
  auto reporter = std::make_shared<BindFailureReporter>();
  setup.onBindFailed = [log, reporter] {
    switch (reporter->After(FindPosixPortHolder(kApiPort))) {
      case BindFailureNotice::kOtherUser: log->Line(kPortHeldByOtherUserLine); break;
      case BindFailureNotice::kTaken: log->Line(kPortTakenLine); break;
      case BindFailureNotice::kNone: break;
    }
    return true;
  };
  return RunHttpServerWith(std::move(setup));
}
