// Names of the stored images, shared by the print endpoint and the housekeeping.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

inline constexpr wchar_t kTempImagePattern[] = L"tempKL_*.JPG";
inline constexpr size_t kTempImagesKept = 10;

// "tempKL_<thread>_<tick>.JPG", both unsigned decimal.
std::string TempImageName(uint32_t threadId, uint32_t tickCount);

struct FoundFile {
  std::wstring name;
  uint64_t lastWrite;  // FILETIME as one 64-bit value
  bool isDirectory;
};

struct CleanupPlan {
  size_t found = 0;                  // every match, directories included
  std::vector<std::wstring> toDelete;  // beyond the newest `keep`, directories left out
};

// Newest first by last-write time; all but the first `keep` are to go, except
// directories, which count but are never deleted.
CleanupPlan PlanCleanup(std::vector<FoundFile> files, size_t keep = kTempImagesKept);
