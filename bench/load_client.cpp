// Benchmark load client: keep-alive connections sending GetPrinters back to back, each request timed.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Loopback only: the servers under test bind nothing else.
constexpr uint32_t kLoopback = INADDR_LOOPBACK;
constexpr char kHostText[] = "127.0.0.1";
constexpr char kPath[] = "/klapi/GetPrinters";
// Well above a queued connection's wait behind busy workers (seconds), so that
// wait shows as latency, not as an error; a stuck server still ends the run.
constexpr int kReadTimeoutSeconds = 30;

// Owns a socket descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(-1); }

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  void Reset(int fd) {
    if (fd_ >= 0) (void)::close(fd_);  // nothing to do about a failed close of a socket we drop
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// How the client acknowledges the server's segments.
enum class AckMode {
  kDelayed,  // the kernel's default, as ordinary clients
  kQuick,    // at once, so a server's Nagle-held segment is never kept waiting
};

// One keep-alive HTTP/1.1 connection; opens a new socket when the server has closed
// the previous one (it does after its keep-alive maximum, with "Connection: close").
class KeepAliveConnection {
 public:
  KeepAliveConnection(int port, AckMode ackMode, std::function<void()> onConnect)
      : port_(port), ackMode_(ackMode), onConnect_(std::move(onConnect)) {
    request_ = std::string("POST ") + kPath + " HTTP/1.1\r\nHost: " + kHostText + ":" + std::to_string(port) +
               "\r\nContent-Length: 0\r\n\r\n";
  }

  // One request and its whole answer; empty when the answer is good (status 200,
  // a body starting with '{'), otherwise what was wrong.
  std::string Exchange() {
    const bool reused = socket_.Valid();
    std::string error = TryExchange();
    // A reused socket the server closed just before our request: once more on a new one.
    if (reused && error == kClosedBeforeAnswer) error = TryExchange();
    if (!error.empty()) socket_.Reset(-1);
    return error;
  }

 private:
  static constexpr char kClosedBeforeAnswer[] = "connection closed before any answer";

  std::string TryExchange() {
    if (!socket_.Valid()) {
      std::string error = Connect();
      if (!error.empty()) return error;
    }
    if (!SendAll()) return std::string("send: ") + std::strerror(errno);
    AckNow();

    buffer_.clear();
    size_t headerEnd;
    while ((headerEnd = buffer_.find("\r\n\r\n")) == std::string::npos) {
      std::string error = ReceiveMore();
      if (!error.empty()) return buffer_.empty() && error == kClosed ? kClosedBeforeAnswer : error;
    }
    const std::string head = buffer_.substr(0, headerEnd + 2);
    int status = 0;
    if (std::sscanf(head.c_str(), "HTTP/1.%*d %d", &status) != 1) return "malformed status line";
    const std::optional<std::string> length = HeaderValue(head, "content-length");
    if (!length) return "no Content-Length";
    const size_t bodyLength = std::strtoul(length->c_str(), nullptr, 10);
    const size_t bodyStart = headerEnd + 4;
    while (buffer_.size() < bodyStart + bodyLength) {
      std::string error = ReceiveMore();
      if (!error.empty()) return error;
    }
    const std::optional<std::string> connection = HeaderValue(head, "connection");
    if (connection && Lower(*connection) == "close") socket_.Reset(-1);

    if (status != 200) return "status " + std::to_string(status);
    if (bodyLength == 0 || buffer_[bodyStart] != '{') return "body does not start with '{'";
    return std::string();
  }

  std::string Connect() {
    UniqueFd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!sock.Valid()) return std::string("socket: ") + std::strerror(errno);
    const timeval timeout = {kReadTimeoutSeconds, 0};
    (void)::setsockopt(sock.Get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));  // best effort
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port_));
    address.sin_addr.s_addr = htonl(kLoopback);
    if (::connect(sock.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
      return std::string("connect: ") + std::strerror(errno);
    }
    socket_ = std::move(sock);
    if (onConnect_) onConnect_();
    return std::string();
  }

  bool SendAll() {
    size_t sent = 0;
    while (sent < request_.size()) {
      const ssize_t n = ::send(socket_.Get(), request_.data() + sent, request_.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }

  static constexpr char kClosed[] = "connection closed inside an answer";

  std::string ReceiveMore() {
    char chunk[4096];
    ssize_t n;
    do {
      n = ::recv(socket_.Get(), chunk, sizeof(chunk), 0);
    } while (n < 0 && errno == EINTR);
    if (n == 0) return kClosed;
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? "no answer within the read timeout"
                                                              : std::string("recv: ") + std::strerror(errno);
    buffer_.append(chunk, static_cast<size_t>(n));
    AckNow();
    return std::string();
  }

  // Linux leaves quick-ack mode on its own, so it is asked for again around every read.
  void AckNow() {
    if (ackMode_ != AckMode::kQuick) return;
    const int on = 1;
    (void)::setsockopt(socket_.Get(), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof(on));  // a hint; timing shows it
  }

  static std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  }

  // The value of a header (name in lower case) in a head whose lines end in CRLF.
  static std::optional<std::string> HeaderValue(const std::string& head, const std::string& name) {
    size_t lineStart = head.find("\r\n");
    while (lineStart != std::string::npos && lineStart + 2 < head.size()) {
      lineStart += 2;
      const size_t lineEnd = head.find("\r\n", lineStart);
      const std::string line = head.substr(lineStart, lineEnd - lineStart);
      const size_t colon = line.find(':');
      if (colon != std::string::npos && Lower(line.substr(0, colon)) == name) {
        const size_t valueStart = line.find_first_not_of(" \t", colon + 1);
        return valueStart == std::string::npos ? std::string() : line.substr(valueStart);
      }
      lineStart = lineEnd;
    }
    return std::nullopt;
  }

  int port_;
  AckMode ackMode_;
  std::function<void()> onConnect_;
  std::string request_;
  UniqueFd socket_;
  std::string buffer_;
};

