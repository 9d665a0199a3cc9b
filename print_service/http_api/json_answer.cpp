// The JSON answer shape shared by the API handlers.
#include "print_service/http_api/json_answer.h"

#include <optional>
#include <utility>

std::optional<std::string> PrintJson(const cJSON* root) {
  if (root == nullptr) return std::nullopt;
  std::unique_ptr<char, decltype(&cJSON_free)> text(cJSON_Print(root), &cJSON_free);
  if (!text) return std::nullopt;
  return std::string(text.get());
}

ApiAnswer JsonAnswer(const cJSON* root) {
  std::optional<std::string> text = PrintJson(root);
  ApiAnswer answer;
  if (!text) {
    answer.status = 500;
    return answer;
  }
  answer.body = std::move(*text);
  return answer;
}

JsonPtr MakeAnswer(const char* statusCode, cJSON* resultInfo) {
  JsonPtr owned(resultInfo);
  JsonPtr root(cJSON_CreateObject());
  if (!root) return nullptr;
  if (statusCode != nullptr && cJSON_AddStringToObject(root.get(), "statusCode", statusCode) == nullptr) {
    return nullptr;
  }
  if (owned) {
    if (!cJSON_AddItemToObject(root.get(), "resultInfo", owned.get())) return nullptr;
    (void)owned.release();  // now owned by root
  }
  return root;
}
