// CORS headers of every API answer and the preflight answer.
#include "print_service/http_api/http_api.h"

void SetCorsHeaders(httplib::Response& res) {
  res.set_header("Access-Control-Allow-Origin", "*");
  res.set_header("Access-Control-Allow-Methods", "GET, OPTIONS, POST, HEAD");
  res.set_header("Access-Control-Allow-Headers", "Origin, X-Requested-With, Content-Type, Accept");
}

void HandlePreflight(const httplib::Request&, httplib::Response& res) {
  SetCorsHeaders(res);
  res.status = 204;
}
