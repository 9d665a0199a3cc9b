// Stand-in API handlers for tests of the routes around them: "{}".
#pragma once

#include "print_service/http_api/api_request.h"

inline ApiAnswer StubJsonHandler(const ApiRequest&) {
  ApiAnswer answer;
  answer.body = "{}";
  return answer;
}

// Reads the body to its end first, as an upload handler must.
inline ApiAnswer StubUploadHandler(const ApiRequest& request) {
  (void)request.readBody([](const char*, size_t) { return true; });
  return StubJsonHandler(request);
}
