// Stand-in API handlers for tests of the routes around them: CORS headers and "{}".
#pragma once

#include "print_service/http_api/http_api.h"

inline void StubJsonHandler(const httplib::Request&, httplib::Response& res) {
  SetCorsHeaders(res);
  res.set_content("{}", "application/json");
}

// Reads the body to its end first, as an upload handler must.
inline void StubUploadHandler(const httplib::Request&, httplib::Response& res, const httplib::ContentReader& reader) {
  SetCorsHeaders(res);
  (void)reader([](const char*, size_t) { return true; });
  res.set_content("{}", "application/json");
}
