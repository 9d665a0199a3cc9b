// The route table served by a real server on a loopback port, with a fake spooler.
#include "print_service/http_api/http_api.h"

#include "testing/stub_handlers.h"
#include "print_service/printers/get_printers.h"
#include "testing/fake_printer_enumerator.h"
#include "testing/recording_log.h"
#include "testing/test_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

namespace {

using Names = std::vector<std::string>;

const char* const kApiPaths[] = {kPathGetPrinters, kPathPrintImage, kPathGetPrinterResolution};

class RouteTable : public ::testing::Test {
 protected:
  RouteTable()
      : spooler_({{"Office", "", 0}, {"KELO", "", 0}, {"KELO520", "", kAttributeWorkOffline},
                  {"Net", "\\\\srv", kAttributeNetwork}}),
        server_(Handlers()) {}

  ApiHandlers Handlers() {
    ApiHandlers handlers;
    handlers.getPrinterResolution = [this](const ApiRequest& req) {
      ++resolutionCalls_;
      return StubJsonHandler(req);
    };
    handlers.getPrinters = [this](const ApiRequest& req) { return HandleGetPrinters(spooler_, log_, req); };
    handlers.printImage = [this](const ApiRequest& req) {
      ++printCalls_;
      return StubUploadHandler(req);
    };
    return handlers;
  }

  static void ExpectCors(const httplib::Response& res) {
    EXPECT_EQ(res.get_header_value("Access-Control-Allow-Origin"), "*");
    EXPECT_EQ(res.get_header_value("Access-Control-Allow-Methods"), "GET, OPTIONS, POST, HEAD");
    EXPECT_EQ(res.get_header_value("Access-Control-Allow-Headers"), "Origin, X-Requested-With, Content-Type, Accept");
    EXPECT_EQ(res.get_header_value_count("Access-Control-Allow-Origin"), 1u);
  }

  static void ExpectNoCors(const httplib::Response& res) {
    EXPECT_FALSE(res.has_header("Access-Control-Allow-Origin"));
    EXPECT_FALSE(res.has_header("Access-Control-Allow-Methods"));
    EXPECT_FALSE(res.has_header("Access-Control-Allow-Headers"));
  }

  static void ExpectErrorPage(const httplib::Result& res, int status) {
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->status, status);
    EXPECT_EQ(res->body, "<p>Error Status: <span style='color:red;'>" + std::to_string(status) + "</span></p>");
    EXPECT_EQ(res->get_header_value("Content-Type"), "text/html");
  }

  FakePrinterEnumerator spooler_;
  RecordingLog log_;
  std::atomic<int> resolutionCalls_{0};
  std::atomic<int> printCalls_{0};
  TestServer server_;
};

TEST_F(RouteTable, PreflightAnswers204WithCorsAndNoBody) {
  ASSERT_GT(server_.port(), 0);
  auto client = server_.Client();
  for (const char* path : kApiPaths) {
    auto plain = client.Options(path);
    ASSERT_TRUE(plain) << path;
    EXPECT_EQ(plain->status, 204) << path;
    EXPECT_TRUE(plain->body.empty()) << path;
    EXPECT_FALSE(plain->has_header("Content-Type")) << path;
    ExpectCors(*plain);

    httplib::Headers browser = {{"Origin", "https://labels.example"},
                                {"Access-Control-Request-Method", "POST"},
                                {"Access-Control-Request-Headers", "content-type, x-custom"}};
    auto fromBrowser = client.Options(path, browser);
    ASSERT_TRUE(fromBrowser) << path;
    EXPECT_EQ(fromBrowser->status, 204) << path;
    EXPECT_TRUE(fromBrowser->body.empty()) << path;
    ExpectCors(*fromBrowser);
  }
}

TEST_F(RouteTable, RootRedirectsToHiWhichIsNotServed) {
  auto client = server_.Client();
  auto root = client.Get("/");
  ASSERT_TRUE(root);
  EXPECT_EQ(root->status, 302);
  EXPECT_EQ(root->get_header_value("Location"), "/hi");
  ExpectNoCors(*root);
  ExpectErrorPage(client.Get("/hi"), 404);

  auto head = client.Head("/");
  ASSERT_TRUE(head);
  EXPECT_EQ(head->status, 302);
  EXPECT_EQ(head->get_header_value("Location"), "/hi");
}

