// A request and its answer as the API handlers see them: plain values, free of
// the HTTP library, which only the route adapter speaks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
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
// A label image is far smaller; a 32-bit process must not spend its address space on one request.
inline constexpr size_t kMaxImageBody = 64u * 1024u * 1024u;

inline constexpr char kStatusSuccess[] = "10001";
inline constexpr char kStatusFailure[] = "10002";

// Receives one piece of a body; false stops the reading.
using BodyReceiver = std::function<bool(const char* data, size_t length)>;

struct ApiRequest {
  // The query's parameters and a form body's fields, in name order; a name may repeat.
  std::multimap<std::string, std::string> params;
  // Content-Length as announced; nullopt when the body comes in chunks or not at all.
  std::optional<uint64_t> announcedLength;
  bool multipart = false;  // a multipart body reaches the receiver as its parts' contents
  // Reads the body to its end through the receiver; false when it broke off or
  // came too slowly. Call it at most once.
  std::function<bool(const BodyReceiver& receive)> readBody;

  bool HasParam(const std::string& name) const { return params.count(name) != 0; }
};

struct ApiAnswer {
  int status = 200;
  std::string body;  // empty with a status of 400 or more: the error page
  std::string contentType = "application/json";
};

using ApiHandler = std::function<ApiAnswer(const ApiRequest& request)>;
