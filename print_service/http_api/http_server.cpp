// The server thread's body and the way to end it before the process exits.
#include "print_service/http_api/http_api.h"

#include "print_service/http_api/guarded_server.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <utility>

namespace {

// Shared between the server thread and whoever stops it. Never destroyed: at
// process exit a server thread may still be inside these calls.
struct RunningServer {
  std::mutex mutex;
  std::condition_variable ended;
  std::condition_variable stopRequested;
  httplib::Server* server = nullptr;
  bool waitingForPort = false;
  bool stopping = false;
};

RunningServer& Running() {
  static RunningServer* running = new RunningServer;
  return *running;
}

}  // namespace

size_t BodyLimitFor(const std::string& path) { return path == kPathPrintImage ? kMaxImageBody : kMaxPlainBody; }

int RunHttpServerWith(HttpServerSetup setup) {
  ServerLimits limits = setup.limits;
  if (!limits.bodyLimit) limits.bodyLimit = BodyLimitFor;
  GuardedServer svr(std::move(limits));
  if (!svr.is_valid()) {
    std::printf("server has an error...\n");
    (void)std::fflush(stdout);
    return -1;
  }

  if (setup.housekeeping) {
    std::thread cleanupThread(std::move(setup.housekeeping));
    cleanupThread.detach();
  }

  RegisterRoutes(svr, std::move(setup.handlers));
  if (setup.peerCheck) svr.SetPeerCheck(std::move(setup.peerCheck), setup.serveUnknownPeers, AnswerOtherUser);
  // Chunked bodies are counted by the library against this; announced lengths by the route's own limit.
  svr.set_payload_max_length(kMaxImageBody);
  // The library writes headers and body separately; with Nagle's algorithm every
  // kept-alive answer's body would wait for the client's delayed acknowledgement.
  svr.set_tcp_nodelay(true);
  if (setup.socketOptions) svr.set_socket_options(std::move(setup.socketOptions));

  // The port may be held for a while: by a copy of this program that serves
  // (which keeps it), or by connections of an earlier run still in TIME_WAIT,
  // which an exclusive bind must wait out. Either way the tray stays, and the
  // bind is tried again until it succeeds or the program ends.
  RunningServer& running = Running();
  int port = setup.port;
  for (;;) {
    bool bound;
    if (setup.port == 0) {
      port = svr.bind_to_any_port(setup.host);
      bound = port > 0;
    } else {
      bound = svr.bind_to_port(setup.host, port);
    }
    if (bound) break;
    svr.stop();  // a failed bind leaves the server decommissioned; this clears it for the next try
    if (setup.onBindFailed && !setup.onBindFailed()) return 0;
    std::unique_lock<std::mutex> lock(running.mutex);
    running.waitingForPort = true;
    running.stopRequested.wait_for(lock, setup.bindRetry, [&] { return running.stopping; });
    running.waitingForPort = false;
    const bool stop = running.stopping;
    lock.unlock();
    running.ended.notify_all();
    if (stop) return 0;
  }

  {
    std::lock_guard<std::mutex> lock(running.mutex);
    running.server = &svr;
  }
  if (setup.onListening) setup.onListening(port);

  (void)svr.listen_after_bind();  // returns when stopped; nothing to report

  {
    std::lock_guard<std::mutex> lock(running.mutex);
    running.server = nullptr;
  }
  running.ended.notify_all();
  return 0;
}

bool StopHttpServer(std::chrono::milliseconds wait) {
  RunningServer& running = Running();
  std::unique_lock<std::mutex> lock(running.mutex);
  const auto deadline = std::chrono::steady_clock::now() + wait;
  running.stopping = true;
  running.stopRequested.notify_all();
  // stop() does nothing before the listen loop runs and decommission() nothing
  // after, so both are repeated until the thread has left the loop.
  bool ended = true;
  while (running.server != nullptr || running.waitingForPort) {
    if (running.server != nullptr) {
      running.server->stop();
      running.server->decommission();
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      ended = false;
      break;
    }
    const auto slice = std::min<std::chrono::steady_clock::duration>(deadline - now, std::chrono::milliseconds(50));
    running.ended.wait_for(lock, slice);
  }
  running.stopping = false;
  return ended;
}
