// The GetPrinters listing: filters, diagnostic lines and the exact JSON answer.
#include "print_service/printers/get_printers.h"

#include "testing/fake_printer_enumerator.h"
#include "testing/recording_log.h"

#include <gtest/gtest.h>

namespace {

using Lines = std::vector<std::string>;
using Names = std::vector<std::string>;

std::vector<ListedQueue> SampleQueues() {
  return {
      {"Office", "", 0},
      {"KELO", "", kAttributeWorkOffline},
      {"\\\\print01\\Floor", "\\\\print01", kAttributeNetwork},
      {"KELO520", "", 0},
      {"KELO #1", "", 0},
      {"R52 Label Printer", "\\\\print01", kAttributeNetwork},
  };
}

TEST(EnumLocalPrinters, KeepsSpoolerOrderForEachFilter) {
  FakePrinterEnumerator spooler(SampleQueues());
  RecordingLog log;
  struct Case {
    bool local, online, supported;
    Names expected;
  };
  const Case cases[] = {
      {false, false, false, {"Office", "KELO", "\\\\print01\\Floor", "KELO520", "KELO #1", "R52 Label Printer"}},
      {false, false, true, {"KELO", "KELO520", "R52 Label Printer"}},
      {false, true, false, {"Office", "\\\\print01\\Floor", "KELO520", "KELO #1", "R52 Label Printer"}},
      {false, true, true, {"KELO520", "R52 Label Printer"}},
      {true, false, false, {"Office", "KELO", "KELO520", "KELO #1"}},
      {true, false, true, {"KELO", "KELO520"}},
      {true, true, false, {"Office", "KELO520", "KELO #1"}},
      {true, true, true, {"KELO520"}},
  };
  for (const Case& c : cases) {
    auto names = EnumLocalPrinters(spooler, log, c.local, c.online, c.supported);
    ASSERT_TRUE(names.has_value());
    EXPECT_EQ(*names, c.expected) << c.local << c.online << c.supported;
  }
}

TEST(EnumLocalPrinters, LogsEveryServerNameAndTheUnfilteredCount) {
  FakePrinterEnumerator spooler(SampleQueues());
  RecordingLog log;
  auto names = EnumLocalPrinters(spooler, log, true, true, true);
  ASSERT_TRUE(names.has_value());
  EXPECT_EQ(log.lines(), (Lines{"", "", "\\\\print01", "", "", "\\\\print01", "number 6"}));
}

TEST(EnumLocalPrinters, ListsMoreThanTwentyQueuesAndDuplicates) {
  std::vector<ListedQueue> many;
  for (int i = 0; i < 45; ++i) many.push_back({"Queue " + std::to_string(i), "", 0});
  many.push_back({"Queue 0", "", 0});
  FakePrinterEnumerator spooler(many);
  RecordingLog log;
  auto names = EnumLocalPrinters(spooler, log, false, false, false);
  ASSERT_TRUE(names.has_value());
  ASSERT_EQ(names->size(), 46u);
  EXPECT_EQ(names->at(44), "Queue 44");
  EXPECT_EQ(names->at(45), "Queue 0");
}

TEST(EnumLocalPrinters, FailureGivesNoListAndNoCountLine) {
  FakePrinterEnumerator spooler(SampleQueues());
  spooler.FailNextCalls(true);
  RecordingLog log;
  EXPECT_FALSE(EnumLocalPrinters(spooler, log, false, false, false).has_value());
  EXPECT_TRUE(log.lines().empty());
}

TEST(PrinterListAnswer, IsCJsonFormattedTextByteForByte) {
  EXPECT_EQ(BuildPrinterListAnswer({}),
            "{\n\t\"statusCode\":\t\"10001\",\n\t\"resultInfo\":\t{\n\t\t\"printers\":\t[]\n\t}\n}");
  EXPECT_EQ(BuildPrinterListAnswer({"KELO"}),
            "{\n\t\"statusCode\":\t\"10001\",\n\t\"resultInfo\":\t{\n\t\t\"printers\":\t[{\n"
            "\t\t\t\t\"name\":\t\"KELO\"\n\t\t\t}]\n\t}\n}");
  EXPECT_EQ(BuildPrinterListAnswer({"KELO", "Office"}),
            "{\n\t\"statusCode\":\t\"10001\",\n\t\"resultInfo\":\t{\n\t\t\"printers\":\t[{\n"
            "\t\t\t\t\"name\":\t\"KELO\"\n\t\t\t}, {\n\t\t\t\t\"name\":\t\"Office\"\n\t\t\t}]\n\t}\n}");
}

TEST(PrinterListAnswer, EscapesJsonSpecialsAndPassesUtf8) {
  const std::string answer =
      BuildPrinterListAnswer({"a\"b\\c", "\x01tab\t", "\xE6\xA0\x87\xE7\xAD\xBE\xE6\x89\x93\xE5\x8D\xB0\xE6\x9C\xBA"});
  EXPECT_NE(answer.find("\"name\":\t\"a\\\"b\\\\c\""), std::string::npos) << answer;
  EXPECT_NE(answer.find("\"name\":\t\"\\u0001tab\\t\""), std::string::npos) << answer;
  EXPECT_NE(answer.find("\"name\":\t\"\xE6\xA0\x87\xE7\xAD\xBE\xE6\x89\x93\xE5\x8D\xB0\xE6\x9C\xBA\""),
            std::string::npos)
      << answer;
}

TEST(HandleGetPrinters, LogsFlagsThenListsAndAnswersJson) {
  FakePrinterEnumerator spooler(SampleQueues());
  RecordingLog log;
  ApiRequest req;
  req.params.emplace("onlyLocal", "0");
  req.params.emplace("onlySupported", "");
  const ApiAnswer res = HandleGetPrinters(spooler, log, req);
  // In one piece, so that the lines of concurrent listings never mix.
  EXPECT_EQ(log.lines(), Lines{"P:101===\n\n\n\\\\print01\n\n\n\\\\print01\nnumber 6\n"});
  EXPECT_EQ(res.body, BuildPrinterListAnswer({"KELO", "KELO520"}));
  EXPECT_EQ(res.contentType, "application/json");
  EXPECT_EQ(res.status, 200);
}

TEST(HandleGetPrinters, SpoolerFailureAnswersSuccessWithNoPrinters) {
  FakePrinterEnumerator spooler(SampleQueues());
  spooler.FailNextCalls(true);
  RecordingLog log;
  const ApiAnswer res = HandleGetPrinters(spooler, log, ApiRequest());
  EXPECT_EQ(res.body, BuildPrinterListAnswer({}));
  EXPECT_EQ(log.lines(), Lines{"P:000===\n"});
}

}  // namespace
