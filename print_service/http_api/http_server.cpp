// The server thread's body and the way to end it before the process exits.
#include "print_service/http_api/http_api.h"

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
  httplib::Server* server = nullptr;
};

RunningServer& Running() {
  static RunningServer* running = new RunningServer;
  return *running;
}

}  // namespace

int RunHttpServerWith(HttpServerSetup setup) {
  httplib::Server svr;
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
  // The library writes headers and body separately; with Nagle's algorithm every
  // kept-alive answer's body would wait for the client's delayed acknowledgement.
  svr.set_tcp_nodelay(true);
  if (setup.socketOptions) svr.set_socket_options(std::move(setup.socketOptions));

  int port = setup.port;
  bool bound;
  if (port == 0) {
    port = svr.bind_to_any_port(setup.host);
    bound = port > 0;
  } else {
    bound = svr.bind_to_port(setup.host, port);
  }
  // A port held by another process ends the thread quietly; the tray stays.
  if (!bound) return 0;

  RunningServer& running = Running();
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
  // stop() does nothing before the listen loop runs and decommission() nothing
  // after, so both are repeated until the thread has left the loop.
  while (running.server != nullptr) {
    running.server->stop();
    running.server->decommission();
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    const auto slice = std::min<std::chrono::steady_clock::duration>(deadline - now, std::chrono::milliseconds(50));
    running.ended.wait_for(lock, slice);
  }
  return true;
}
