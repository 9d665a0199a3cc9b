// Listing the print queues for a web page.
#include "print_service/printers/get_printers.h"

#include "common/fair_budget.h"
#include "print_service/http_api/json_answer.h"

#include <chrono>

ListingFlags ReadListingFlags(const ApiRequest& req) {
  ListingFlags flags;
  flags.onlyLocal = req.HasParam("onlyLocal");
  flags.onlyOnline = req.HasParam("onlyOnline");
  flags.onlySupported = req.HasParam("onlySupported");
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

constexpr uint64_t kListingsAtOnce = 6;  // see MakeListingHandler
constexpr std::chrono::milliseconds kListingTurnWait{5000};

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

ApiAnswer HandleGetPrinters(PrinterEnumerator& spooler, DiagnosticLog& out, const ApiRequest& req) {
  LineBatch log(out);  // a listing's lines leave in one write, when it is answered
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
  return JsonAnswer(tree.get());
}

ApiHandler MakeListingHandler(std::shared_ptr<PrinterEnumerator> printers, std::shared_ptr<DiagnosticLog> log) {
  // With dozens of connections asking at once, unbounded concurrency only lets
  // the print system's own locks hand out turns unfairly, and the slowest
  // answers wait many times the average. Measured under Wine at 32
  // connections: 2 at a time cost 60 % of the throughput, 8 kept it but left
  // the 99th percentile at 1.4 times the mean; 6 keeps most of both.
  auto turns = std::make_shared<FairBudget>(kListingsAtOnce);
  return [printers, log, turns](const ApiRequest& req) {
    // Without a turn in time the listing goes ahead anyway: the gate orders, it never refuses.
    const std::optional<FairBudget::Grant> turn = turns->Acquire(1, kListingTurnWait);
    return HandleGetPrinters(*printers, *log, req);
  };
}
