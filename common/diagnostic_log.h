// Diagnostic lines of the programs: a port, and the writer to standard output.
#pragma once

#include <string_view>

struct DiagnosticLog {
  virtual ~DiagnosticLog() = default;
  // One narrow line (system code page bytes); the newline is added.
  virtual void Line(std::string_view text) = 0;
};

// Writes each line to stdout in one call and flushes it, so lines of concurrent
// requests never interleave inside a line. Seen only when stdout is redirected.
class StdoutLog final : public DiagnosticLog {
 public:
  void Line(std::string_view text) override;
};
