// The server under idle, slow, oversized and port-stealing callers, on real sockets.
#include "print_service/http_api/guarded_server.h"

#include "common/scope_guard.h"
#include "print_service/http_api/http_api.h"
#include "print_service/http_api/worker_pool.h"
#include "testing/raw_connection.h"
#include "testing/stub_handlers.h"
#include "testing/test_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

ApiHandlers EchoLengthHandlers() {
  ApiHandlers handlers;
  handlers.getPrinterResolution = StubJsonHandler;
  // Answers with the length of the body it was given.
  handlers.getPrinters = [](const ApiRequest& req) {
    size_t length = 0;
    (void)req.readBody([&length](const char*, size_t n) {
      length += n;
      return true;
    });
    ApiAnswer answer;
    answer.body = std::to_string(length);
    answer.contentType = "text/plain";
    return answer;
  };
  handlers.printImage = StubUploadHandler;
  return handlers;
}

TEST(WorkerPool, GrowsToItsCapAsksForRoomRefusesBeyondTheQueueAndShrinks) {
  std::mutex mutex;
  std::condition_variable released;
  bool release = false;
  std::atomic<int> ran{0};
  std::atomic<int> roomAsked{0};
  auto releaseAll = [&] {
    {
      std::lock_guard<std::mutex> lock(mutex);
      release = true;
    }
    released.notify_all();
  };
  WorkerPool pool({1, 3, 2, milliseconds(100)}, [&] { ++roomAsked; });
  ScopeGuard unblock(releaseAll);  // a failed assertion must not leave the pool's threads blocked
  auto blocking = [&] {
    std::unique_lock<std::mutex> lock(mutex);
    released.wait(lock, [&] { return release; });
    ++ran;
  };
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(pool.enqueue(blocking));
  EXPECT_EQ(pool.Snapshot().threads, 3u);
  EXPECT_EQ(roomAsked, 0);
  ASSERT_TRUE(pool.enqueue(blocking));  // every thread busy: waits, and asks for room
  ASSERT_TRUE(pool.enqueue(blocking));
  EXPECT_EQ(roomAsked, 2);
  EXPECT_EQ(pool.Snapshot().threads, 3u);
  EXPECT_FALSE(pool.enqueue(blocking));  // the queue is full
  releaseAll();
  const auto start = Clock::now();
  while ((ran < 5 || pool.Snapshot().threads > 1) && MillisecondsSince(start) < 5000) {
    std::this_thread::sleep_for(milliseconds(10));
  }
  EXPECT_EQ(ran, 5);
  EXPECT_EQ(pool.Snapshot().threads, 1u);  // the idle ones above the floor ended
  ASSERT_TRUE(pool.enqueue([&] { ++ran; }));
  pool.shutdown();
  EXPECT_EQ(ran, 6);
}

// Idle kept-alive connections and connections that never send a request each
// hold a worker; a new caller must not wait for their time-out.
TEST(ServerSockets, NewRequestIsServedAtOnceBehindManyIdleConnections) {
  for (size_t maxThreads : {size_t{64}, size_t{8}}) {
    SCOPED_TRACE(maxThreads);
    ServerLimits limits = NoBodyLimitSet();
    limits.maxThreads = maxThreads;
    TestServer server(EchoLengthHandlers(), limits);
    ASSERT_NE(server.port(), 0);
    std::vector<std::unique_ptr<RawConnection>> idle;
    for (int i = 0; i < 64; ++i) {
      idle.push_back(std::make_unique<RawConnection>(server.port()));
      ASSERT_TRUE(idle.back()->connected());
      if (i % 2 == 0) {  // kept alive after one answer
        ASSERT_TRUE(idle.back()->Send("POST /klapi/GetPrinters HTTP/1.1\r\nHost: a\r\nContent-Length: 0\r\n\r\n"));
        ASSERT_NE(idle.back()->ReadAnswer(milliseconds(5000)).find("200 OK"), std::string::npos);
      }
    }
    std::this_thread::sleep_for(milliseconds(100));
    for (int round = 0; round < 3; ++round) {
      auto client = server.Client();
      const auto start = Clock::now();
      auto answer = client.Post(kPathGetPrinters, "", "text/plain");
      ASSERT_TRUE(answer);
      EXPECT_EQ(answer->status, 200);
      EXPECT_LT(MillisecondsSince(start), 500);
    }
  }
}

