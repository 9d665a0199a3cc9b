// Names of the stored images, shared by the print endpoint and the housekeeping.
#pragma once

#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
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

// Stored images that a request in flight still needs, by name.
class ImagesInUse {
 public:
  void Add(const std::string& name);
  void Remove(const std::string& name);
  bool Contains(std::wstring_view name);

 private:
  std::mutex mutex_;
  std::multiset<std::string> names_;
};
// The program's one set, shared by the print route and the housekeeping.
ImagesInUse& StoredImagesInUse();

// Marks a name in use for its lifetime; taken before the file is written.
class ImageInUse {
 public:
  ImageInUse(ImagesInUse& set, std::string name) : set_(set), name_(std::move(name)) { set_.Add(name_); }
  ~ImageInUse() { set_.Remove(name_); }
  ImageInUse(const ImageInUse&) = delete;
  ImageInUse& operator=(const ImageInUse&) = delete;

 private:
  ImagesInUse& set_;
  std::string name_;
};

// Newest first by last-write time; all but the first `keep` are to go, except
// directories, which count but are never deleted, and files in use, which stay.
CleanupPlan PlanCleanup(std::vector<FoundFile> files, size_t keep = kTempImagesKept, ImagesInUse* inUse = nullptr);
