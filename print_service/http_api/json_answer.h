// The JSON answer shape shared by the API handlers.
#pragma once

#include "print_service/http_api/api_request.h"

#include <cJSON.h>

#include <memory>
#include <optional>
#include <string>

struct JsonDeleter {
  void operator()(cJSON* item) const { cJSON_Delete(item); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

// The formatted text of a JSON tree, as every API answer carries it; nullopt when
// cJSON runs out of memory.
std::optional<std::string> PrintJson(const cJSON* root);
// The answer carrying root's formatted text. If the tree cannot be printed the
// answer becomes a 500 error page rather than an empty body.
ApiAnswer JsonAnswer(const cJSON* root);
// The common answer object: "statusCode" (when statusCode is not null) then
// "resultInfo", which the object takes over.
JsonPtr MakeAnswer(const char* statusCode, cJSON* resultInfo);
