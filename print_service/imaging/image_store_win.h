// The image store on disk (Windows).
#pragma once

#include "common/diagnostic_log.h"
#include "print_service/imaging/print_image.h"

class DiskImageStore final : public ImageStore {
 public:
  explicit DiskImageStore(DiagnosticLog& log) : log_(log) {}
  bool Save(const std::string& fileName, std::string_view bytes) override;
  void PruneOldImages() override;

 private:
  DiagnosticLog& log_;
};