// Connections that arrive together (a page's burst, a load tool reconnecting
// after each connection's last kept-alive request) all wait in the listen
// queue: one that does not fit would be retried by the client's TCP a second
// later, and its request answered a second late.
TEST(ServerSockets, ABurstOfNewConnectionsIsAnsweredWithoutTheirRetries) {
  TestServer server(EchoLengthHandlers(), NoBodyLimitSet());
  ASSERT_NE(server.port(), 0);
  std::vector<std::unique_ptr<RawConnection>> burst;
  const auto start = Clock::now();
  for (int i = 0; i < 100; ++i) {
    burst.push_back(std::make_unique<RawConnection>(server.port()));
    ASSERT_TRUE(burst.back()->connected());
    ASSERT_TRUE(burst.back()->Send("POST /klapi/GetPrinters HTTP/1.1\r\nHost: a\r\nContent-Length: 0\r\n\r\n"));
  }
  for (auto& connection : burst) {
    EXPECT_NE(connection->ReadAnswer(milliseconds(5000)).find("200 OK"), std::string::npos);
  }
  EXPECT_LT(MillisecondsSince(start), 700);
}

// Callers that keep every worker busy, by trickling their requests within the
// deadline or by sending one request after another, must not keep a new caller
// waiting for more than about a second.
TEST(ServerSockets, CallersThatNeverGoIdleCannotHoldEveryWorker) {
  constexpr size_t kWorkers = 4;
  for (const bool trickle : {true, false}) {
    SCOPED_TRACE(trickle ? "trickled requests" : "one request after another");
    ServerLimits limits = NoBodyLimitSet();
    limits.maxThreads = kWorkers;
    limits.minThreads = 1;
    TestServer server(EchoLengthHandlers(), limits);
    std::atomic<bool> stop{false};
    std::atomic<int> busyAnswers{0};
    std::vector<std::thread> callers;
    for (size_t i = 0; i < kWorkers; ++i) {
      callers.emplace_back([&] {
        const auto end = Clock::now() + milliseconds(4000);
        if (trickle) {
          // A header line every 100 ms: never idle, always inside the deadline;
          // once dropped, straight back with a new connection.
          while (!stop && Clock::now() < end) {
            RawConnection connection(server.port());
            if (!connection.Send("POST /klapi/GetPrinters HTTP/1.1\r\nHost: a\r\n")) continue;
            bool closed = false;
            while (!stop && !closed && Clock::now() < end && connection.Send("X-Slow: 1\r\n")) {
              (void)connection.ReadUntilClosed(milliseconds(100), closed);
            }
          }
        } else {
          auto client = server.Client();
          client.set_keep_alive(true);
          while (!stop && Clock::now() < end) {
            if (client.Post(kPathGetPrinters, "", "text/plain")) ++busyAnswers;
          }
        }
      });
    }
    ScopeGuard joinCallers([&] {
      stop = true;
      for (std::thread& t : callers) t.join();
    });
    std::this_thread::sleep_for(milliseconds(1500));  // every worker taken, the trickled requests past their grace
    for (int round = 0; round < 3; ++round) {
      auto client = server.Client();
      const auto start = Clock::now();
      auto answer = client.Post(kPathGetPrinters, "ab", "text/plain");
      ASSERT_TRUE(answer) << httplib::to_string(answer.error()) << " after " << MillisecondsSince(start) << " ms";
      EXPECT_EQ(answer->body, "2");
      EXPECT_LT(MillisecondsSince(start), trickle ? 600 : 500);
    }
    joinCallers.Dismiss();
    stop = true;
    for (std::thread& t : callers) t.join();
    if (!trickle) {
      EXPECT_GT(busyAnswers.load(), 100) << "the busy callers were served as well";
    }
  }
}

