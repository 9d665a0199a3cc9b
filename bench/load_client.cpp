// Benchmark load client: keep-alive connections sending GetPrinters back to back, each request timed.
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Loopback only: the servers under test bind nothing else.
constexpr char kHost[] = "127.0.0.1";
constexpr char kPath[] = "/klapi/GetPrinters";
// Above the library's 5 s so a connection queued behind busy workers shows as
// latency, not as an error; a stuck server still ends the run.
constexpr time_t kReadTimeoutSeconds = 30;

struct Target {
  std::string name;
  int port = 0;
};

struct Options {
  double warmupSeconds = 2;
  double measureSeconds = 5;
  std::vector<int> connectionCounts = {1, 8, 32};
  std::vector<Target> targets;
};

// What one connection saw; only answers completed inside the measured window count.
struct ConnectionTally {
  std::vector<uint32_t> latenciesUs;  // good answers only
  uint64_t errors = 0;
  uint64_t warmupErrors = 0;
  uint64_t connects = 0;  // sockets opened inside the window
  std::string firstError;
};

struct LevelResult {
  uint64_t answers = 0;
  double perSecond = 0;
  double p50Ms = 0;
  double p99Ms = 0;
  double maxMs = 0;
  uint64_t errors = 0;
  uint64_t warmupErrors = 0;
  uint64_t connects = 0;
  std::string firstError;
};

// Empty when the answer is good: status 200 and a JSON object body.
std::string CheckAnswer(const httplib::Result& res) {
  if (!res) return "transport: " + httplib::to_string(res.error());
  if (res->status != 200) return "status " + std::to_string(res->status);
  if (res->body.empty() || res->body[0] != '{') return "body does not start with '{'";
  return std::string();
}

void RunConnection(int port, Clock::time_point measureFrom, Clock::time_point measureUntil, ConnectionTally& tally) {
  httplib::Client cli(kHost, port);
  cli.set_keep_alive(true);
  cli.set_read_timeout(kReadTimeoutSeconds, 0);
  // Called for every new socket: the first one and each reconnect after the
  // server closed the connection (it does after its keep-alive maximum).
  cli.set_socket_options([&](socket_t) {
    const Clock::time_point now = Clock::now();
    if (now >= measureFrom && now < measureUntil) ++tally.connects;
  });
  tally.latenciesUs.reserve(1 << 16);

  while (Clock::now() < measureUntil) {
    const Clock::time_point start = Clock::now();
    const httplib::Result res = cli.Post(kPath);  // sends Content-Length: 0
    const Clock::time_point end = Clock::now();
    const std::string error = CheckAnswer(res);
    if (end < measureFrom) {
      if (!error.empty()) ++tally.warmupErrors;
      continue;
    }
    if (end >= measureUntil) break;
    if (!error.empty()) {
      ++tally.errors;
      if (tally.firstError.empty()) tally.firstError = error;
      continue;
    }
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(end - start).count();
    tally.latenciesUs.push_back(static_cast<uint32_t>(std::min<int64_t>(us, UINT32_MAX)));
  }
}

// Nearest-rank percentile of sorted values, in milliseconds.
double PercentileMs(const std::vector<uint32_t>& sorted, double fraction) {
  if (sorted.empty()) return 0;
  const size_t rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
  return sorted[std::max<size_t>(rank, 1) - 1] / 1000.0;
}

LevelResult RunLevel(const Target& target, int connections, const Options& options) {
  const Clock::time_point begin = Clock::now();
  const auto toDuration = [](double seconds) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  };
  const Clock::time_point measureFrom = begin + toDuration(options.warmupSeconds);
  const Clock::time_point measureUntil = measureFrom + toDuration(options.measureSeconds);

  std::vector<ConnectionTally> tallies(static_cast<size_t>(connections));
  {
    std::vector<std::thread> threads;
    for (ConnectionTally& tally : tallies) {
      threads.emplace_back(RunConnection, target.port, measureFrom, measureUntil, std::ref(tally));
    }
    for (std::thread& thread : threads) thread.join();
  }

  LevelResult result;
  std::vector<uint32_t> all;
  for (const ConnectionTally& tally : tallies) {
    all.insert(all.end(), tally.latenciesUs.begin(), tally.latenciesUs.end());
    result.errors += tally.errors;
    result.warmupErrors += tally.warmupErrors;
    result.connects += tally.connects;
    if (result.firstError.empty()) result.firstError = tally.firstError;
  }
  std::sort(all.begin(), all.end());
  result.answers = all.size();
  result.perSecond = static_cast<double>(all.size()) / options.measureSeconds;
  result.p50Ms = PercentileMs(all, 0.50);
  result.p99Ms = PercentileMs(all, 0.99);
  result.maxMs = all.empty() ? 0 : all.back() / 1000.0;
  return result;
}

