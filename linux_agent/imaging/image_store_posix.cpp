// Storing posted images and deleting old ones in the per-user directory.
#include "linux_agent/imaging/image_store_posix.h"

#include "linux_agent/imaging/image_directory_posix.h"
#include "print_service/imaging/temp_image.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace {

constexpr std::chrono::minutes kCleanupInterval{5};

std::string Narrow(const std::wstring& name) {
  std::string narrow;
  for (const wchar_t c : name) narrow.push_back(static_cast<char>(c));
  return narrow;
}

}  // namespace

bool RuntimeImageStore::Save(const std::string& fileName, std::string_view bytes) {
  std::string reason;
  const std::optional<ImageDirectory> dir = ImageDirectory::Open(directory_, reason);
  if (!dir) {
    log_.Line("image directory " + directory_ + " " + reason + ": nothing stored");
    return false;
  }
  const std::string path = dir->path() + "/" + fileName;
  log_.Line("storing the image as " + path);
  const int error = dir->Write(fileName, bytes);
  if (error != 0) {
    log_.Line("storing the image failed: " + std::string(std::strerror(error)) + " (errno " + std::to_string(error) + ")");
    return false;
  }
  log_.Line("image stored: " + std::to_string(bytes.size()) + " bytes");
  return true;
}

void RuntimeImageStore::PruneOldImages() { PruneImageDirectory(directory_, log_); }

void PruneImageDirectory(const std::string& directory, DiagnosticLog& log) {
  std::string reason;
  const std::optional<ImageDirectory> dir = ImageDirectory::Open(directory, reason);
  if (!dir) return;  // nothing of ours can be in a directory we may not use
  const CleanupPlan plan = PlanCleanup(dir->ListStoredImages(), kTempImagesKept, &StoredImagesInUse());
  if (plan.found <= kTempImagesKept) return;
  log.Line(std::to_string(plan.found) + " stored images: keeping the newest " + std::to_string(kTempImagesKept) +
           ", deleting " + std::to_string(plan.found - kTempImagesKept));
  for (const std::wstring& wide : plan.toDelete) {
    const std::string name = Narrow(wide);
    if (dir->Remove(name)) log.Line("deleted " + name);
  }
}

void CleanupImageDirectory(std::string directory) {
  StdoutLog log;
  for (;;) {
    std::this_thread::sleep_for(kCleanupInterval);
    PruneImageDirectory(directory, log);
  }
}
