// Lines collected for one step and handed on in one piece.
#include "common/diagnostic_log.h"

#include "testing/recording_log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

TEST(LineBatch, HandsOnItsLinesInOnePieceKeepingTheOrderAroundWideLines) {
  struct Case {
    const char* name;
    void (*steps)(DiagnosticLog&);
    Lines handedOn;
  };
  const Case cases[] = {
      {"nothing", [](DiagnosticLog&) {}, {}},
      {"narrow lines and printed text",
       [](DiagnosticLog& log) {
         log.Line("000===");
         log.Line("");
         log.Print("no end");
         log.Line("number 2");
       },
       {"P:000===\n\nno endnumber 2\n"}},
      {"a wide line between narrow ones",
       [](DiagnosticLog& log) {
         log.Line("a");
         log.WideLine("w");
         log.Line("b");
       },
       {"P:a\n", "W:w", "P:b\n"}},
      {"a wide line first", [](DiagnosticLog& log) { log.WideLine("w"); }, {"W:w"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingLog out;
    {
      LineBatch batch(out);
      c.steps(batch);
      Lines before = c.handedOn;
      if (!before.empty() && before.back().rfind("P:", 0) == 0) before.pop_back();
      EXPECT_EQ(out.lines(), before) << "narrow text waits for the end of the step";
    }
    EXPECT_EQ(out.lines(), c.handedOn);
  }
}

}  // namespace
