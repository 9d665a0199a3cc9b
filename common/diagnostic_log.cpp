// Standard-output writer of diagnostic lines.
#include "common/diagnostic_log.h"

#include <cstdio>
#include <string>

#ifdef _WIN32
#include "common/text_convert.h"

#include <clocale>
#include <cstring>
#include <cwchar>
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

// A wide line goes to the wide stream, which the C runtime converts with its
// locale: the system code page once PrepareDiagnosticStreams has run (in the "C"
// locale every character above U+00FF would end the line there). A line the code
// page cannot hold whole would still be cut short, so it takes the narrow stream
// with the code page's stand-in characters instead. Elsewhere the wide and narrow
// text are the same UTF-8 bytes.
void WriteWide(std::string_view utf8) {
#ifdef _WIN32
  const char* locale = std::setlocale(LC_CTYPE, nullptr);
  std::wstring line = WideFromUtf8(utf8);
  if (locale != nullptr && std::strcmp(locale, "C") != 0 && ExactAnsiFromWide(line)) {
    line.push_back(L'\n');
    // (void): as for the narrow lines, a failed write has nowhere to go.
    (void)std::fputws(line.c_str(), stdout);
    (void)std::fflush(stdout);
    return;
  }
#endif
  Write(utf8, true);
}

}  // namespace

void PrepareDiagnosticStreams() {
#ifdef _WIN32
  // Only the character type: numbers and their decimal point keep the "C" locale.
  (void)std::setlocale(LC_CTYPE, "");  // without it wide lines take the narrow stream
#endif
}

void StdoutLog::Line(std::string_view utf8) { Write(utf8, true); }

void StdoutLog::WideLine(std::string_view utf8) { WriteWide(utf8); }

void StdoutLog::Print(std::string_view utf8) { Write(utf8, false); }

LineBatch::~LineBatch() { HandOn(); }

void LineBatch::Line(std::string_view utf8) {
  text_.append(utf8);
  text_.push_back('\n');
}

void LineBatch::WideLine(std::string_view utf8) {
  HandOn();
  out_.WideLine(utf8);
}

void LineBatch::Print(std::string_view utf8) { text_.append(utf8); }

void LineBatch::HandOn() {
  if (text_.empty()) return;
  out_.Print(text_);
  text_.clear();
}
