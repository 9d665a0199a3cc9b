// Listing the print queues for a web page.
#include "print_service/printers/get_printers.h"

#include "print_service/http_api/http_api.h"

ListingFlags ReadListingFlags(const httplib::Request& req) {
  ListingFlags flags;
  flags.onlyLocal = req.has_param("onlyLocal");
  flags.onlyOnline = req.has_param("onlyOnline");
  flags.onlySupported = req.has_param("onlySupported");
  return flags;
}

std::optional<std::vector<std::string>> EnumLocalPrinters(PrinterEnumerator& spooler, DiagnosticLog& log,
                                                          bool onlyLocal, bool onlyOnline, bool onlySupported) {
  std::optional<std::vector<QueueRecord>> records = spooler.EnumerateLocalQueues();
  if (!records) return std::nullopt;

  const int selector = FilterSelector(ListingFlags{onlyLocal, onlyOnline, onlySupported});
  std::vector<std::string> names;
  for (const QueueRecord& record : *records) {
    log.Line(record.serverName);
    if (PassesFilter(selector, record.attributes, record.name)) names.push_back(record.name);
  }
  log.Line("number " + std::to_string(records->size()));
  return names;
}

namespace {

// Builds {"statusCode": "10001", "resultInfo": {"printers": [{"name": ...}, ...]}}.
JsonPtr BuildPrinterListTree(const std::vector<std::string>& names) {
  JsonPtr printers(cJSON_CreateArray());
  if (!printers) return nullptr;
  for (const std::string& name : names) {
    JsonPtr entry(cJSON_CreateObject());
    if (!entry || cJSON_AddStringToObject(entry.get(), "name", name.c_str()) == nullptr) return nullptr;
    if (!cJSON_AddItemToArray(printers.get(), entry.get())) return nullptr;
    (void)entry.release();  // owned by the array
  }
  JsonPtr resultInfo(cJSON_CreateObject());
  if (!resultInfo || !cJSON_AddItemToObject(resultInfo.get(), "printers", printers.get())) return nullptr;
  (void)printers.release();  // owned by resultInfo
  return MakeAnswer(kStatusSuccess, resultInfo.release());
}

}  // namespace

std::string BuildPrinterListAnswer(const std::vector<std::string>& names) {
  JsonPtr tree = BuildPrinterListTree(names);
  return PrintJson(tree.get()).value_or(std::string());
}

void HandleGetPrinters(PrinterEnumerator& spooler, DiagnosticLog& log, const httplib::Request& req,
                       httplib::Response& res) {
  SetCorsHeaders(res);
  const ListingFlags flags = ReadListingFlags(req);
  std::string flagLine;
  flagLine += flags.onlyLocal ? '1' : '0';
  flagLine += flags.onlyOnline ? '1' : '0';
  flagLine += flags.onlySupported ? '1' : '0';
  flagLine += "===";
  log.Line(flagLine);

  // A spooler that cannot be enumerated lists nothing; the answer stays a success.
  std::vector<std::string> names =
      EnumLocalPrinters(spooler, log, flags.onlyLocal, flags.onlyOnline, flags.onlySupported)
          .value_or(std::vector<std::string>());
  JsonPtr tree = BuildPrinterListTree(names);
  SetJsonAnswer(res, tree.get());
}
