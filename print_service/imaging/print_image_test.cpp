// The print endpoint on plain request values, with fake store, printer and clock.
#include "print_service/imaging/print_image.h"

#include "print_service/imaging/temp_image.h"

#include "testing/fake_print_ports.h"
#include "testing/recording_log.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

using Params = std::multimap<std::string, std::string>;

class PrintImageHandler : public ::testing::Test {
 protected:
  PrintImageHandler() : ports_{store_, printer_, clock_, log_, 4096} {}

  // A request whose body arrives in pieces of at most 1000 bytes, as from the wire.
  ApiAnswer Post(Params params, const std::string& body, bool multipart = false) {
    ApiRequest req;
    req.params = std::move(params);
    req.announcedLength = body.size();
    req.multipart = multipart;
    req.readBody = [this, &body](const BodyReceiver& receive) {
      ++bodyReads_;
      for (size_t at = 0; at < body.size(); at += 1000) {
        if (!receive(body.data() + at, std::min<size_t>(1000, body.size() - at))) return false;
      }
      return true;
    };
    return HandlePrintImage(ports_, req);
  }

  void ExpectAnswer(const ApiAnswer& res, PrintOutcome outcome) {
    EXPECT_EQ(res.status, 200);
    EXPECT_EQ(res.body, BuildPrintAnswer(outcome));
    EXPECT_EQ(res.contentType, "application/json");
  }

  FakeImageStore store_;
  FakeImagePrinter printer_;
  FakeRequestClock clock_;
  RecordingLog log_;
  PrintImagePorts ports_;
  int bodyReads_ = 0;
};

TEST(PrintAnswer, OutcomesMapToTheirTexts) {
  EXPECT_EQ(BuildPrintAnswer(PrintOutcome::kPrinted), "{\n\t\"statusCode\":\t\"10001\",\n\t\"resultInfo\":\t\"hahah\"\n}");
  const std::pair<PrintOutcome, const char*> failures[] = {
      {PrintOutcome::kEmptyBody, "Image data is required"},
      {PrintOutcome::kMultipart, "Multipart upload is not supported"},
      {PrintOutcome::kInvalidDataUrl, "Invalid data URL"},
      {PrintOutcome::kBodyTooLarge, "Image data is too large"},
      {PrintOutcome::kImageNotStored, "Failed to save image"},
      {PrintOutcome::kPrinterUnavailable, "Failed to open printer"},
      {PrintOutcome::kPrinterSettingsUnavailable, "Failed to read printer settings"},
      {PrintOutcome::kPrinterDeviceUnavailable, "Failed to create printer DC"},
      {PrintOutcome::kImageUnreadable, "Failed to load image"},
      {PrintOutcome::kImageTooLargeForPage, "Image is too large for the page"},
      {PrintOutcome::kJobNotStarted, "Failed to start print job"},
      {PrintOutcome::kPageNotStarted, "Failed to start page"},
      {PrintOutcome::kBodyIncomplete, "Image data was not received in full"},
      {PrintOutcome::kImageHasTooManyPixels, "Image is too large for the page"},
      {PrintOutcome::kBusy, "Too many images are waiting to print; try again"},
      {PrintOutcome::kImageNotDrawn, "Failed to draw the image"},
      {PrintOutcome::kPageNotFinished, "Failed to end page"},
      {PrintOutcome::kJobNotFinished, "Failed to end print job"},
      {PrintOutcome::kUnsupportedImageFormat, "Unsupported image format; send PNG, JPEG, GIF or BMP"},
  };
  static_assert(kPrintOutcomeCount == 20, "every outcome has its row");
  for (const auto& [outcome, text] : failures) {
    EXPECT_EQ(BuildPrintAnswer(outcome),
              std::string("{\n\t\"statusCode\":\t\"10002\",\n\t\"resultInfo\":\t\"") + text + "\"\n}");
  }
}

TEST_F(PrintImageHandler, StoresTheDecodedBytesAndPrintsOnTheLastParameter) {
  ExpectAnswer(Post({{"printName", "P"}, {"zz", "1"}}, "data:image/gif;base64,R0lGODlh"), PrintOutcome::kPrinted);
  ASSERT_EQ(store_.saved.size(), 1u);
  EXPECT_EQ(store_.saved[0].fileName, "tempKL_508_977.JPG");
  EXPECT_EQ(store_.saved[0].bytes, "GIF89a");
  EXPECT_EQ(printer_.calls, (std::vector<std::string>{"1 <- tempKL_508_977.JPG"}));
  const auto lines = log_.lines();
  EXPECT_EQ(lines[0], "printName = P");
  EXPECT_EQ(lines[1], "zz = 1");
  EXPECT_EQ(lines[2], "printName = P\nzz = 1\n");
  EXPECT_EQ(lines[3], "生成唯一文件名: tempKL_508_977.JPG");
  EXPECT_EQ(lines.back(), "start print with file: tempKL_508_977.JPG");
}

TEST_F(PrintImageHandler, ParametersAreTakenInNameOrder) {
  ExpectAnswer(Post({{"a", "1"}, {"printName", "P"}}, "x,R0lGODlh"), PrintOutcome::kPrinted);
  ExpectAnswer(Post({}, "x,R0lGODlh"), PrintOutcome::kPrinted);
  EXPECT_EQ(printer_.calls, (std::vector<std::string>{"P <- tempKL_508_977.JPG", " <- tempKL_508_977.JPG"}));
}

