// Standard-output writer of diagnostic lines.
#include "common/diagnostic_log.h"

#include <cstdio>
#include <string>

#ifdef _WIN32
#include "common/text_convert.h"
#endif

namespace {

void Write(std::string_view utf8, bool endLine) {
#ifdef _WIN32
  std::string line = AnsiFromWide(WideFromUtf8(utf8));
#else
  std::string line(utf8);
#endif
  if (endLine) line.push_back('\n');
  // (void): a program without a console has nowhere to report a failed write.
  (void)std::fwrite(line.data(), 1, line.size(), stdout);
  (void)std::fflush(stdout);
}

}  // namespace

void StdoutLog::Line(std::string_view utf8) { Write(utf8, true); }

void StdoutLog::WideLine(std::string_view utf8) { Write(utf8, true); }

void StdoutLog::Print(std::string_view utf8) { Write(utf8, false); }