struct Target {
  std::string name;
  int port = 0;
};

struct Options {
  double warmupSeconds = 2;
  double measureSeconds = 5;
  std::vector<int> connectionCounts = {1, 8, 32};
  AckMode ackMode = AckMode::kDelayed;
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
  uint64_t starved = 0;  // connections without any answer inside the window
  std::string firstError;
};

void RunConnection(int port, AckMode ackMode, Clock::time_point measureFrom, Clock::time_point measureUntil,
                   ConnectionTally& tally) {
  // Counts every new socket: the first one and each reconnect after the server
  // closed the connection.
  KeepAliveConnection connection(port, ackMode, [&] {
    const Clock::time_point now = Clock::now();
    if (now >= measureFrom && now < measureUntil) ++tally.connects;
  });
  tally.latenciesUs.reserve(1 << 16);

  while (Clock::now() < measureUntil) {
    const Clock::time_point start = Clock::now();
    const std::string error = connection.Exchange();
    const Clock::time_point end = Clock::now();
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
      threads.emplace_back(RunConnection, target.port, options.ackMode, measureFrom, measureUntil, std::ref(tally));
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
    if (tally.latenciesUs.empty() && tally.errors == 0) ++result.starved;
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
    } else if (arg == "--ack" && hasValue) {
      const std::string mode = argv[++i];
      if (mode == "delayed") {
        options.ackMode = AckMode::kDelayed;
      } else if (mode == "quick") {
        options.ackMode = AckMode::kQuick;
      } else {
        return std::nullopt;
      }
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
  std::printf("%5d  %-12s %9.1f %9.3f %9.3f %9.3f %7" PRIu64 " %9" PRIu64 " %8" PRIu64 "\n", connections,
              name.c_str(), r.perSecond, r.p50Ms, r.p99Ms, r.maxMs, r.errors, r.connects, r.starved);
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Options> parsed = ParseOptions(argc, argv);
  if (!parsed) {
    std::fprintf(stderr,
                 "usage: load_client [--warmup S] [--duration S] [--connections 1,8,32] [--ack delayed|quick]\n"
                 "                   NAME=PORT [NAME=PORT]\n"
                 "  POSTs %s to %s:PORT; with two targets also prints first/second ratios\n",
                 kPath, kHostText);
    return 2;
  }
  const Options& options = *parsed;

  std::printf("POST %s on %s, keep-alive, %s ACKs; per row %.1f s warm-up (not counted), %.1f s measured\n",
              kPath, kHostText, options.ackMode == AckMode::kQuick ? "quick" : "delayed (default)",
              options.warmupSeconds, options.measureSeconds);
  std::printf("%5s  %-12s %9s %9s %9s %9s %7s %9s %8s\n", "conns", "target", "req/s", "p50 ms", "p99 ms", "max ms",
              "errors", "connects", "starved");
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
  std::printf("connects: sockets opened inside the window (the server closes each after 100 answers)\n");
  std::printf("starved: connections that got no answer inside the window (queued behind busy workers);\n"
              "         their wait is in no latency figure\n");
  for (const std::string& note : notes) std::printf("note: %s\n", note.c_str());
  return 0;
}
