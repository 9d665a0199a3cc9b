// The "/klapi/GetPrinters" endpoint.
#pragma once

#include "common/diagnostic_log.h"
#include "print_service/http_api/api_request.h"
#include "print_service/printers/printer_enumerator.h"
#include "print_service/printers/printer_filter.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

// Each flag is on when the request has a parameter of that name, whatever its value.
ListingFlags ReadListingFlags(const ApiRequest& req);

// Names (UTF-8) of the queues that pass the filters, in the spooler's order, with
// the diagnostic lines; nullopt when the spooler could not be enumerated.
std::optional<std::vector<std::string>> EnumLocalPrinters(PrinterEnumerator& spooler, DiagnosticLog& log,
                                                          bool onlyLocal, bool onlyOnline, bool onlySupported);

// The formatted JSON answer listing these names.
std::string BuildPrinterListAnswer(const std::vector<std::string>& names);

ApiAnswer HandleGetPrinters(PrinterEnumerator& spooler, DiagnosticLog& log, const ApiRequest& req);

// GetPrinters' handler on a print system: listings take turns there, a few at a
// time, in arrival order (see the definition for why).
ApiHandler MakeListingHandler(std::shared_ptr<PrinterEnumerator> printers, std::shared_ptr<DiagnosticLog> log);
