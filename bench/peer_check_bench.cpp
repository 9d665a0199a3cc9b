// What finding the caller's user adds to one GetPrinters call: two servers of
// the program's own kind side by side, the real listing behind both, one asking
// whose program each connection comes from and one not. Each call is a fresh
// connection (the check is made once per connection), and the two take turns.
#include "print_service/http_api/guarded_server.h"
#include "print_service/http_api/http_api.h"
#include "print_service/printers/get_printers.h"
#include "testing/raw_connection.h"

#ifdef _WIN32
#include "print_service/http_api/peer_check_win.h"
#include "print_service/printers/printer_enumerator_win.h"
#else
#include "linux_agent/peer_check_posix.h"
#include "linux_agent/printers/cups_destinations_cups.h"
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct QuietLog final : DiagnosticLog {
  void Line(std::string_view) override {}
  void WideLine(std::string_view) override {}
  void Print(std::string_view) override {}
};

class BenchServer {
 public:
  BenchServer(std::shared_ptr<PrinterEnumerator> printers, PeerCheck check, bool serveUnknown) {
    ApiHandlers handlers;
    handlers.getPrinters = MakeListingHandler(std::move(printers), std::make_shared<QuietLog>());
    handlers.getPrinterResolution = handlers.getPrinters;
    handlers.printImage = handlers.getPrinters;
    RegisterRoutes(server_, std::move(handlers));
    if (check) server_.SetPeerCheck(std::move(check), serveUnknown, AnswerOtherUser);
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { (void)server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~BenchServer() {
    server_.stop();
    thread_.join();
  }
  int port() const { return port_; }

 private:
  GuardedServer server_{[] {
    ServerLimits limits;
    limits.bodyLimit = BodyLimitFor;
    return limits;
  }()};
  int port_ = 0;
  std::thread thread_;
};

// Microseconds from connecting to the end of the answer; -1 when it failed.
double OneCall(int port, std::string& answer) {
  const Clock::time_point start = Clock::now();
  RawConnection connection(port);
  if (!connection.connected()) return -1;
  if (!connection.Send("POST /klapi/GetPrinters HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n")) return -1;
  answer = connection.ReadAnswer(std::chrono::seconds(10));
  if (answer.rfind("HTTP/1.1 200", 0) != 0) return -1;
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

double Percentile(std::vector<double> values, double share) {
  std::sort(values.begin(), values.end());
  const size_t at = std::min(values.size() - 1, static_cast<size_t>(share * static_cast<double>(values.size())));
  return values[at];
}

}  // namespace

int main(int argc, char** argv) {
  const int calls = argc > 1 ? std::atoi(argv[1]) : 1000;
#ifdef _WIN32
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 1;
  auto printers = std::make_shared<SpoolerPrinterEnumerator>();
  const PeerCheck check = FindWindowsPeerOwner;
  const bool serveUnknown = RunningUnderWine();
  const char* platform = serveUnknown ? "Windows build under Wine" : "Windows";
#else
  auto printers = std::make_shared<CupsPrinterEnumerator>();
  const PeerCheck check = FindPosixPeerOwner;
  const bool serveUnknown = false;
  const char* platform = "Linux";
#endif
  std::printf("peer_check_bench: %s, compiler %s, %s; %d calls each way, alternating, a fresh connection each\n",
              platform, __VERSION__,
#ifdef NDEBUG
              "NDEBUG",
#else
              "assertions on",
#endif
              calls);
  BenchServer without(printers, nullptr, true);
  BenchServer with(printers, check, serveUnknown);
  std::vector<double> plain, checked;
  std::string answerWithout, answerWith;
  for (int i = -20; i < calls; ++i) {  // 20 of each first, not counted
    const double a = OneCall(without.port(), answerWithout);
    const double b = OneCall(with.port(), answerWith);
    if (a < 0 || b < 0) {
      std::printf("a call failed: %s\n", (a < 0 ? answerWithout : answerWith).substr(0, 200).c_str());
      return 1;
    }
    if (i >= 0) {
      plain.push_back(a);
      checked.push_back(b);
    }
  }
  const std::string bodyWithout = answerWithout.substr(answerWithout.find("\r\n\r\n"));
  const std::string bodyWith = answerWith.substr(answerWith.find("\r\n\r\n"));
  std::printf("answers %s\n", bodyWithout == bodyWith ? "identical" : "DIFFER (the check refused this caller)");
  const double p50Plain = Percentile(plain, 0.5), p50Checked = Percentile(checked, 0.5);
  std::printf("%-16s %10s %10s\n", "GetPrinters", "p50 us", "p90 us");
  std::printf("%-16s %10.1f %10.1f\n", "without check", p50Plain, Percentile(plain, 0.9));
  std::printf("%-16s %10.1f %10.1f\n", "with check", p50Checked, Percentile(checked, 0.9));
  std::printf("with/without     %9.3fx   (+%.1f us at the median)\n", p50Checked / p50Plain, p50Checked - p50Plain);
  return 0;
}