TEST_F(RouteTable, UnroutedRequestsGet404PageWithoutCors) {
  auto client = server_.Client();
  for (const char* path : kApiPaths) {
    auto get = client.Get(path);
    ExpectErrorPage(get, 404);
    if (get) ExpectNoCors(*get);
    for (const char* method : {"PUT", "PATCH", "DELETE"}) {
      httplib::Request req;
      req.method = method;
      req.path = path;
      auto res = client.send(req);
      ExpectErrorPage(res, 404);
    }
  }
  for (const char* path : {"/klapi/GetPrinters/", "/KLAPI/GetPrinters", "/klapi/getprinters", "/klapi/GetPrinters%20",
                           "/klapi/", "/klapi", "/hi/"}) {
    auto post = client.Post(path, "", "text/plain");
    ExpectErrorPage(post, 404);
    if (post) ExpectNoCors(*post);
  }
  ExpectErrorPage(client.Options("/"), 404);
  ExpectErrorPage(client.Options("/klapi/Other"), 404);
}

TEST_F(RouteTable, UnknownMethodGets400Page) {
  auto client = server_.Client();
  httplib::Request req;
  req.method = "BREW";
  req.path = kPathGetPrinters;
  ExpectErrorPage(client.send(req), 400);
}

TEST_F(RouteTable, ApiRoutesAnswerJsonWithCorsAndStatus200) {
  auto client = server_.Client();
  auto listing = client.Post(kPathGetPrinters, "", "text/plain");
  ASSERT_TRUE(listing);
  EXPECT_EQ(listing->status, 200);
  EXPECT_EQ(listing->get_header_value("Content-Type"), "application/json");
  ExpectCors(*listing);
  EXPECT_EQ(listing->body, BuildPrinterListAnswer({"Office", "KELO", "KELO520", "Net"}));

  auto resolution = client.Post(std::string(kPathGetPrinterResolution) + "?printName=KELO", "", "text/plain");
  ASSERT_TRUE(resolution);
  EXPECT_EQ(resolution->status, 200);
  ExpectCors(*resolution);
  EXPECT_EQ(resolution->get_header_value("Content-Type"), "application/json");
  EXPECT_EQ(resolutionCalls_.load(), 1);

  const std::string big(300000, 'A');
  auto print = client.Post(kPathPrintImage, "data:image/png;base64," + big, "text/plain");
  ASSERT_TRUE(print);
  EXPECT_EQ(print->status, 200);
  ExpectCors(*print);
  EXPECT_EQ(printCalls_.load(), 1);
  // The body was consumed: the kept-alive connection serves the next request.
  auto after = client.Post(kPathGetPrinters, "", "text/plain");
  ASSERT_TRUE(after);
  EXPECT_EQ(after->status, 200);
}

TEST_F(RouteTable, FilterParametersCountByPresenceInQueryOrForm) {
  auto client = server_.Client();
  const std::string supported = BuildPrinterListAnswer({"KELO", "KELO520"});
  const std::string online = BuildPrinterListAnswer({"Office", "KELO", "Net"});
  const std::string local = BuildPrinterListAnswer({"Office", "KELO", "KELO520"});
  struct Case {
    std::string target;
    std::string body;
    std::string contentType;
    const std::string* expected;
  };
  const Case cases[] = {
      {"?onlySupported=1", "", "text/plain", &supported},
      {"?onlySupported=0", "", "text/plain", &supported},
      {"?onlySupported=false", "", "text/plain", &supported},
      {"?onlySupported=", "", "text/plain", &supported},
      {"?onlySupported", "", "text/plain", &supported},
      {"?onlyOnline=true&other=1", "", "text/plain", &online},
      {"", "onlyLocal=0", "application/x-www-form-urlencoded", &local},
      {"", "onlySupported=", "application/x-www-form-urlencoded", &supported},
      {"", "onlyLocal=1", "text/plain", nullptr},  // not a form: the body is ignored
      {"?onlysupported=1&OnlyLocal=1", "", "text/plain", nullptr},
  };
  const std::string all = BuildPrinterListAnswer({"Office", "KELO", "KELO520", "Net"});
  for (const Case& c : cases) {
    auto res = client.Post(std::string(kPathGetPrinters) + c.target, c.body, c.contentType.c_str());
    ASSERT_TRUE(res) << c.target << c.body;
    EXPECT_EQ(res->body, c.expected ? *c.expected : all) << c.target << " " << c.body;
  }
}

