// Diagnostic lines of the programs: a port, and the writer to standard output.
#pragma once

#include <string>
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

// Collects the narrow lines of one step and hands them on in one piece when it
// goes out of scope: the lines of one request stay together, and the writer's
// stream is taken once instead of once a line (under Wine, at 32 concurrent
// listings, five writes a request were most of a listing's time). A wide line
// hands on what came before it first, so the order stays.
class LineBatch final : public DiagnosticLog {
 public:
  explicit LineBatch(DiagnosticLog& out) : out_(out) {}
  ~LineBatch() override;
  LineBatch(const LineBatch&) = delete;
  LineBatch& operator=(const LineBatch&) = delete;

  void Line(std::string_view utf8) override;
  void WideLine(std::string_view utf8) override;
  void Print(std::string_view utf8) override;

 private:
  void HandOn();
  DiagnosticLog& out_;
  std::string text_;
};

class StdoutLog final : public DiagnosticLog {
 public:
  void Line(std::string_view utf8) override;
  void WideLine(std::string_view utf8) override;
  void Print(std::string_view utf8) override;
};
