// Connection handling for the local API: one worker thread per connection, as
// the library does it, with the limits its own loop does not have.
#include "print_service/http_api/guarded_server.h"

#include "print_service/http_api/worker_pool.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

// A connection closed for room must have been idle this long: one that has
// only just got its worker, or just sent its answer, usually has its next
// request on the way, which closing would lose.
constexpr std::chrono::milliseconds kIdleBeforeClosedForRoom{50};

// The methods whose body the library reads before routing.
bool MayCarryBody(const std::string& method) {
  return method == "POST" || method == "PUT" || method == "PATCH" || method == "DELETE";
}

// select() takes seconds and microseconds.
void SplitWait(std::chrono::microseconds wait, time_t& sec, time_t& usec) {
  if (wait.count() < 0) wait = std::chrono::microseconds(0);
  sec = static_cast<time_t>(wait.count() / 1000000);
  usec = static_cast<time_t>(wait.count() % 1000000);
}

}  // namespace

// A connection's byte stream with a deadline on reads and a cap on the bytes a
// body may still bring. Once either is passed, or the peer fails, the stream is
// spoiled and the connection is closed after the answer.
class GuardedStream final : public httplib::Stream {
 public:
  // othersWait tells whether other callers wait for a worker; a request that is
  // slow or long by the limits (see ServerLimits) then stops waiting for more.
  GuardedStream(socket_t sock, std::chrono::microseconds readTimeout, std::chrono::microseconds writeTimeout,
                std::function<bool()> othersWait, const ServerLimits& limits)
      : sock_(sock),
        readTimeout_(readTimeout),
        writeTimeout_(writeTimeout),
        othersWait_(std::move(othersWait)),
        slowGrace_(limits.slowGrace),
        steadyBytesPerSecond_(limits.steadyBytesPerSecond),
        stallGrace_(limits.stallGrace),
        stallSlice_(limits.stallSlice) {}

  void StartRequest(Clock::time_point deadline) {
    deadline_ = deadline;
    requestStart_ = Clock::now();
    received_ = 0;
    allowance_ = std::numeric_limits<uint64_t>::max();
  }
  void LimitFurtherReads(uint64_t bytes) { allowance_ = bytes; }
  bool Spoiled() const { return spoiled_ || sendFailed_; }
  bool HasBuffered() const { return bufferOffset_ < bufferSize_; }
  // The caller has just seen the socket readable: the next read need not ask again.
  void MarkReadable() { knownReadable_ = true; }

  // Sends what the answer has written so far, also after a failed read (the
  // answer that says so); false when the peer did not take it within the write
  // time-out, and from then on every write fails.
  bool Flush() {
    size_t sent = 0;
    while (!sendFailed_ && sent < pending_.size()) {
      const ssize_t n = SendWithin(pending_.data() + sent, pending_.size() - sent);
      if (n <= 0) sendFailed_ = true;
      else sent += static_cast<size_t>(n);
    }
    pending_.clear();
    return !sendFailed_;
  }
  // Drops what was written and not sent: half an answer is no answer.
  void Discard() { pending_.clear(); }

  bool is_readable() const override { return HasBuffered() || WaitReadable() > 0; }

  bool is_writable() const override {
    time_t sec = 0, usec = 0;
    SplitWait(writeTimeout_, sec, usec);
    return httplib::detail::select_write(sock_, sec, usec) > 0 && httplib::detail::is_socket_alive(sock_);
  }

  ssize_t read(char* ptr, size_t size) override {
    if (spoiled_) return -1;
    // An interim answer (100 Continue) must be on the wire before its body can come.
    if (!pending_.empty() && !HasBuffered() && !Flush()) return -1;
    size = std::min<size_t>(size, static_cast<size_t>(std::numeric_limits<int>::max()));
    if (allowance_ == 0) return Spoil();
    size = static_cast<size_t>(std::min<uint64_t>(size, allowance_));
    if (!HasBuffered()) {
      const ssize_t ready = std::exchange(knownReadable_, false) ? 1 : WaitReadable();
      if (ready <= 0) return Spoil();
      // Large reads (bodies) go straight into the caller's buffer; small ones
      // (header lines, a byte at a time) are served from ours.
      if (size >= buffer_.size()) {
        const ssize_t n = httplib::detail::read_socket(sock_, ptr, size, 0);
        if (n <= 0) return Spoil();
        allowance_ -= static_cast<uint64_t>(n);
        received_ += static_cast<uint64_t>(n);
        return n;
      }
      const ssize_t n = httplib::detail::read_socket(sock_, buffer_.data(), buffer_.size(), 0);
      if (n <= 0) return Spoil();
      bufferOffset_ = 0;
      bufferSize_ = static_cast<size_t>(n);
      received_ += static_cast<uint64_t>(n);
    }
    const size_t n = std::min(size, bufferSize_ - bufferOffset_);
    std::memcpy(ptr, buffer_.data() + bufferOffset_, n);
    bufferOffset_ += n;
    allowance_ -= n;
    return static_cast<ssize_t>(n);
  }

