// The route table of the local API, registered in its fixed order.
#include "print_service/http_api/http_api.h"

#include <utility>

void RegisterRoutes(httplib::Server& svr, ApiHandlers handlers) {
  svr.Get(kPathRoot, HandleRoot);
  svr.Options(kPathGetPrinters, HandlePreflight);
  svr.Options(kPathPrintImage, HandlePreflight);
  svr.Options(kPathGetPrinterResolution, HandlePreflight);
  svr.Post(kPathGetPrinterResolution, std::move(handlers.getPrinterResolution));
  svr.Post(kPathGetPrinters, std::move(handlers.getPrinters));
  svr.Post(kPathPrintImage, std::move(handlers.printImage));
  // The form whose handler returns nothing: every error answer gets the page.
  svr.set_error_handler(httplib::Server::Handler(HandleErrorPage));
}
