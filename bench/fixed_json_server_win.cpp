// Benchmark baseline: the program's own server setup and route table, with GetPrinters answering a fixed text.
#include "common/windows_include.h"

#include "bench/bench_server_win.h"
#include "print_service/printers/get_printers.h"
#include "testing/stub_handlers.h"

#include <iterator>
#include <string>
#include <vector>

namespace {

// The queues of the test environment, so the text matches the real program's answer there.
const char* const kQueueNames[] = {"KELO", "KeloTest203", "KeloTest300"};

}  // namespace

int main(int argc, char** argv) {
  // Built once here; the real program builds the same text per request from the spooler.
  const std::string body =
      BuildPrinterListAnswer(std::vector<std::string>(std::begin(kQueueNames), std::end(kQueueNames)));
  ApiHandlers handlers;
  handlers.getPrinterResolution = StubJsonHandler;
  handlers.getPrinters = [body](const ApiRequest&) {
    ApiAnswer answer;
    answer.body = body;
    return answer;
  };
  handlers.printImage = StubUploadHandler;
  return RunBenchServer("fixed_json_server", argc, argv, std::move(handlers));
}