  // An answer's pieces (status and headers, then the body) are collected and
  // sent together by Flush: under Wine every socket call is several round
  // trips to the wineserver, which all the program's threads share.
  ssize_t write(const char* ptr, size_t size) override {
    if (sendFailed_) return -1;
    if (pending_.size() + size <= kPendingCapacity) {
      pending_.append(ptr, size);
      return static_cast<ssize_t>(size);
    }
    if (!Flush()) return -1;
    if (size <= kPendingCapacity) {
      pending_.append(ptr, size);
      return static_cast<ssize_t>(size);
    }
    const ssize_t n = SendWithin(ptr, size);
    if (n <= 0) sendFailed_ = true;
    return n > 0 ? n : -1;
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    httplib::detail::get_remote_ip_and_port(sock_, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    httplib::detail::get_local_ip_and_port(sock_, ip, port);
  }
  socket_t socket() const override { return sock_; }

 private:
  // Whether the request has been coming slowly or long enough to give its worker up.
  bool PastGrace(Clock::time_point now) const {
    const auto elapsed = now - requestStart_;
    if (elapsed > stallGrace_) return true;
    if (elapsed <= slowGrace_) return false;
    const double seconds = std::chrono::duration<double>(elapsed).count();
    return static_cast<double>(received_) < seconds * static_cast<double>(steadyBytesPerSecond_);
  }

  // Waits up to the read time-out, never past the deadline, and no longer than
  // a slice once the request is past its grace while others need a worker; 0
  // when nothing came.
  ssize_t WaitReadable() const {
    const Clock::time_point end =
        std::min(deadline_, Clock::now() + std::chrono::duration_cast<Clock::duration>(readTimeout_));
    for (;;) {
      const Clock::time_point now = Clock::now();
      if (now >= end) return 0;
      if (PastGrace(now) && othersWait_ && othersWait_()) return 0;
      auto slice = std::chrono::duration_cast<std::chrono::microseconds>(end - now);
      slice = std::min<std::chrono::microseconds>(slice, stallSlice_);
      time_t sec = 0, usec = 0;
      SplitWait(slice, sec, usec);
      const ssize_t ready = httplib::detail::select_read(sock_, sec, usec);
      if (ready != 0) return ready;
    }
  }
  ssize_t Spoil() {
    spoiled_ = true;
    return -1;
  }
  // One send once the socket takes data within the write time-out; 0 or less
  // when it does not.
  ssize_t SendWithin(const char* ptr, size_t size) {
    time_t sec = 0, usec = 0;
    SplitWait(writeTimeout_, sec, usec);
    if (httplib::detail::select_write(sock_, sec, usec) <= 0) return -1;
    size = std::min<size_t>(size, static_cast<size_t>(std::numeric_limits<int>::max()));
    return httplib::detail::send_socket(sock_, ptr, size, 0);
  }

  static constexpr size_t kPendingCapacity = 64 * 1024;

  const socket_t sock_;
  const std::chrono::microseconds readTimeout_;
  const std::chrono::microseconds writeTimeout_;
  const std::function<bool()> othersWait_;
  const std::chrono::milliseconds slowGrace_;
  const uint64_t steadyBytesPerSecond_;
  const std::chrono::milliseconds stallGrace_;
  const std::chrono::milliseconds stallSlice_;
  Clock::time_point deadline_ = Clock::time_point::max();
  Clock::time_point requestStart_ = Clock::now();
  uint64_t received_ = 0;  // from the socket since the request began
  uint64_t allowance_ = std::numeric_limits<uint64_t>::max();
  bool spoiled_ = false;
  bool sendFailed_ = false;
  bool knownReadable_ = false;
  std::string pending_;  // written, not yet sent
  std::array<char, 4096> buffer_{};
  size_t bufferOffset_ = 0;
  size_t bufferSize_ = 0;
};

struct GuardedServer::Connection {
  enum class State { kIdle, kBusy, kClosedForRoom };
  socket_t sock;
  State state = State::kIdle;
  Clock::time_point idleSince = Clock::now();
  GuardedStream* stream = nullptr;
  std::chrono::milliseconds deadline{0};
  int refusal = 0;                // the status that answers the request before routing; 0: none
  bool otherUser = false;         // the peer is not this user's program (or could not be told)
  bool answerOtherUser = false;   // this request gets the other user's answer
  bool closeAfterAnswer = false;  // the connection ends after this answer
};

namespace {

// The connection this worker thread serves, for the hooks that only see a request.
thread_local GuardedServer::Connection* tCurrent = nullptr;  // NOLINT: set per worker task

}  // namespace

void RestartRequestDeadline() {
  GuardedServer::Connection* connection = tCurrent;
  if (connection != nullptr && connection->stream != nullptr) {
    connection->stream->StartRequest(Clock::now() + connection->deadline);
  }
}

GuardedServer::GuardedServer(ServerLimits limits) : limits_(std::move(limits)) {
  new_task_queue = [this] {
    pool_ = new WorkerPool({limits_.minThreads, limits_.maxThreads, limits_.maxQueued, limits_.threadIdleExit},
                           [this] { (void)CloseIdleConnection(); });
    return pool_;
  };
  // A refused request's body was never read: answer before routing, and close.
  set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    if (tCurrent != nullptr && tCurrent->answerOtherUser) {
      otherUserAnswer_(req, res);
      return HandlerResponse::Handled;
    }
    if (tCurrent == nullptr || tCurrent->refusal == 0) return HandlerResponse::Unhandled;
    res.status = tCurrent->refusal;
    return HandlerResponse::Handled;
  });
  // Whatever a handler throws answers a plain 500 with the error page; the
  // library's own answer would carry the exception's text in a header.
  set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) { res.status = 500; });
  // Called before every answer is written, also for the errors the library
  // answers before routing. Such an error (a request line or header it could
  // not read) leaves the rest of its request on the wire, where it would be read
  // as further requests and answered again; after a refusal or a failed handler
  // the body may be half read. Only a 404 follows a request read in full, so
  // every other error ends the connection. And while callers wait for a
  // worker, a connection gives its worker up after its answer instead of
  // keeping it for its next request. Either way the answer says so.
  set_post_routing_handler([this](const httplib::Request&, httplib::Response& res) {
    if (tCurrent == nullptr) return;
    const bool failed = res.status >= 400 && res.status != httplib::StatusCode::NotFound_404;
    if (!failed && !OthersWait()) return;
    tCurrent->closeAfterAnswer = true;
    res.headers.erase("Keep-Alive");
    // The library has said so already when the request asked for it or was refused.
    if (res.get_header_value("Connection") != "close") {
      res.headers.erase("Connection");
      res.set_header("Connection", "close");
    }
  });
}

