// The HTTP server as every web page may reach it: bounded threads, idle
// connections closed when room runs out, a total deadline for each request's
// headers and body, and bodies refused from their announced length.
#pragma once

#include "print_service/http_api/peer_check.h"

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>

class GuardedStream;

struct ServerLimits {
  // Worker threads. Each kept-alive connection holds one while it waits for its
  // next request, so the cap is what lets a few busy tabs keep their
  // connections; past it the longest idle connection is closed (a reconnect on
  // loopback costs well under a millisecond). 64 threads reserve 128 MiB of
  // address space for their stacks (2 MiB each, committed only as used), which
  // a 32-bit process can spare next to its 384 MiB image budget.
  size_t maxThreads = 64;
  size_t minThreads = 2;
  // Connections waiting for a thread while idle ones are being closed; more are
  // refused at once.
  size_t maxQueued = 64;
  std::chrono::milliseconds threadIdleExit{10000};
  // From the first byte of a request to the last byte of its body. A 64 MiB
  // upload takes well under a second on loopback; a page that trickles its
  // headers or body is cut off here instead of holding a thread.
  std::chrono::milliseconds requestDeadline{8000};
  // How long a kept-alive connection may wait for its next request.
  std::chrono::milliseconds keepAliveIdle{5000};
  // How often an idle connection looks whether it was closed for room or the
  // server stops; closing also wakes it at once where the system allows.
  std::chrono::milliseconds idleSlice{200};
  // While other callers wait for a worker, a request whose bytes have been
  // coming for longer than slowGrace at less than steadyBytesPerSecond, or for
  // longer than stallGrace at any pace, gives its worker up as soon as it waits
  // for more of them. A page's request arrives on loopback within milliseconds,
  // a 64 MiB upload within a fraction of a second, and a browser that streams a
  // body more slowly still sends megabytes a second; a caller that trickles its
  // requests holds a worker that others need for no longer than slowGrace (and
  // a slice of the wait below).
  std::chrono::milliseconds slowGrace{250};
  uint64_t steadyBytesPerSecond = 1u << 20;
  std::chrono::milliseconds stallGrace{1000};
  // How often a request waiting for its bytes looks whether others wait.
  std::chrono::milliseconds stallSlice{100};
  // The largest body a request to `path` may carry; a larger announced length
  // is answered 413 before any of it is read.
  std::function<size_t(const std::string& path)> bodyLimit = [](const std::string&) { return size_t{16 * 1024}; };
};

class WorkerPool;

class GuardedServer final : public httplib::Server {
 public:
  explicit GuardedServer(ServerLimits limits = {});
  ~GuardedServer() override = default;

  // Closes the connection that has waited longest for its next request; false
  // when no connection is idle. Called by the pool when every thread is busy.
  bool CloseIdleConnection();

  struct Counts {
    size_t open;  // connections being served or kept alive
    size_t idle;  // of those, waiting for their next request
  };
  Counts ConnectionCounts();

  // Asks `check` for every connection before its first request is read. A
  // connection of another user, or one whose owner is unknown unless
  // serveUnknown, gets `answer` to each request other than a preflight
  // (OPTIONS), and is closed after it; nothing else of the request is read.
  void SetPeerCheck(PeerCheck check, bool serveUnknown, Handler answer);

 // One served connection; its fields are the server's own.
  struct Connection;

 private:
  bool process_and_close_socket(socket_t sock) override;
  // Waits for the next request's first byte; false when the connection is to end.
  bool WaitForRequest(Connection& connection, GuardedStream& stream);
  // Whether a connection waits for a worker now.
  bool OthersWait();

  const ServerLimits limits_;
  PeerCheck peerCheck_;
  bool serveUnknownPeers_ = true;
  Handler otherUserAnswer_;
  WorkerPool* pool_ = nullptr;  // made by the listen loop, which owns it; outlives every connection
  std::mutex connectionsMutex_;
  std::list<Connection*> connections_;
};

// Gives the request being served on this thread its full deadline again, from
// now: for a handler that waited its turn before reading the body. Does nothing
// on other threads.
void RestartRequestDeadline();
