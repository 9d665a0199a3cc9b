// Answers of the API routes whose work this build does not do yet.
#pragma once

#include <httplib.h>

// CORS headers and {"statusCode": "10002", "resultInfo": "Not available in this version"}.
void HandleUnavailable(const httplib::Request& req, httplib::Response& res);
// The same for an upload route; the body is read and dropped first.
void HandleUnavailableUpload(const httplib::Request& req, httplib::Response& res,
                             const httplib::ContentReader& contentReader);
