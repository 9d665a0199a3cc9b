// The print route through a real server: what only the wire shows (multipart
// parsing, kept-alive connections after refused and waiting uploads).
#include "print_service/imaging/print_image.h"

#include "testing/fake_print_ports.h"
#include "testing/recording_log.h"
#include "testing/stub_handlers.h"
#include "testing/test_server.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

class PrintImageRoute : public ::testing::Test {
 protected:
  PrintImageRoute() : ports_{store_, printer_, clock_, log_, 4096}, server_(Handlers()) {}

  ApiHandlers Handlers() {
    ApiHandlers handlers;
    handlers.getPrinters = StubJsonHandler;
    handlers.getPrinterResolution = StubJsonHandler;
    handlers.printImage = [this](const ApiRequest& req) { return HandlePrintImage(ports_, req); };
    return handlers;
  }

  httplib::Result Post(const std::string& target, const std::string& body, const char* type = "text/plain") {
    auto client = server_.Client();
    return client.Post(std::string(kPathPrintImage) + target, body, type);
  }

  void ExpectAnswer(const httplib::Result& res, PrintOutcome outcome) {
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, BuildPrintAnswer(outcome));
    EXPECT_EQ(res->get_header_value("Access-Control-Allow-Origin"), "*");
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");
  }

  FakeImageStore store_;
  FakeImagePrinter printer_;
  FakeRequestClock clock_;
  RecordingLog log_;
  PrintImagePorts ports_;
  TestServer server_;
};

TEST_F(PrintImageRoute, AMultipartUploadIsReadThroughAndRefused) {
  httplib::MultipartFormDataItems items = {{"file", "data:image/gif;base64,R0lGODlh", "a.png", "image/png"}};
  auto client = server_.Client();
  ExpectAnswer(client.Post(kPathPrintImage, items), PrintOutcome::kMultipart);
  EXPECT_TRUE(store_.saved.empty());
  EXPECT_TRUE(printer_.calls.empty());
  // The server goes on serving.
  ExpectAnswer(Post("", "x,R0lGODlh"), PrintOutcome::kPrinted);
}

TEST_F(PrintImageRoute, AChunkedUploadIsReadInFull) {
  const std::string body = "data:image/gif;base64,R0lGODlh";
  auto client = server_.Client();
  auto res = client.Post(
      kPathPrintImage,
      [&body](size_t, httplib::DataSink& sink) {
        sink.write(body.data(), 10);
        sink.write(body.data() + 10, body.size() - 10);
        sink.done();
        return true;
      },
      "text/plain");
  ExpectAnswer(res, PrintOutcome::kPrinted);
  ASSERT_EQ(store_.saved.size(), 1u);
  EXPECT_EQ(store_.saved[0].bytes, "GIF89a");
}

TEST_F(PrintImageRoute, TheQueueIsNamedByTheDecodedQueryParameter) {
  ExpectAnswer(Post("?printName=no%20such%20queue", "x,R0lGODlh"), PrintOutcome::kPrinterUnavailable);
  EXPECT_TRUE(printer_.calls.empty());
  ExpectAnswer(Post("?printName=Label%20%231", "x,R0lGODlh"), PrintOutcome::kPrinted);
  EXPECT_EQ(printer_.calls, (std::vector<std::string>{"Label #1 <- tempKL_508_977.JPG"}));
}

TEST_F(PrintImageRoute, AnOversizeBodyLeavesTheKeptAliveConnectionUsable) {
  auto client = server_.Client();
  client.set_keep_alive(true);
  for (int i = 0; i < 3; ++i) {
    ExpectAnswer(client.Post(kPathPrintImage, std::string(20000, 'A') + ",R0lGODlh", "text/plain"),
                 PrintOutcome::kBodyTooLarge);
    ExpectAnswer(client.Post(kPathPrintImage, "x,R0lGODlh", "text/plain"), PrintOutcome::kPrinted);
  }
  EXPECT_EQ(printer_.calls.size(), 3u);
}

// An upload whose memory is not free within the wait is answered as busy, its
// body read and dropped, and the connection serves the next request.
TEST_F(PrintImageRoute, UploadsWaitForMemoryAndGiveUpAsBusy) {
  FairBudget budget(100000);
  ports_.budget = &budget;
  ports_.turnWait = std::chrono::milliseconds(200);
  std::optional<FairBudget::Grant> held = budget.Acquire(budget.total(), std::chrono::milliseconds(0));
  ASSERT_TRUE(held);
  auto client = server_.Client();
  client.set_keep_alive(true);
  ExpectAnswer(client.Post(kPathPrintImage, "x,R0lGODlh", "text/plain"), PrintOutcome::kBusy);
  EXPECT_TRUE(store_.saved.empty());
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    held.reset();
  });
  ports_.turnWait = std::chrono::milliseconds(5000);
  ExpectAnswer(client.Post(kPathPrintImage, "x,R0lGODlh", "text/plain"), PrintOutcome::kPrinted);
  release.join();
  EXPECT_EQ(budget.InUse(), 0u);
}

}  // namespace