TEST_F(PrintImageHandler, BadBodiesAreAnsweredAndNothingIsStoredOrPrinted) {
  ExpectAnswer(Post({{"printName", "P"}}, ""), PrintOutcome::kEmptyBody);
  ExpectAnswer(Post({{"printName", "P"}}, "R0lGODlhR0lGODlh"), PrintOutcome::kInvalidDataUrl);
  ExpectAnswer(Post({{"printName", "P"}}, std::string(4097, 'A')), PrintOutcome::kBodyTooLarge);
  ExpectAnswer(Post({}, "data:image/gif;base64,R0lGODlh", true), PrintOutcome::kMultipart);
  EXPECT_EQ(bodyReads_, 4) << "every body is read to its end, so that the connection stays usable";
  EXPECT_TRUE(store_.saved.empty());
  EXPECT_TRUE(printer_.calls.empty());
}

TEST_F(PrintImageHandler, ABodyAtTheLimitIsAccepted) {
  ExpectAnswer(Post({}, ",R0lGODlh" + std::string(4087, 'A')), PrintOutcome::kPrinted);
  ASSERT_EQ(store_.saved.size(), 1u);
  EXPECT_EQ(store_.saved[0].bytes.size(), 4095u / 4 * 3 + 2);
}

TEST_F(PrintImageHandler, FailuresOfStoreAndPrinterReachTheAnswer) {
  store_.succeed = false;
  ExpectAnswer(Post({}, "x,R0lGODlh"), PrintOutcome::kImageNotStored);
  EXPECT_TRUE(printer_.calls.empty());
  EXPECT_EQ(log_.lines().back(), "文件保存失败，取消打印");
  store_.succeed = true;
  printer_.outcome = PrintOutcome::kPrinterUnavailable;
  ExpectAnswer(Post({}, "x,R0lGODlh"), PrintOutcome::kPrinterUnavailable);
  // An image the printer cannot load: its answer, not ours.
  printer_.outcome = PrintOutcome::kImageUnreadable;
  ExpectAnswer(Post({}, "x,R0lGODlh"), PrintOutcome::kImageUnreadable);
}

// The first 24 bytes of a PNG file of the given size, as Base64 in a data URL.
std::string PngDataUrl(uint32_t width, uint32_t height) {
  std::string header("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16);
  for (uint32_t v : {width, height}) {
    for (int shift = 24; shift >= 0; shift -= 8) header.push_back(static_cast<char>((v >> shift) & 0xFF));
  }
  static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text = "data:image/png;base64,";
  for (size_t i = 0; i < header.size(); i += 3) {
    const uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(header[i])) << 16 |
                       static_cast<uint32_t>(static_cast<unsigned char>(header[i + 1])) << 8 |
                       static_cast<unsigned char>(header[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) text.push_back(kLetters[(v >> shift) & 63]);
  }
  return text;
}

TEST_F(PrintImageHandler, RefusalsBeforeStoringLeaveNothingOnDisk) {
  ports_.maxBody = 4096;
  struct Case {
    const char* what;
    Params params;
    std::string body;
    PrintOutcome outcome;
  };
  const Case cases[] = {
      {"a bitmap over the pixel bound, by its header", {}, PngDataUrl(8193, 4096), PrintOutcome::kImageHasTooManyPixels},
      {"a name no queue bears", {{"printName", "no such queue"}}, "x,R0lGODlh", PrintOutcome::kPrinterUnavailable},
      {"nothing after the comma", {}, "data:image/png;base64,", PrintOutcome::kUnsupportedImageFormat},
      {"a TIFF", {}, "data:image/tiff;base64,SUkqAAgAAAA=", PrintOutcome::kUnsupportedImageFormat},
      {"an EMF, whatever its media type says", {}, "data:image/png;base64,AQAAAGwAAAAAAAAAAAAAAA==",
       PrintOutcome::kUnsupportedImageFormat},
      {"an icon", {}, "data:image/x-icon;base64,AAABAAEAEBA=", PrintOutcome::kUnsupportedImageFormat},
      {"text", {}, "data:text/plain;base64,aGVsbG8=", PrintOutcome::kUnsupportedImageFormat},
      {"a PNG signature cut short", {}, "data:image/png;base64,iVBORw0K", PrintOutcome::kUnsupportedImageFormat},
  };
  for (const Case& c : cases) {
    ExpectAnswer(Post(c.params, c.body), c.outcome);
    EXPECT_TRUE(store_.saved.empty()) << c.what;
    EXPECT_TRUE(printer_.calls.empty()) << c.what;
  }
  ExpectAnswer(Post({}, PngDataUrl(8192, 4096)), PrintOutcome::kPrinted);  // exactly at the bound
}

TEST_F(PrintImageHandler, EachStoredImageIsFollowedByAPruneThatSparesItWhilePrinting) {
  bool inUseWhilePrinting = false;
  printer_.duringPrint = [&](const std::string& name) {
    inUseWhilePrinting = StoredImagesInUse().Contains(std::wstring(name.begin(), name.end()));
  };
  ExpectAnswer(Post({}, "x,R0lGODlh"), PrintOutcome::kPrinted);
  EXPECT_EQ(store_.prunedAfter, (std::vector<std::string>{"tempKL_508_977.JPG"}));
  EXPECT_TRUE(inUseWhilePrinting);
  EXPECT_FALSE(StoredImagesInUse().Contains(L"tempKL_508_977.JPG"));
  store_.succeed = false;
  ExpectAnswer(Post({}, "x,R0lGODlh"), PrintOutcome::kImageNotStored);
  EXPECT_EQ(store_.prunedAfter.size(), 1u) << "no prune without a stored image";
}

}  // namespace
