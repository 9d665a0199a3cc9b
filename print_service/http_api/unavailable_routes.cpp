// Answers of the API routes whose work this build does not do yet.
#include "print_service/http_api/unavailable_routes.h"

#include "print_service/http_api/http_api.h"

void HandleUnavailable(const httplib::Request&, httplib::Response& res) {
  SetCorsHeaders(res);
  JsonPtr answer = MakeAnswer(kStatusFailure, cJSON_CreateString("Not available in this version"));
  SetJsonAnswer(res, answer.get());
}

void HandleUnavailableUpload(const httplib::Request& req, httplib::Response& res,
                             const httplib::ContentReader& contentReader) {
  SetCorsHeaders(res);
  // Reading the body keeps the connection usable for the next request.
  if (req.is_multipart_form_data()) {
    (void)contentReader([](const httplib::MultipartFormData&) { return true; },
                        [](const char*, size_t) { return true; });
  } else {
    (void)contentReader([](const char*, size_t) { return true; });
  }
  JsonPtr answer = MakeAnswer(kStatusFailure, cJSON_CreateString("Not available in this version"));
  SetJsonAnswer(res, answer.get());
}
