// Posted images in the per-user directory, and their housekeeping (POSIX).
#pragma once

#include "common/diagnostic_log.h"
#include "print_service/imaging/print_image.h"

#include <string>

class RuntimeImageStore final : public ImageStore {
 public:
  RuntimeImageStore(DiagnosticLog& log, std::string directory) : log_(log), directory_(std::move(directory)) {}
  bool Save(const std::string& fileName, std::string_view bytes) override;
  void PruneOldImages() override;

 private:
  DiagnosticLog& log_;
  std::string directory_;
};

// One pass: all but the newest stored images go, except those in use.
void PruneImageDirectory(const std::string& directory, DiagnosticLog& log);
// The housekeeping thread's body: a pass every five minutes, for ever.
void CleanupImageDirectory(std::string directory);