// With the one worker taken by an upload and a caller waiting: an upload that
// streams steadily (2 MiB/s, slower than any loopback upload) keeps its worker
// and is answered; one that trickles gives its worker up after the slow grace.
TEST(ServerSockets, ASteadyUploadKeepsItsWorkerWhereATrickleGivesItUp) {
  const struct {
    const char* name;
    size_t piece;  // bytes every 16 ms
    bool uploadAnswered;
    long long callerWithinMs;
  } rows[] = {
      {"steady", 32768, true, 1300},
      {"trickle", 16, false, 600},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ServerLimits limits = NoBodyLimitSet();
    limits.maxThreads = 1;
    limits.minThreads = 1;
    limits.bodyLimit = [](const std::string&) { return size_t{4} << 20; };
    TestServer server(EchoLengthHandlers(), limits);
    const size_t pieces = 48;
    std::string uploadAnswer;
    std::thread upload([&] {
      RawConnection connection(server.port());
      if (!connection.Send("POST /klapi/GetPrinters HTTP/1.1\r\nHost: a\r\nContent-Length: " +
                           std::to_string(row.piece * pieces) + "\r\n\r\n")) {
        return;
      }
      for (size_t i = 0; i < pieces && connection.Send(std::string(row.piece, 'x')); ++i) {
        std::this_thread::sleep_for(milliseconds(16));
      }
      uploadAnswer = connection.ReadAnswer(milliseconds(3000));
    });
    std::this_thread::sleep_for(milliseconds(50));  // the upload has the worker
    auto client = server.Client();
    const auto start = Clock::now();
    auto answer = client.Post(kPathGetPrinters, "ab", "text/plain");
    const long long waited = MillisecondsSince(start);
    upload.join();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->body, "2");
    EXPECT_LT(waited, row.callerWithinMs);
    EXPECT_EQ(uploadAnswer.find("\r\n\r\n" + std::to_string(row.piece * pieces)) != std::string::npos,
              row.uploadAnswered)
        << uploadAnswer.substr(0, 200);
  }
}

struct HostileCase {
  const char* name;
  std::string request;
  const char* answerStart;  // the status line expected, nullptr: closed without one
  bool closes;
};

TEST(ServerSockets, BodiesAreMeasuredBeforeTheyAreRead) {
  ServerLimits limits = NoBodyLimitSet();
  TestServer server(EchoLengthHandlers(), limits);
  const std::string chunk(20 * 1024, 'a');
  char chunkSize[16];
  (void)std::snprintf(chunkSize, sizeof chunkSize, "%zx\r\n", chunk.size());
  const HostileCase cases[] = {
      {"announced 200 MB to a plain route",
       "POST /klapi/GetPrinters HTTP/1.1\r\nHost: a\r\nContent-Length: 209715200\r\n\r\nonlyLocal=1", "HTTP/1.1 413",
       true},
      {"announced a byte over the image limit",
       "POST /klapi/PrintImage HTTP/1.1\r\nHost: a\r\nContent-Length: 67108865\r\n\r\ndata:", "HTTP/1.1 413", true},
      {"announced a byte over the plain limit",
       "POST /klapi/GetPrinterResolution HTTP/1.1\r\nHost: a\r\nContent-Length: 16385\r\n\r\n", "HTTP/1.1 413", true},
      {"no length and no chunks: an empty body at once", "POST /klapi/GetPrinters HTTP/1.1\r\nHost: a\r\n\r\n",
       "HTTP/1.1 200", false},
      {"chunks beyond the plain limit",
       "POST /klapi/GetPrinters HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string(chunkSize) +
           chunk + "\r\n" + chunkSize + chunk + "\r\n0\r\n\r\n",
       "HTTP/1.1 400", true},
  };
  for (const HostileCase& c : cases) {
    SCOPED_TRACE(c.name);
    RawConnection connection(server.port());
    ASSERT_TRUE(connection.connected());
    const auto start = Clock::now();
    (void)connection.Send(c.request);  // the server may close before taking it all
    bool closed = false;
    const std::string answer = connection.ReadUntilClosed(milliseconds(1500), closed);
    EXPECT_EQ(answer.rfind(c.answerStart, 0), 0u) << answer.substr(0, 200);
    EXPECT_EQ(closed, c.closes);
    if (c.closes) {
      EXPECT_LT(MillisecondsSince(start), 1000);
    } else {
      EXPECT_NE(answer.find("\r\n\r\n0"), std::string::npos) << answer;  // the handler saw no body
    }
  }
  // The server is still there for everyone else.
  auto client = server.Client();
  auto answer = client.Post(kPathGetPrinters, "onlyLocal=1", "application/x-www-form-urlencoded");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->body, "11");
}

