// The local HTTP API on cpp-httplib: route table, server thread, CORS headers, error page.
#pragma once

#include "print_service/http_api/api_request.h"
#include "print_service/http_api/guarded_server.h"

#include <httplib.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

// The handlers behind the API routes; the table itself is fixed.
struct ApiHandlers {
  ApiHandler getPrinterResolution;
  ApiHandler getPrinters;
  ApiHandler printImage;  // reads its body itself
};

// Registers the whole route table on svr, in its order, and the error page. The
// API routes translate between the library's requests and answers and ours,
// and give every answer the CORS headers.
void RegisterRoutes(httplib::Server& svr, ApiHandlers handlers);

// The adapter's two halves: a request's parameters, announced length and kind
// (the route adds the body reader), and an answer with the CORS headers.
ApiRequest ToApiRequest(const httplib::Request& req);
void SendAnswer(const ApiAnswer& answer, httplib::Response& res);

// A request of another user's program: on an API path the failure answer with
// kOtherUserText and the CORS headers, so that the page can say why; elsewhere 403.
void AnswerOtherUser(const httplib::Request& req, httplib::Response& res);

void SetCorsHeaders(httplib::Response& res);
void HandlePreflight(const httplib::Request& req, httplib::Response& res);
void HandleRoot(const httplib::Request& req, httplib::Response& res);
void HandleErrorPage(const httplib::Request& req, httplib::Response& res);
std::string FormatErrorPage(int status);

inline ServerLimits NoBodyLimitSet() {
  ServerLimits limits;
  limits.bodyLimit = nullptr;
  return limits;
}

// The largest body a request to path may carry.
size_t BodyLimitFor(const std::string& path);

// Everything the server thread needs; the real program fills it in RunHttpServer.
struct HttpServerSetup {
  ApiHandlers handlers;
  std::function<void()> housekeeping;      // started on its own detached thread; may be empty
  httplib::SocketOptions socketOptions;    // empty: the library's default
  std::string host = kApiHost;
  int port = kApiPort;                     // 0: any free port (tests)
  std::function<void(int port)> onListening;  // called once bound, before serving
  std::function<bool()> onBindFailed;        // after each failed bind; false gives up
  // Between two binds while the port is taken: short enough that the API is
  // back soon after the port frees, long enough to cost nothing meanwhile.
  std::chrono::milliseconds bindRetry{2000};
  // Whose program each connection comes from; empty: every caller is served.
  PeerCheck peerCheck;
  // Whether a caller whose owner cannot be found is served (see the README).
  bool serveUnknownPeers = false;
  // Threads, deadlines and body limits; an empty bodyLimit gives each route its own.
  ServerLimits limits = NoBodyLimitSet();
};

// Body of the server thread: sets up, binds (again every bindRetry while the
// port is taken), listens, and returns 0 once listening ends or the server is
// stopped; -1 if the server is not valid.
int RunHttpServerWith(HttpServerSetup setup);
// The program's server thread: its real printer adapters behind the routes,
// 127.0.0.1:6780. Each program defines it where it wires its adapters.
int RunHttpServer();
// Windows: binds the listening socket for exclusive use. The library's
// SO_REUSEADDR would let a second copy bind the same port and take over connections.
httplib::SocketOptions ExclusivePortSocketOptions();
// Ends the running server, if any: closes the listening socket and waits up to
// `wait` for requests in progress to finish. True when the server has ended.
bool StopHttpServer(std::chrono::milliseconds wait);
