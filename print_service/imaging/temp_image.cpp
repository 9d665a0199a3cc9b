// Temporary image names and which of them the housekeeping deletes.
#include "print_service/imaging/temp_image.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

std::string TempImageName(uint32_t threadId, uint32_t tickCount) {
  char name[64];
  const int n = std::snprintf(name, sizeof name, "tempKL_%" PRIu32 "_%" PRIu32 ".JPG", threadId, tickCount);
  return n > 0 ? std::string(name, static_cast<size_t>(n)) : std::string();
}

CleanupPlan PlanCleanup(std::vector<FoundFile> files, size_t keep) {
  std::sort(files.begin(), files.end(),
            [](const FoundFile& a, const FoundFile& b) { return a.lastWrite > b.lastWrite; });
  CleanupPlan plan;
  plan.found = files.size();
  for (size_t i = keep; i < files.size(); ++i) {
    if (!files[i].isDirectory) plan.toDelete.push_back(files[i].name);
  }
  return plan;
}