// Answers in what a connection sent back: their status lines (the bodies here never hold one).
size_t AnswerCount(const std::string& received) {
  size_t count = 0;
  for (size_t at = 0; (at = received.find("HTTP/1.1 ", at)) != std::string::npos; at += 9) ++count;
  return count;
}

// A request the server refuses before routing leaves its unread rest on the
// wire; read as further requests, it would draw more answers, which the
// client would take for the replies to its next requests.
TEST(ServerSockets, ARefusedRequestGetsOneAnswerAndItsConnectionEnds) {
  TestServer server(EchoLengthHandlers());
  const std::string smuggled = "POST /klapi/GetPrinters HTTP/1.1\r\nHost: a\r\nContent-Length: 0\r\n\r\n";
  const HostileCase cases[] = {
      {"an unknown method with an empty body",
       "FOO /klapi/GetPrinters HTTP/1.1\r\nHost: a\r\nAccept: */*\r\nContent-Length: 0\r\n\r\n", "HTTP/1.1 400", true},
      {"an unknown method without a length", "FOO /klapi/GetPrinters HTTP/1.1\r\nHost: a\r\nAccept: */*\r\n\r\n",
       "HTTP/1.1 400", true},
      {"a request line that is not HTTP", "hello there\r\nHost: a\r\nX: 1\r\nY: 2\r\n\r\n", "HTTP/1.1 400", true},
      {"chunks that also announce a length",
       "POST /klapi/PrintImage HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\nContent-Length: 0\r\n\r\n"
       "5\r\ndata:\r\n0\r\n\r\n",
       "HTTP/1.1 400", true},
      {"a length that is not a number", "POST /klapi/GetPrinters HTTP/1.1\r\nHost: a\r\nContent-Length: 1x\r\n\r\n",
       "HTTP/1.1 400", true},
      {"a GET whose body is another request",
       "GET /hi HTTP/1.1\r\nHost: a\r\nContent-Length: " + std::to_string(smuggled.size()) + "\r\n\r\n" + smuggled,
       "HTTP/1.1 400", true},
  };
  for (const HostileCase& c : cases) {
    SCOPED_TRACE(c.name);
    RawConnection connection(server.port());
    ASSERT_TRUE(connection.connected());
    (void)connection.Send(c.request);
    bool closed = false;
    const std::string received = connection.ReadUntilClosed(milliseconds(1000), closed);
    EXPECT_EQ(received.rfind(c.answerStart, 0), 0u) << received.substr(0, 200);
    EXPECT_EQ(AnswerCount(received), 1u) << received;
    EXPECT_TRUE(closed);
    // And it says so once.
    const size_t first = received.find("Connection: close\r\n");
    EXPECT_NE(first, std::string::npos) << received;
    EXPECT_EQ(received.find("Connection: close\r\n", first + 1), std::string::npos) << received;
  }
}

