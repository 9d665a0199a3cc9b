// The redirect of "/" and the HTML page of every answer with status 400 or more.
#include "print_service/http_api/http_api.h"

#include <cstdio>

std::string FormatErrorPage(int status) {
  char buf[512];
  const int n = std::snprintf(buf, sizeof buf, "<p>Error Status: <span style='color:red;'>%d</span></p>", status);
  if (n < 0) return {};
  return std::string(buf, static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1);
}

void HandleErrorPage(const httplib::Request&, httplib::Response& res) {
  res.set_content(FormatErrorPage(res.status), "text/html");
}

void HandleRoot(const httplib::Request&, httplib::Response& res) { res.set_redirect(kRootRedirect, 302); }
