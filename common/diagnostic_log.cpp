// Standard-output writer of diagnostic lines.
#include "common/diagnostic_log.h"

#include <cstdio>
#include <string>

void StdoutLog::Line(std::string_view text) {
  std::string line(text);
  line.push_back('\n');
  // (void): a program without a console has nowhere to report a failed write.
  (void)std::fwrite(line.data(), 1, line.size(), stdout);
  (void)std::fflush(stdout);
}