TEST(ServerSockets, AKeptAliveConnectionGoesOnAfterARequestReadInFull) {
  TestServer server(EchoLengthHandlers());
  RawConnection connection(server.port());
  ASSERT_TRUE(connection.connected());
  ASSERT_TRUE(connection.Send("POST /nowhere HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n\r\nabc"
                              "GET / HTTP/1.1\r\nHost: a\r\nContent-Length: 0\r\n\r\n"
                              "POST /klapi/GetPrinters HTTP/1.1\r\nHost: a\r\nContent-Length: 2\r\n\r\nab"));
  bool closed = false;
  const std::string received = connection.ReadUntilClosed(milliseconds(1000), closed);
  EXPECT_FALSE(closed);
  EXPECT_EQ(AnswerCount(received), 3u) << received;
  EXPECT_EQ(received.rfind("HTTP/1.1 404", 0), 0u);
  EXPECT_NE(received.find("HTTP/1.1 302"), std::string::npos);
  EXPECT_EQ(received.substr(received.size() - 5), "\r\n\r\n2") << "the third saw its two bytes";
}

// An answer leaves in pieces the server collects before sending: whatever its
// size, it arrives whole, and answers to pipelined requests keep their order.
TEST(ServerSockets, AnswersOfEverySizeArriveWholeAndInOrder) {
  ApiHandlers handlers = EchoLengthHandlers();
  handlers.getPrinterResolution = [](const ApiRequest& req) {
    const auto n = req.params.find("n");
    ApiAnswer answer;
    for (size_t i = 0, size = std::stoul(n->second); i < size; ++i) answer.body.push_back(static_cast<char>('a' + i % 26));
    answer.contentType = "text/plain";
    return answer;
  };
  TestServer server(std::move(handlers));
  // Around the size the server collects before it sends, and well past it.
  const size_t sizes[] = {0, 1, 65000, 65536, 70000, 3 * 65536 + 7};
  RawConnection connection(server.port());
  ASSERT_TRUE(connection.connected());
  std::string requests;
  for (size_t size : sizes) {
    requests += "POST " + std::string(kPathGetPrinterResolution) + "?n=" + std::to_string(size) +
                " HTTP/1.1\r\nHost: a\r\nContent-Length: 0\r\n\r\n";
  }
  ASSERT_TRUE(connection.Send(requests));
  for (size_t size : sizes) {
    SCOPED_TRACE(size);
    const std::string received = connection.ReadAnswer(milliseconds(2000));
    ASSERT_EQ(received.rfind("HTTP/1.1 200", 0), 0u) << received.substr(0, 200);
    EXPECT_NE(received.find("Content-Length: " + std::to_string(size) + "\r\n"), std::string::npos);
    const std::string body = received.substr(received.find("\r\n\r\n") + 4);
    ASSERT_EQ(body.size(), size) << "nothing of the next answer is glued on either";
    for (size_t i = 0; i < size; i += 4099) ASSERT_EQ(body[i], static_cast<char>('a' + i % 26)) << i;
  }
}

// A caller that waits for "100 Continue" before it sends its body gets it
// before the server waits for that body.
TEST(ServerSockets, AnInterimAnswerIsSentBeforeTheBodyIsAwaited) {
  TestServer server(EchoLengthHandlers());
  RawConnection connection(server.port());
  ASSERT_TRUE(connection.connected());
  ASSERT_TRUE(connection.Send(std::string("POST ") + kPathGetPrinters +
                              " HTTP/1.1\r\nHost: a\r\nExpect: 100-continue\r\nContent-Length: 3\r\n\r\n"));
  EXPECT_EQ(connection.ReadAnswer(milliseconds(1000)), "HTTP/1.1 100 Continue\r\n\r\n");
  ASSERT_TRUE(connection.Send("abc"));
  const std::string received = connection.ReadAnswer(milliseconds(1000));
  EXPECT_EQ(received.rfind("HTTP/1.1 200", 0), 0u) << received;
  EXPECT_EQ(received.substr(received.size() - 5), "\r\n\r\n3") << received;
}