void GuardedServer::SetPeerCheck(PeerCheck check, bool serveUnknown, Handler answer) {
  peerCheck_ = std::move(check);
  serveUnknownPeers_ = serveUnknown;
  otherUserAnswer_ = std::move(answer);
}

bool GuardedServer::OthersWait() { return pool_ != nullptr && pool_->TasksWaiting(); }

bool GuardedServer::CloseIdleConnection() {
  std::lock_guard<std::mutex> lock(connectionsMutex_);
  Connection* oldest = nullptr;
  const Clock::time_point idleEnough = Clock::now() - kIdleBeforeClosedForRoom;
  for (Connection* c : connections_) {
    if (c->state != Connection::State::kIdle || c->idleSince > idleEnough) continue;
    if (oldest == nullptr || c->idleSince < oldest->idleSince) oldest = c;
  }
  if (oldest == nullptr) return false;
  oldest->state = Connection::State::kClosedForRoom;
  // Wakes the connection's wait; its own thread closes the socket.
  (void)httplib::detail::shutdown_socket(oldest->sock);
  return true;
}

GuardedServer::Counts GuardedServer::ConnectionCounts() {
  std::lock_guard<std::mutex> lock(connectionsMutex_);
  Counts counts{connections_.size(), 0};
  for (Connection* c : connections_) counts.idle += c->state == Connection::State::kIdle ? 1 : 0;
  return counts;
}

bool GuardedServer::WaitForRequest(Connection& connection, GuardedStream& stream) {
  // A request that is already there is found by the first wait below at once;
  // the connection counts as idle meanwhile, but is too fresh to be closed for room.
  {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    if (connection.state == Connection::State::kClosedForRoom) return false;
    connection.state = stream.HasBuffered() ? Connection::State::kBusy : Connection::State::kIdle;
    connection.idleSince = Clock::now();
    if (stream.HasBuffered()) return true;
  }
  const Clock::time_point idleStart = Clock::now();
  const Clock::time_point giveUp = idleStart + limits_.keepAliveIdle;
  for (;;) {
    ssize_t ready = stream.HasBuffered() ? 1 : 0;
    if (ready == 0) {
      if (svr_sock_ == INVALID_SOCKET) return false;  // the server stops
      const auto left = std::chrono::duration_cast<std::chrono::microseconds>(giveUp - Clock::now());
      if (left.count() <= 0) return false;
      // A caller that found every worker taken while this connection was too
      // fresh to be closed for room gets its worker once it is not.
      if (Clock::now() - idleStart >= kIdleBeforeClosedForRoom && OthersWait()) return false;
      time_t sec = 0, usec = 0;
      SplitWait(std::min<std::chrono::microseconds>(left, limits_.idleSlice), sec, usec);
      ready = httplib::detail::select_read(connection.sock, sec, usec);
      if (ready < 0) return false;
    }
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    if (connection.state == Connection::State::kClosedForRoom) return false;
    if (ready > 0) {
      connection.state = Connection::State::kBusy;
      if (!stream.HasBuffered()) stream.MarkReadable();
      return true;
    }
  }
}

