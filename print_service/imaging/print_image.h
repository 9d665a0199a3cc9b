// The "/klapi/PrintImage" endpoint: store the posted image, print it, tell the outcome.
#pragma once

#include "common/diagnostic_log.h"
#include "print_service/imaging/print_outcome.h"

#include <httplib.h>

#include <cstdint>
#include <string>
#include <string_view>

// A label image is far smaller; a 32-bit process must not spend its address space on one request.
inline constexpr size_t kMaxImageBody = 64u * 1024u * 1024u;

struct ImageStore {
  virtual ~ImageStore() = default;
  // Writes bytes as fileName in the program directory, or the temporary directory
  // when that fails; true when every byte was written.
  virtual bool Save(const std::string& fileName, std::string_view bytes) = 0;
};

struct ImagePrinter {
  virtual ~ImagePrinter() = default;
  // Prints the stored file (looked up in the same two directories) on the queue.
  virtual PrintOutcome Print(const std::string& printName, const std::string& imageFileName) = 0;
};

struct RequestClock {
  virtual ~RequestClock() = default;
  virtual uint32_t ThreadId() = 0;
  virtual uint32_t TickCount() = 0;
};

struct PrintImagePorts {
  ImageStore& store;
  ImagePrinter& printer;
  RequestClock& clock;
  DiagnosticLog& log;
  size_t maxBody = kMaxImageBody;
};

// Everything up to the answer; the request's body is read through contentReader.
PrintOutcome ProcessPrintImage(PrintImagePorts& ports, const httplib::Request& req,
                               const httplib::ContentReader& contentReader);

void HandlePrintImage(PrintImagePorts& ports, const httplib::Request& req, httplib::Response& res,
                      const httplib::ContentReader& contentReader);

// The JSON answer for an outcome.
std::string BuildPrintAnswer(PrintOutcome outcome);