// What a request's processing throws ends that connection alone: the answer,
// if any, never carries the exception's text, and the workers serve on.
TEST(ServerSockets, WhateverARequestThrowsEndsOnlyItsConnection) {
  ApiHandlers handlers = EchoLengthHandlers();
  handlers.getPrinterResolution = [](const ApiRequest&) -> ApiAnswer { throw std::runtime_error("secret detail"); };
  handlers.printImage = [](const ApiRequest&) -> ApiAnswer { throw std::bad_alloc(); };
  ServerLimits limits = NoBodyLimitSet();
  limits.maxThreads = 2;
  limits.minThreads = 1;
  // Called while the headers are looked at, outside every route handler.
  limits.bodyLimit = [](const std::string& path) -> size_t {
    if (path == "/throws") throw std::bad_alloc();
    return 16 * 1024;
  };
  TestServer server(std::move(handlers), limits);
  for (int round = 0; round < 4; ++round) {  // more than the workers
    for (const char* target : {kPathGetPrinterResolution, kPathPrintImage}) {
      SCOPED_TRACE(target);
      RawConnection connection(server.port());
      ASSERT_TRUE(connection.connected());
      (void)connection.Send(std::string("POST ") + target + " HTTP/1.1\r\nHost: a\r\nContent-Length: 1\r\n\r\nx");
      bool closed = false;
      const std::string received = connection.ReadUntilClosed(milliseconds(1000), closed);
      EXPECT_EQ(received.rfind("HTTP/1.1 500", 0), 0u) << received;
      EXPECT_EQ(received.find("secret"), std::string::npos) << received;
      EXPECT_EQ(received.find("EXCEPTION_WHAT"), std::string::npos) << received;
      EXPECT_TRUE(closed);
    }
    RawConnection connection(server.port());
    ASSERT_TRUE(connection.connected());
    (void)connection.Send("POST /throws HTTP/1.1\r\nHost: a\r\nContent-Length: 0\r\n\r\n");
    bool closed = false;
    EXPECT_EQ(connection.ReadUntilClosed(milliseconds(1000), closed), "");
    EXPECT_TRUE(closed);
  }
  auto client = server.Client();
  auto answer = client.Post(kPathGetPrinters, "abc", "text/plain");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->body, "3");
}

// A request that trickles in never holds its worker past the total deadline,
// however steadily each byte arrives.
TEST(ServerSockets, TrickledRequestsAreCutOffAtTheDeadline) {
  ServerLimits limits = NoBodyLimitSet();
  limits.requestDeadline = milliseconds(600);
  TestServer server(EchoLengthHandlers(), limits);
  struct Trickle {
    const char* name;
    std::string start;
    std::string drip;
  };
  const Trickle cases[] = {
      {"headers", "POST /klapi/GetPrinters HTTP/1.1\r\nHost: a\r\n", "X-Slow: 1\r\n"},
      {"body", "POST /klapi/GetPrinters HTTP/1.1\r\nHost: a\r\nContent-Length: 1000\r\n\r\n", "a"},
  };
  for (const Trickle& c : cases) {
    SCOPED_TRACE(c.name);
    RawConnection connection(server.port());
    ASSERT_TRUE(connection.connected());
    const auto start = Clock::now();
    ASSERT_TRUE(connection.Send(c.start));
    bool closed = false;
    while (!closed && MillisecondsSince(start) < 4000) {
      if (!connection.Send(c.drip)) break;
      (void)connection.ReadUntilClosed(milliseconds(100), closed);
    }
    EXPECT_TRUE(closed || MillisecondsSince(start) < 4000);
    EXPECT_LT(MillisecondsSince(start), 1500);
  }
}

