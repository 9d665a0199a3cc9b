// The print job: one stored image on one queue as a one-page document "kelo label".
#pragma once

#include "common/diagnostic_log.h"
#include "print_service/imaging/print_image.h"
#include "print_service/imaging/print_outcome.h"

#include <string>

// printName empty: the queue "KELO"; any other name must be a queue the spooler
// lists. The file is looked up in the program directory, then in the temporary
// directory, and is left on disk (Windows).
PrintOutcome printImageFile(std::string printName, std::string imageFileName, DiagnosticLog& log);

class SpoolerImagePrinter final : public ImagePrinter {
 public:
  explicit SpoolerImagePrinter(DiagnosticLog& log) : log_(log) {}
  bool MayOpen(const std::string& printName) override;
  // GDI+ takes no bound on what it allocates: the grant only holds the room.
  PrintOutcome Print(const std::string& printName, const std::string& imageFileName, uint64_t) override {
    return printImageFile(printName, imageFileName, log_);
  }

 private:
  DiagnosticLog& log_;
};
