// Diagnostic lines of the programs: a port, and the writer to standard output.
#pragma once

#include <string_view>

// Text is UTF-8 in both kinds of line; the writer converts at the edge.
struct DiagnosticLog {
  virtual ~DiagnosticLog() = default;
  // A line of the narrow stream; the newline is added.
  virtual void Line(std::string_view utf8) = 0;
  // A line of the wide stream; the newline is added.
  virtual void WideLine(std::string_view utf8) = 0;
  // Text printed to standard output as it stands, line end included or not.
  virtual void Print(std::string_view utf8) = 0;
};

// Writes each line to stdout in one call and flushes it, so that lines of
// concurrent requests never interleave inside a line: narrow lines through the
// narrow stream, wide lines through the wide one. Both leave in the system code
// page (GBK on a Chinese system), which is what a console or a redirected file of
// a Windows program shows; seen only when stdout is redirected.
// Gives the wide stream the system code page. Call it once on the main thread
// before other threads start: a locale set on another thread stays that
// thread's own under Wine's C runtime.
void PrepareDiagnosticStreams();

class StdoutLog final : public DiagnosticLog {
 public:
  void Line(std::string_view utf8) override;
  void WideLine(std::string_view utf8) override;
  void Print(std::string_view utf8) override;
};
