// The route table of the local API, registered in its fixed order, and the one
// place where the library's requests and answers become ours and back.
#include "print_service/http_api/http_api.h"

#include "print_service/http_api/json_answer.h"

#include <utility>

ApiRequest ToApiRequest(const httplib::Request& req) {
  ApiRequest request;
  request.params.insert(req.params.begin(), req.params.end());
  // A chunked body has no announced length, whatever else the request says.
  if (req.has_header("Content-Length") && !httplib::detail::is_chunked_transfer_encoding(req.headers)) {
    request.announcedLength = req.get_header_value_u64("Content-Length");
  }
  request.multipart = req.is_multipart_form_data();
  return request;
}

void SendAnswer(const ApiAnswer& answer, httplib::Response& res) {
  SetCorsHeaders(res);
  res.status = answer.status;
  if (!answer.body.empty()) res.set_content(answer.body, answer.contentType);
}

void AnswerOtherUser(const httplib::Request& req, httplib::Response& res) {
  if (req.path.rfind("/klapi/", 0) != 0) {
    res.status = httplib::StatusCode::Forbidden_403;  // the error page
    return;
  }
  JsonPtr tree = MakeAnswer(kStatusFailure, cJSON_CreateString(kOtherUserText));
  SendAnswer(JsonAnswer(tree.get()), res);
}

namespace {

// A route whose body the library has read already (within its limit).
httplib::Server::Handler ReadRoute(ApiHandler handler) {
  return [handler = std::move(handler)](const httplib::Request& req, httplib::Response& res) {
    ApiRequest request = ToApiRequest(req);
    request.readBody = [&req](const BodyReceiver& receive) { return req.body.empty() || receive(req.body.data(), req.body.size()); };
    SendAnswer(handler(request), res);
  };
}

// A route that reads its body as it arrives.
httplib::Server::HandlerWithContentReader StreamRoute(ApiHandler handler) {
  return [handler = std::move(handler)](const httplib::Request& req, httplib::Response& res,
                                        const httplib::ContentReader& reader) {
    ApiRequest request = ToApiRequest(req);
    request.readBody = [&req, &reader](const BodyReceiver& receive) {
      // The library parses a multipart body whichever form is called, and calls
      // only the multipart receivers then.
      if (req.is_multipart_form_data()) {
        return reader([](const httplib::MultipartFormData&) { return true; },
                      [&receive](const char* data, size_t length) { return receive(data, length); });
      }
      return reader([&receive](const char* data, size_t length) { return receive(data, length); });
    };
    SendAnswer(handler(request), res);
  };
}

}  // namespace

void RegisterRoutes(httplib::Server& svr, ApiHandlers handlers) {
  svr.Get(kPathRoot, HandleRoot);
  svr.Options(kPathGetPrinters, HandlePreflight);
  svr.Options(kPathPrintImage, HandlePreflight);
  svr.Options(kPathGetPrinterResolution, HandlePreflight);
  svr.Post(kPathGetPrinterResolution, ReadRoute(std::move(handlers.getPrinterResolution)));
  svr.Post(kPathGetPrinters, ReadRoute(std::move(handlers.getPrinters)));
  svr.Post(kPathPrintImage, StreamRoute(std::move(handlers.printImage)));
  // The form whose handler returns nothing: every error answer gets the page.
  svr.set_error_handler(httplib::Server::Handler(HandleErrorPage));
}