std::optional<double> ParseSeconds(const char* text) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(value >= 0) || value > 600) return std::nullopt;
  return value;
}

std::optional<int> ParseInt(const std::string& text, int low, int high) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != '\0' || value < low || value > high) return std::nullopt;
  return static_cast<int>(value);
}

std::optional<std::vector<int>> ParseCounts(const std::string& text) {
  std::vector<int> counts;
  size_t from = 0;
  while (from <= text.size()) {
    const size_t comma = std::min(text.find(',', from), text.size());
    const std::optional<int> count = ParseInt(text.substr(from, comma - from), 1, 1024);
    if (!count) return std::nullopt;
    counts.push_back(*count);
    from = comma + 1;
  }
  return counts;
}

std::optional<Options> ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--warmup" && hasValue) {
      const std::optional<double> seconds = ParseSeconds(argv[++i]);
      if (!seconds) return std::nullopt;
      options.warmupSeconds = *seconds;
    } else if (arg == "--duration" && hasValue) {
      const std::optional<double> seconds = ParseSeconds(argv[++i]);
      if (!seconds || *seconds <= 0) return std::nullopt;
      options.measureSeconds = *seconds;
    } else if (arg == "--connections" && hasValue) {
      std::optional<std::vector<int>> counts = ParseCounts(argv[++i]);
      if (!counts) return std::nullopt;
      options.connectionCounts = std::move(*counts);
    } else {
      const size_t equals = arg.find('=');
      if (equals == std::string::npos || equals == 0) return std::nullopt;
      const std::optional<int> port = ParseInt(arg.substr(equals + 1), 1, 65535);
      if (!port) return std::nullopt;
      options.targets.push_back(Target{arg.substr(0, equals), *port});
    }
  }
  if (options.targets.empty()) return std::nullopt;
  return options;
}

double Ratio(double a, double b) { return b > 0 ? a / b : 0; }

void PrintRow(int connections, const std::string& name, const LevelResult& r) {
  std::printf("%5d  %-12s %9.1f %9.3f %9.3f %9.3f %8" PRIu64 " %9" PRIu64 "\n", connections, name.c_str(), r.perSecond,
              r.p50Ms, r.p99Ms, r.maxMs, r.errors, r.connects);
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Options> parsed = ParseOptions(argc, argv);
  if (!parsed) {
    std::fprintf(stderr,
                 "usage: load_client [--warmup S] [--duration S] [--connections 1,8,32] NAME=PORT [NAME=PORT]\n"
                 "  POSTs %s to %s:PORT; with two targets also prints first/second ratios\n",
                 kPath, kHost);
    return 2;
  }
  const Options& options = *parsed;

  std::printf("POST %s on %s, keep-alive; per row %.1f s warm-up (not counted), %.1f s measured\n", kPath, kHost,
              options.warmupSeconds, options.measureSeconds);
  std::printf("%5s  %-12s %9s %9s %9s %9s %8s %9s\n", "conns", "target", "req/s", "p50 ms", "p99 ms", "max ms",
              "errors", "connects");
  std::vector<std::string> notes;
  for (int connections : options.connectionCounts) {
    std::vector<LevelResult> results;
    for (const Target& target : options.targets) {
      results.push_back(RunLevel(target, connections, options));
      PrintRow(connections, target.name, results.back());
      (void)std::fflush(stdout);  // rows appear as they are measured
      const LevelResult& r = results.back();
      if (!r.firstError.empty() || r.warmupErrors > 0) {
        notes.push_back(target.name + " at " + std::to_string(connections) + " connections: " +
                        std::to_string(r.errors) + " errors (first: " +
                        (r.firstError.empty() ? "none" : r.firstError) + "), " + std::to_string(r.warmupErrors) +
                        " in warm-up");
      }
    }
    if (results.size() == 2) {
      const std::string name = options.targets[0].name + "/" + options.targets[1].name;
      std::printf("%5d  %-12s %8.3fx %8.2fx %8.2fx %8.2fx\n", connections, name.c_str(),
                  Ratio(results[0].perSecond, results[1].perSecond), Ratio(results[0].p50Ms, results[1].p50Ms),
                  Ratio(results[0].p99Ms, results[1].p99Ms), Ratio(results[0].maxMs, results[1].maxMs));
    }
  }
  std::printf("errors: status other than 200, body not starting with '{', or no answer (measured window only)\n");
  std::printf("connects: sockets the client opened inside the window (the server closes one every 100 answers)\n");
  for (const std::string& note : notes) std::printf("note: %s\n", note.c_str());
  return 0;
}