// The program's own options on Windows; elsewhere the library's default without
// SO_REUSEPORT, which would let both sockets listen on the port.
httplib::SocketOptions PortOptionsWithoutSharing() {
#ifdef _WIN32
  return ExclusivePortSocketOptions();
#else
  return [](socket_t sock) {
    int on = 1;
    (void)setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  };
#endif
}

// A listening socket on a free loopback port, closed when destroyed.
class PortHolder {
 public:
  PortHolder() {
    sock_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    if (sock_ == INVALID_SOCKET || ::bind(sock_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(sock_, 4) != 0 || ::getsockname(sock_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
  }
  ~PortHolder() { Release(); }
  PortHolder(const PortHolder&) = delete;
  PortHolder& operator=(const PortHolder&) = delete;
  int port() const { return port_; }
  void Release() {
    if (sock_ != INVALID_SOCKET) (void)httplib::detail::close_socket(sock_);
    sock_ = INVALID_SOCKET;
  }

 private:
  socket_t sock_ = INVALID_SOCKET;
  int port_ = 0;
};

// While another socket holds the port the server keeps trying, and serves as
// soon as the port is free.
TEST(ServerSockets, BindsOnceThePortIsFree) {
  PortHolder holder;
  const int port = holder.port();
  ASSERT_GT(port, 0);
  std::atomic<int> failedBinds{0};
  std::atomic<bool> listening{false};
  std::thread serverThread([&] {
    HttpServerSetup setup;
    setup.handlers = EchoLengthHandlers();
    setup.port = port;
    setup.bindRetry = milliseconds(100);
    setup.socketOptions = PortOptionsWithoutSharing();
    setup.onBindFailed = [&] {
      ++failedBinds;
      return true;
    };
    setup.onListening = [&](int) { listening = true; };
    (void)RunHttpServerWith(std::move(setup));
  });
  ScopeGuard join([&] {
    (void)StopHttpServer(std::chrono::seconds(10));
    serverThread.join();
  });
  const auto start = Clock::now();
  while (failedBinds < 3 && MillisecondsSince(start) < 5000) std::this_thread::sleep_for(milliseconds(10));
  EXPECT_GE(failedBinds, 3);
  EXPECT_FALSE(listening);
  holder.Release();
  const auto freed = Clock::now();
  while (!listening && MillisecondsSince(freed) < 5000) std::this_thread::sleep_for(milliseconds(10));
  EXPECT_TRUE(listening);
  EXPECT_LT(MillisecondsSince(freed), 1000);
  httplib::Client client(kApiHost, port);
  auto answer = client.Post(kPathGetPrinters, "", "text/plain");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
}

// Stopping while the port is still taken ends the retries.
TEST(ServerSockets, StopEndsTheWaitForThePort) {
  PortHolder holder;
  const int port = holder.port();
  ASSERT_GT(port, 0);
  std::atomic<int> failedBinds{0};
  std::thread serverThread([&] {
    HttpServerSetup setup;
    setup.handlers = EchoLengthHandlers();
    setup.port = port;
    setup.bindRetry = std::chrono::seconds(30);
    setup.socketOptions = PortOptionsWithoutSharing();
    setup.onBindFailed = [&] {
      ++failedBinds;
      return true;
    };
    (void)RunHttpServerWith(std::move(setup));
  });
  const auto start = Clock::now();
  while (failedBinds < 1 && MillisecondsSince(start) < 5000) std::this_thread::sleep_for(milliseconds(10));
  const auto stopAt = Clock::now();
  EXPECT_TRUE(StopHttpServer(std::chrono::seconds(10)));
  serverThread.join();
  EXPECT_LT(MillisecondsSince(stopAt), 2000);
}

}  // namespace
