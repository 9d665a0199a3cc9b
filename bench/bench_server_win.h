// What the benchmark's servers share: the port argument and the program's own
// server setup around the handlers each of them measures.
#pragma once

#include "print_service/http_api/http_api.h"

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <utility>

inline std::optional<int> ParsePort(const char* text) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 1 || value > 65535) return std::nullopt;
  return static_cast<int>(value);
}

// `name PORT`: serves handlers on 127.0.0.1:PORT with the real program's socket
// options until killed; 1 when the port cannot be bound, 2 for a bad argument.
inline int RunBenchServer(const char* name, int argc, char** argv, ApiHandlers handlers) {
  const std::optional<int> port = argc == 2 ? ParsePort(argv[1]) : std::nullopt;
  if (!port) {
    std::fprintf(stderr, "usage: %s PORT\n", name);
    return 2;
  }
  HttpServerSetup setup;
  setup.handlers = std::move(handlers);
  setup.socketOptions = ExclusivePortSocketOptions();
  setup.port = *port;
  setup.onBindFailed = [] { return false; };  // a benchmark wants its own port now, not later
  bool listening = false;
  setup.onListening = [&listening](int boundPort) {
    listening = true;
    std::printf("listening on %s:%d\n", kApiHost, boundPort);
    (void)std::fflush(stdout);
  };
  const int result = RunHttpServerWith(std::move(setup));
  if (!listening) {
    std::fprintf(stderr, "cannot listen on %s:%d\n", kApiHost, *port);
    return 1;
  }
  return result == 0 ? 0 : 1;
}