TEST_F(RouteTable, SpoolerFailureStillAnswersAndServing) {
  auto client = server_.Client();
  spooler_.FailNextCalls(true);
  auto failed = client.Post(kPathGetPrinters, "", "text/plain");
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->status, 200);
  EXPECT_EQ(failed->body, BuildPrinterListAnswer({}));
  spooler_.FailNextCalls(false);
  auto recovered = client.Post(kPathGetPrinters, "", "text/plain");
  ASSERT_TRUE(recovered);
  EXPECT_EQ(recovered->body, BuildPrinterListAnswer({"Office", "KELO", "KELO520", "Net"}));
}

TEST_F(RouteTable, ConcurrentListingsWithDifferentFiltersGetTheirOwnAnswers) {
  spooler_.SetDelay(std::chrono::milliseconds(20));  // keep the requests overlapping
  const char* const queries[8] = {"",
                                  "?onlySupported=1",
                                  "?onlyOnline=1",
                                  "?onlyOnline=1&onlySupported=1",
                                  "?onlyLocal=1",
                                  "?onlyLocal=1&onlySupported=1",
                                  "?onlyLocal=1&onlyOnline=1",
                                  "?onlyLocal=1&onlyOnline=1&onlySupported=1"};
  const Names expected[8] = {{"Office", "KELO", "KELO520", "Net"}, {"KELO", "KELO520"}, {"Office", "KELO", "Net"},
                             {"KELO"},                            {"Office", "KELO", "KELO520"},
                             {"KELO", "KELO520"},                 {"Office", "KELO"},
                             {"KELO"}};
  std::atomic<int> wrong{0};
  std::atomic<int> failed{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < 32; ++i) {
    clients.emplace_back([&, i] {
      auto client = server_.Client();
      for (int round = 0; round < 3; ++round) {
        const int which = (i + round) % 8;
        auto res = client.Post(std::string(kPathGetPrinters) + queries[which], "", "text/plain");
        if (!res) {
          ++failed;
        } else if (res->body != BuildPrinterListAnswer(expected[which])) {
          ++wrong;
        }
      }
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace

namespace {

// Headers and body leave in two writes; with Nagle's algorithm the body would wait
// for the client's delayed acknowledgement (about 40 ms on Linux, up to 200 ms on
// Windows) on every kept-alive request.
TEST(ServerSockets, KeptAliveAnswersDoNotWaitForDelayedAcknowledgements) {
  FakePrinterEnumerator spooler({{"KELO", "", 0}});
  RecordingLog log;
  ApiHandlers handlers;
  handlers.getPrinters = [&](const ApiRequest& req) { return HandleGetPrinters(spooler, log, req); };
  handlers.getPrinterResolution = StubJsonHandler;
  handlers.printImage = StubUploadHandler;
  TestServer server(std::move(handlers));
  auto client = server.Client();
  client.set_keep_alive(true);
  ASSERT_TRUE(client.Post(kPathGetPrinters, "", "text/plain"));
  const auto start = std::chrono::steady_clock::now();
  constexpr int kRequests = 40;
  for (int i = 0; i < kRequests; ++i) ASSERT_TRUE(client.Post(kPathGetPrinters, "", "text/plain"));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  // Stalled answers take 40 requests x 40 ms = 1.6 s; unstalled ones a few ms each.
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), 800);
}

}  // namespace
