// Entry of kelo-print-agent: the HTTP API in the foreground until SIGINT or SIGTERM.
#include "common/diagnostic_log.h"
#include "print_service/http_api/http_api.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {
// As Exit on Windows: requests in progress (a print job) get this long to finish.
constexpr std::chrono::milliseconds kServerStopWait(3000);
}  // namespace

int main() {
  PrepareDiagnosticStreams();
  // Blocked before any thread starts, so every thread inherits the mask and only
  // sigwait below receives them. SIGPIPE: a caller that went away is no reason to end.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGUSR1);
  (void)pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  (void)signal(SIGPIPE, SIG_IGN);

  std::thread server([] {
    const int result = RunHttpServer();
    // The server only returns on its own when it cannot run at all.
    if (result != 0) (void)kill(getpid(), SIGUSR1);
  });
  server.detach();

  int received = 0;
  while (sigwait(&stopSignals, &received) != 0) {
  }
  if (received == SIGUSR1) return 1;  // the server could not be set up; it said why
  StdoutLog log;
  log.Line(received == SIGINT ? "SIGINT: stopping" : "SIGTERM: stopping");
  const bool ended = StopHttpServer(kServerStopWait);  // past the wait, the process ends regardless
  if (!ended) log.Line("requests still running after 3 s; ending anyway");
  // Detached workers may still run: end without destroying what they use.
  (void)std::fflush(stdout);
  std::_Exit(0);
}
