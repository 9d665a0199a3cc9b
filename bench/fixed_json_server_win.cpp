// Benchmark baseline: the program's own server setup and route table, with GetPrinters answering a fixed text.
#include "common/windows_include.h"

#include "print_service/http_api/http_api.h"
#include "testing/stub_handlers.h"
#include "print_service/printers/get_printers.h"

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

// The queues of the test environment, so the text matches the real program's answer there.
const char* const kQueueNames[] = {"KELO", "KeloTest203", "KeloTest300"};

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
    std::fprintf(stderr, "usage: fixed_json_server PORT\n");
    return 2;
  }

  // Built once here; the real program builds the same text per request from the spooler.
  const std::string body =
      BuildPrinterListAnswer(std::vector<std::string>(std::begin(kQueueNames), std::end(kQueueNames)));

  HttpServerSetup setup;
  setup.handlers.getPrinterResolution = StubJsonHandler;
  setup.handlers.getPrinters = [body](const httplib::Request&, httplib::Response& res) {
    SetCorsHeaders(res);
    res.set_content(body, "application/json");
  };
  setup.handlers.printImage = StubUploadHandler;
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
