// Storing posted images and deleting old ones in the per-user directory.
#include "print_service/imaging/image_store_posix.h"

#include "print_service/imaging/image_directory_posix.h"
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
  log_.WideLine("尝试保存图片到: " + path);
  const int error = dir->Write(fileName, bytes);
  if (error != 0) {
    log_.WideLine("保存图片文件失败，错误代码: " + std::to_string(error) + " (" + std::strerror(error) + ")");
    return false;
  }
  log_.WideLine("图片文件已成功保存到: " + path + ", 写入字节数: " + std::to_string(bytes.size()));
  return true;
}

void RuntimeImageStore::PruneOldImages() { PruneImageDirectory(directory_, log_); }

void PruneImageDirectory(const std::string& directory, DiagnosticLog& log) {
  std::string reason;
  const std::optional<ImageDirectory> dir = ImageDirectory::Open(directory, reason);
  if (!dir) return;  // nothing of ours can be in a directory we may not use
  const CleanupPlan plan = PlanCleanup(dir->ListStoredImages(), kTempImagesKept, &StoredImagesInUse());
  if (plan.found <= kTempImagesKept) return;
  log.WideLine("发现 " + std::to_string(plan.found) + " 个临时文件，保留最近10个，删除 " +
               std::to_string(plan.found - kTempImagesKept) + " 个旧文件");
  for (const std::wstring& wide : plan.toDelete) {
    const std::string name = Narrow(wide);
    if (dir->Remove(name)) log.WideLine("已删除旧文件: " + name);
  }
}

void CleanupImageDirectory(std::string directory) {
  StdoutLog log;
  for (;;) {
    std::this_thread::sleep_for(kCleanupInterval);
    PruneImageDirectory(directory, log);
  }
}
