// Printing a stored image through CUPS: one PDF job of exactly the image's size.
#pragma once

#include "common/diagnostic_log.h"
#include "print_service/imaging/print_image.h"

#include <string>

class CupsImagePrinter final : public ImagePrinter {
 public:
  CupsImagePrinter(DiagnosticLog& log, std::string imageDirectory)
      : log_(log), imageDirectory_(std::move(imageDirectory)) {}
  bool MayOpen(const std::string& printName) override;
  PrintOutcome Print(const std::string& printName, const std::string& imageFileName) override;

 private:
  DiagnosticLog& log_;
  std::string imageDirectory_;
};
