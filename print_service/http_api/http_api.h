// The local HTTP API: route table, server thread, CORS headers, JSON answers, error page.
#pragma once

#include "print_service/http_api/guarded_server.h"

#include <cJSON.h>
#include <httplib.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

inline constexpr char kApiHost[] = "127.0.0.1";
inline constexpr int kApiPort = 6780;

inline constexpr char kPathRoot[] = "/";
inline constexpr char kPathGetPrinters[] = "/klapi/GetPrinters";
inline constexpr char kPathPrintImage[] = "/klapi/PrintImage";
inline constexpr char kPathGetPrinterResolution[] = "/klapi/GetPrinterResolution";
inline constexpr char kRootRedirect[] = "/hi";

// A request to any route but PrintImage: a form of three short parameters, or a
// queue name, needs a few hundred bytes.
inline constexpr size_t kMaxPlainBody = 16u * 1024u;

inline constexpr char kStatusSuccess[] = "10001";
inline constexpr char kStatusFailure[] = "10002";

// The handlers behind the API routes; the table itself is fixed.
struct ApiHandlers {
  httplib::Server::Handler getPrinterResolution;
  httplib::Server::Handler getPrinters;
  httplib::Server::HandlerWithContentReader printImage;
};

// Registers the whole route table on svr, in its order, and the error page.
void RegisterRoutes(httplib::Server& svr, ApiHandlers handlers);

void SetCorsHeaders(httplib::Response& res);
void HandlePreflight(const httplib::Request& req, httplib::Response& res);
void HandleRoot(const httplib::Request& req, httplib::Response& res);
void HandleErrorPage(const httplib::Request& req, httplib::Response& res);
std::string FormatErrorPage(int status);

struct JsonDeleter {
  void operator()(cJSON* item) const { cJSON_Delete(item); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

// The formatted text of a JSON tree, as every API answer carries it; nullopt when
// cJSON runs out of memory.
std::optional<std::string> PrintJson(const cJSON* root);
// Sets root's formatted text as the answer body ("application/json"). If the tree
// cannot be printed the answer becomes a 500 error page rather than an empty body.
void SetJsonAnswer(httplib::Response& res, const cJSON* root);
// The common answer object: "statusCode" (when statusCode is not null) then
// "resultInfo", which the object takes over.
JsonPtr MakeAnswer(const char* statusCode, cJSON* resultInfo);

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
  // Threads, deadlines and body limits; an empty bodyLimit gives each route its own.
  ServerLimits limits = NoBodyLimitSet();
};

struct DiagnosticLog;
struct PrinterEnumerator;
// GetPrinters' handler on a print system: listings take turns there, a few at a
// time, in arrival order (see the definition for why).
httplib::Server::Handler MakeListingHandler(std::shared_ptr<PrinterEnumerator> printers,
                                            std::shared_ptr<DiagnosticLog> log);

// Body of the server thread: sets up, binds (again every bindRetry while the
// port is taken), listens, and returns 0 once listening ends or the server is
// stopped; -1 if the server is not valid.
int RunHttpServerWith(HttpServerSetup setup);
// The program's server thread: real printer adapters, 127.0.0.1:6780.
int RunHttpServer();
// Windows: binds the listening socket for exclusive use. The library's
// SO_REUSEADDR would let a second copy bind the same port and take over connections.
httplib::SocketOptions ExclusivePortSocketOptions();
// Ends the running server, if any: closes the listening socket and waits up to
// `wait` for requests in progress to finish. True when the server has ended.
bool StopHttpServer(std::chrono::milliseconds wait);
