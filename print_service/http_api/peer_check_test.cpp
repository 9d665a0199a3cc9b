// Telling this user's callers from other users': the table lookups, the
// judgement and what the server does with it.
#include "print_service/http_api/peer_check.h"

#include "print_service/http_api/http_api.h"
#include "testing/raw_connection.h"
#include "testing/stub_handlers.h"
#include "testing/test_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

namespace {

using std::chrono::milliseconds;

TEST(PeerCheck, Ipv4TextIsReadStrictly) {
  const struct {
    const char* text;
    std::optional<uint32_t> address;
  } cases[] = {
      {"127.0.0.1", 0x7F000001u}, {"0.0.0.0", 0u}, {"255.255.255.255", 0xFFFFFFFFu}, {"10.1.2.3", 0x0A010203u},
      {"256.0.0.1", std::nullopt}, {"127.0.0", std::nullopt}, {"127.0.0.1.", std::nullopt},
      {"127.0.0.1 ", std::nullopt}, {"::1", std::nullopt}, {"", std::nullopt}, {"1..2.3", std::nullopt},
      {"0127.0.0.1", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseIpv4(c.text), c.address) << c.text;
}

// The server at 127.0.0.1:6780, a caller at 127.0.0.1:50000.
const ConnectionEnds kEnds{"127.0.0.1", 6780, "127.0.0.1", 50000};
constexpr uint32_t kLoopback = 0x7F000001u;

TEST(PeerCheck, ThePeerSocketIsTheRowFacingOurs) {
  const std::vector<TcpOwnerRow> rows = {
      {kLoopback, 6780, 0, 0, 4},                   // the listener
      {kLoopback, 6780, kLoopback, 50000, 1111},    // our own end of the connection
      {kLoopback, 50001, kLoopback, 6780, 2222},    // another caller
      {kLoopback, 50000, kLoopback, 6781, 3333},    // the caller's port, another server
      {0x0A000001u, 50000, kLoopback, 6780, 4444},  // the port from another address
      {kLoopback, 50000, kLoopback, 6780, 5555},    // the caller
  };
  EXPECT_EQ(FindPeerSocketOwner(rows, kEnds), std::optional<uint32_t>(5555));
  EXPECT_EQ(FindPeerSocketOwner({rows.begin(), rows.end() - 1}, kEnds), std::nullopt) << "the caller has gone";
  for (const ConnectionEnds& odd : {ConnectionEnds{"127.0.0.1", 6780, "::1", 50000},
                                    ConnectionEnds{"127.0.0.1", 6780, "127.0.0.1", 0},
                                    ConnectionEnds{"127.0.0.1", 70000, "127.0.0.1", 50000}}) {
    EXPECT_EQ(FindPeerSocketOwner(rows, odd), std::nullopt) << odd.peerAddress << ":" << odd.peerPort;
  }
}

TEST(PeerCheck, OnlyThisUsersProgramInThisSessionIsServed) {
  const struct {
    const char* name;
    std::optional<PeerProcess> peer;
    PeerOwner owner;
  } cases[] = {
      {"this user, this session", PeerProcess{false, 2, true}, PeerOwner::kThisUser},
      {"this process", PeerProcess{true, std::nullopt, std::nullopt}, PeerOwner::kThisUser},
      {"another session", PeerProcess{false, 3, true}, PeerOwner::kOtherUser},
      {"another user, this session", PeerProcess{false, 2, false}, PeerOwner::kOtherUser},
      {"another session, token unreadable", PeerProcess{false, 3, std::nullopt}, PeerOwner::kOtherUser},
      {"another user, session unreadable", PeerProcess{false, std::nullopt, false}, PeerOwner::kOtherUser},
      {"this session, token unreadable", PeerProcess{false, 2, std::nullopt}, PeerOwner::kUnknown},
      {"this user, session unreadable", PeerProcess{false, std::nullopt, true}, PeerOwner::kUnknown},
      {"no process", std::nullopt, PeerOwner::kUnknown},
  };
  for (const auto& c : cases) EXPECT_EQ(JudgePeerProcess(c.peer, 2), c.owner) << c.name;
}

TEST(PeerCheck, ProcNetTcpRowsCarryTheirOwnersUid) {
  const char table[] =
      "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
      "   0: 0100007F:1A7C 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 11 1 0 100 0 0 10 0\n"
      "   1: 0100007F:C350 0100007F:1A7C 01 00000000:00000000 00:00000000 00000000 65534        0 12 1 0 20 4 30 10 -1\n"
      "   2: 0100007F:1A7C 0100007F:C350 01 00000000:00000000 00:00000000 00000000  1000        0 13 1 0 20 4 30 10 -1\n"
      "   3: 0100007F:C351 garbage 01 00000000:00000000 00:00000000 00000000  1000\n"
      "   4: 0100007F:C352 0100007F:1A7C 01 00000000:00000000 00:00000000 00000000  x1000\n"
      "   5: 0101A8C0:C350 0100007F:1A7C 01 00000000:00000000 00:00000000 00000000  0";
  const std::vector<TcpOwnerRow> rows = ParseProcNetTcp(table);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[1].localAddress, kLoopback);
  EXPECT_EQ(rows[1].localPort, 50000);
  EXPECT_EQ(rows[1].remotePort, 6780);
  EXPECT_EQ(rows[3].localAddress, 0xC0A80101u);  // 192.168.1.1
  EXPECT_EQ(FindPeerSocketOwner(rows, kEnds), std::optional<uint32_t>(65534));
}

TEST(PeerCheck, TheListenerOnThePortOrOnEveryAddressHoldsIt) {
  const std::vector<TcpOwnerRow> rows = {
      {kLoopback, 50000, kLoopback, 6780, 1},  // a connection to the port, not a listener
      {0x0A000001u, 6780, 0, 0, 2},            // another address
      {kLoopback, 6781, 0, 0, 3},
  };
  EXPECT_EQ(FindListenerOwner(rows, kLoopback, 6780), std::nullopt);
  std::vector<TcpOwnerRow> onLoopback = rows, onEvery = rows;
  onLoopback.push_back({kLoopback, 6780, 0, 0, 4});
  onEvery.push_back({0, 6780, 0, 0, 5});
  EXPECT_EQ(FindListenerOwner(onLoopback, kLoopback, 6780), std::optional<uint32_t>(4));
  EXPECT_EQ(FindListenerOwner(onEvery, kLoopback, 6780), std::optional<uint32_t>(5));
}

TEST(PeerCheck, EachKindOfBindFailureIsSaidOnce) {
  using N = BindFailureNotice;
  const struct {
    const char* name;
    std::vector<PeerOwner> holders;
    std::vector<N> notices;
  } cases[] = {
      {"taken all along", {PeerOwner::kUnknown, PeerOwner::kThisUser, PeerOwner::kUnknown}, {N::kTaken, N::kNone, N::kNone}},
      {"another user's all along", {PeerOwner::kOtherUser, PeerOwner::kOtherUser}, {N::kOtherUser, N::kNone}},
      {"another user's after a copy of ours", {PeerOwner::kThisUser, PeerOwner::kOtherUser, PeerOwner::kOtherUser},
       {N::kTaken, N::kOtherUser, N::kNone}},
      {"ours after another user's", {PeerOwner::kOtherUser, PeerOwner::kThisUser}, {N::kOtherUser, N::kNone}},
  };
  for (const auto& c : cases) {
    BindFailureReporter reporter;
    std::vector<N> notices;
    for (PeerOwner holder : c.holders) notices.push_back(reporter.After(holder));
    EXPECT_EQ(notices, c.notices) << c.name;
  }
}

// The server's side: what a caller of each kind gets, and that nothing of
// another user's request reaches a handler.
TEST(PeerCheck, AnotherUsersCallerGetsTheRefusalOnEveryPathAndNothingElse) {
  auto handled = std::make_shared<std::atomic<int>>(0);
  ApiHandlers handlers;
  auto counting = [handled](const ApiRequest& req) {
    ++*handled;
    return StubJsonHandler(req);
  };
  handlers.getPrinterResolution = counting;
  handlers.getPrinters = counting;
  handlers.printImage = counting;
  auto verdict = std::make_shared<std::atomic<PeerOwner>>(PeerOwner::kOtherUser);
  auto asked = std::make_shared<std::atomic<int>>(0);
  PeerCheck check = [verdict, asked](const ConnectionEnds& ends) {
    ++*asked;
    EXPECT_EQ(ends.localAddress, "127.0.0.1");
    EXPECT_EQ(ends.peerAddress, "127.0.0.1");
    EXPECT_GT(ends.peerPort, 0);
    return verdict->load();
  };
  TestServer server(handlers, NoBodyLimitSet(), check, /*serveUnknownPeers=*/false);
  const std::string refusal = "{\n\t\"statusCode\":\t\"10002\",\n\t\"resultInfo\":\t\"" + std::string(kOtherUserText) + "\"\n}";

  const struct {
    const char* name;
    std::string request;
    const char* status;
    bool refusedBody;
  } cases[] = {
      {"a listing", "POST /klapi/GetPrinters HTTP/1.1\r\nHost: a\r\nContent-Length: 0\r\n\r\n", "HTTP/1.1 200", true},
      {"a text/plain print",
       "POST /klapi/PrintImage?printName=Q HTTP/1.1\r\nHost: a\r\nContent-Type: text/plain\r\nContent-Length: 20\r\n\r\n"
       "data:image/png;base6",
       "HTTP/1.1 200", true},
      {"a resolution", "GET /klapi/GetPrinterResolution?printName=Q HTTP/1.1\r\nHost: a\r\n\r\n", "HTTP/1.1 200", true},
      {"an unknown API path", "POST /klapi/Other HTTP/1.1\r\nHost: a\r\nContent-Length: 0\r\n\r\n", "HTTP/1.1 200", true},
      {"a chunked upload",
       "POST /klapi/PrintImage HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n5\r\ndata:\r\n0\r\n\r\n",
       "HTTP/1.1 200", true},
      {"the root", "GET / HTTP/1.1\r\nHost: a\r\n\r\n", "HTTP/1.1 403", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RawConnection connection(server.port());
    ASSERT_TRUE(connection.connected());
    // A second request on the same connection must not be read as the first's answer allows.
    ASSERT_TRUE(connection.Send(c.request + "POST /klapi/GetPrinters HTTP/1.1\r\nHost: a\r\nContent-Length: 0\r\n\r\n"));
    bool closed = false;
    const std::string received = connection.ReadUntilClosed(milliseconds(2000), closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(received.rfind(c.status, 0), 0u) << received;
    EXPECT_EQ(received.find("HTTP/1.1 ", 1), std::string::npos) << "one answer: " << received;
    if (c.refusedBody) {
      EXPECT_NE(received.find("Access-Control-Allow-Origin: *\r\n"), std::string::npos) << received;
      EXPECT_EQ(received.substr(received.find("\r\n\r\n") + 4), refusal);
    }
  }
  // A preflight tells nothing and lets the page read the refusal that follows.
  {
    RawConnection connection(server.port());
    ASSERT_TRUE(connection.Send("OPTIONS /klapi/PrintImage HTTP/1.1\r\nHost: a\r\nOrigin: https://shop.example\r\n\r\n"));
    const std::string received = connection.ReadAnswer(milliseconds(2000));
    EXPECT_EQ(received.rfind("HTTP/1.1 204", 0), 0u) << received;
  }
  EXPECT_EQ(handled->load(), 0) << "nothing was listed, stored or printed";

  // This user's program is served, and so is an unknown one only where the server is told to.
  verdict->store(PeerOwner::kThisUser);
  auto client = server.Client();
  auto answer = client.Post(kPathGetPrinters, "", "text/plain");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
  EXPECT_EQ(answer->body.find("10002"), std::string::npos) << answer->body;
  EXPECT_EQ(handled->load(), 1);

  verdict->store(PeerOwner::kUnknown);
  httplib::Client fresh("127.0.0.1", server.port());
  answer = fresh.Post(kPathGetPrinters, "", "text/plain");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->body, refusal);
  EXPECT_EQ(handled->load(), 1);
  EXPECT_GE(asked->load(), 9) << "asked once per connection";
}

TEST(PeerCheck, AnUnknownCallerIsServedWhereTheServerIsToldTo) {
  ApiHandlers handlers;
  handlers.getPrinterResolution = StubJsonHandler;
  handlers.getPrinters = StubJsonHandler;
  handlers.printImage = StubUploadHandler;
  TestServer server(handlers, NoBodyLimitSet(), [](const ConnectionEnds&) { return PeerOwner::kUnknown; },
                    /*serveUnknownPeers=*/true);
  auto client = server.Client();
  auto answer = client.Post(kPathGetPrinters, "", "text/plain");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->body.find(kOtherUserText), std::string::npos) << answer->body;
}

}  // namespace
