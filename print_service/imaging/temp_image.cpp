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

void ImagesInUse::Add(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  names_.insert(name);
}

void ImagesInUse::Remove(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = names_.find(name);
  if (it != names_.end()) names_.erase(it);
}

bool ImagesInUse::Contains(std::wstring_view name) {
  // Our names are ASCII; any other name is not one of ours.
  std::string narrow;
  for (const wchar_t c : name) {
    if (c <= 0 || c > 0x7F) return false;
    narrow.push_back(static_cast<char>(c));
  }
  std::lock_guard<std::mutex> lock(mutex_);
  return names_.count(narrow) != 0;
}

ImagesInUse& StoredImagesInUse() {
  static ImagesInUse* set = new ImagesInUse;  // never destroyed: worker threads may outlive main
  return *set;
}

CleanupPlan PlanCleanup(std::vector<FoundFile> files, size_t keep, ImagesInUse* inUse) {
  std::sort(files.begin(), files.end(),
            [](const FoundFile& a, const FoundFile& b) { return a.lastWrite > b.lastWrite; });
  CleanupPlan plan;
  plan.found = files.size();
  for (size_t i = keep; i < files.size(); ++i) {
    if (files[i].isDirectory || (inUse != nullptr && inUse->Contains(files[i].name))) continue;
    plan.toDelete.push_back(files[i].name);
  }
  return plan;
}
