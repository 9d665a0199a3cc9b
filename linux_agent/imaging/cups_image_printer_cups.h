// Printing a stored image through CUPS: one PDF job of exactly the image's size.
#pragma once

#include "common/diagnostic_log.h"
#include "linux_agent/imaging/decoder_process_posix.h"
#include "print_service/imaging/print_image.h"

#include <string>

class CupsImagePrinter final : public ImagePrinter {
 public:
  CupsImagePrinter(DiagnosticLog& log, std::string imageDirectory, DecoderProcess decoder)
      : log_(log), imageDirectory_(std::move(imageDirectory)), decoder_(std::move(decoder)) {}
  bool MayOpen(const std::string& printName) override;
  // The image is decoded by the decoder process within memoryGrant bytes.
  PrintOutcome Print(const std::string& printName, const std::string& imageFileName,
                     uint64_t memoryGrant) override;

 private:
  DiagnosticLog& log_;
  std::string imageDirectory_;
  DecoderProcess decoder_;
};
