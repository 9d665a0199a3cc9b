// The "/klapi/GetPrinters" endpoint.
#pragma once

#include "common/diagnostic_log.h"
#include "print_service/printers/printer_enumerator.h"
#include "print_service/printers/printer_filter.h"

#include <httplib.h>

#include <optional>
#include <string>
#include <vector>

// Each flag is on when the request has a parameter of that name, whatever its value.
ListingFlags ReadListingFlags(const httplib::Request& req);

// Names (UTF-8) of the queues that pass the filters, in the spooler's order, with
// the diagnostic lines; nullopt when the spooler could not be enumerated.
std::optional<std::vector<std::string>> EnumLocalPrinters(PrinterEnumerator& spooler, DiagnosticLog& log,
                                                          bool onlyLocal, bool onlyOnline, bool onlySupported);

// The formatted JSON answer listing these names.
std::string BuildPrinterListAnswer(const std::vector<std::string>& names);

void HandleGetPrinters(PrinterEnumerator& spooler, DiagnosticLog& log, const httplib::Request& req,
                       httplib::Response& res);