bool GuardedServer::process_and_close_socket(socket_t sock) {
  std::string remoteAddr, localAddr;
  int remotePort = 0, localPort = 0;
  httplib::detail::get_remote_ip_and_port(sock, remoteAddr, remotePort);
  httplib::detail::get_local_ip_and_port(sock, localAddr, localPort);

  GuardedStream stream(sock, std::chrono::seconds(read_timeout_sec_) + std::chrono::microseconds(read_timeout_usec_),
                       std::chrono::seconds(write_timeout_sec_) + std::chrono::microseconds(write_timeout_usec_),
                       [this] { return OthersWait(); }, limits_);
  Connection connection{sock};
  connection.stream = &stream;
  connection.deadline = limits_.requestDeadline;
  if (peerCheck_ && otherUserAnswer_) {
    const PeerOwner owner = peerCheck_(ConnectionEnds{localAddr, localPort, remoteAddr, remotePort});
    connection.otherUser = owner == PeerOwner::kOtherUser || (owner == PeerOwner::kUnknown && !serveUnknownPeers_);
  }
  {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    connections_.push_back(&connection);
  }
  tCurrent = &connection;

  bool ok = false;
  for (size_t count = keep_alive_max_count_; count > 0 && WaitForRequest(connection, stream); --count) {
    stream.StartRequest(Clock::now() + limits_.requestDeadline);
    connection.refusal = 0;
    connection.answerOtherUser = false;
    connection.closeAfterAnswer = false;
    bool connectionClosed = false;
    auto refuse = [&](int status, httplib::Request& req) {
      connection.refusal = status;
      connectionClosed = true;  // the body is still on the wire
      req.set_header("Connection", "close");
    };
    try {
      ok = process_request(stream, remoteAddr, remotePort, localAddr, localPort, count == 1, connectionClosed,
                           [&](httplib::Request& req) {
                             if (connection.otherUser && req.method != "OPTIONS") {
                               // Answered before its body is read, whatever it is.
                               refuse(0, req);
                               connection.answerOtherUser = true;
                               return;
                             }
                             const size_t limit = limits_.bodyLimit(req.path);
                             const bool chunked = httplib::detail::is_chunked_transfer_encoding(req.headers);
                             const bool announced = req.has_header("Content-Length");
                             bool invalid = false;
                             const uint64_t length =
                                 announced ? httplib::detail::get_header_value_u64(req.headers, "Content-Length",
                                                                                   0, 0, invalid)
                                           : 0;
                             if (chunked && announced) {
                               // Two framings of one body: no browser sends that, and a
                               // peer that reads the other one sees other requests.
                               refuse(httplib::StatusCode::BadRequest_400, req);
                             } else if ((chunked || length > 0 || invalid) && !MayCarryBody(req.method)) {
                               // A GET's body is never read, so it would become the next request.
                               refuse(httplib::StatusCode::BadRequest_400, req);
                             } else if (chunked) {
                               // Chunk sizes and line ends are not counted by the library's limit.
                               stream.LimitFurtherReads(uint64_t{limit} + limit / 8 + 4096);
                             } else if (announced) {
                               // An unreadable length is the library's 400; a long one is ours to refuse.
                               if (!invalid && length > limit) refuse(httplib::StatusCode::PayloadTooLarge_413, req);
                             } else {
                               // Without a length or chunks an HTTP/1.1 request has no body.
                               req.set_header("Content-Length", "0");
                             }
                           });
    } catch (...) {
      // Whatever reading or answering the request threw (memory while a
      // header or body grows): this connection ends, the worker goes on.
      stream.Discard();
      ok = false;
    }
    if (!stream.Flush()) ok = false;
    if (!ok || connectionClosed || connection.closeAfterAnswer || stream.Spoiled()) break;
  }

  tCurrent = nullptr;
  {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    connections_.remove(&connection);
  }
  (void)httplib::detail::shutdown_socket(sock);
  (void)httplib::detail::close_socket(sock);
  return ok;
}
