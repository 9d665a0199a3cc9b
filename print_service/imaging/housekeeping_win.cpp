// The housekeeping loop and its passes.
#include "print_service/imaging/housekeeping_win.h"

#include "common/text_convert.h"
#include "common/unique_owner_win.h"
#include "common/windows_include.h"
#include "print_service/imaging/image_paths_win.h"
#include "print_service/imaging/temp_image.h"

#include <vector>

namespace {

constexpr DWORD kCleanupIntervalMs = 300000;

std::vector<FoundFile> FindTempImages(const std::wstring& directory) {
  std::vector<FoundFile> files;
  const std::optional<std::wstring> pattern = JoinImagePath(directory, kTempImagePattern);
  if (!pattern) return files;  // a directory this deep is left alone
  WIN32_FIND_DATAW found;
  UniqueFind search(FindFirstFileW(pattern->c_str(), &found));
  if (!search) return files;
  do {
    const uint64_t lastWrite =
        (static_cast<uint64_t>(found.ftLastWriteTime.dwHighDateTime) << 32) | found.ftLastWriteTime.dwLowDateTime;
    files.push_back({found.cFileName, lastWrite, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
  } while (FindNextFileW(search.Get(), &found));
  return files;
}

}  // namespace

void RunCleanupPass(const std::wstring& directory, bool report, DiagnosticLog& log) {
  const CleanupPlan plan = PlanCleanup(FindTempImages(directory), kTempImagesKept, &StoredImagesInUse());
  if (plan.found <= kTempImagesKept) return;
  if (report) {
    log.WideLine("发现 " + std::to_string(plan.found) + " 个临时文件，保留最近10个，删除 " +
                 std::to_string(plan.found - kTempImagesKept) + " 个旧文件");
  }
  for (const std::wstring& name : plan.toDelete) {
    const std::optional<std::wstring> path = JoinImagePath(directory, name);
    // A file another program holds open is tried again on the next pass.
    if (path && DeleteFileW(path->c_str()) && report) log.WideLine("已删除旧文件: " + Utf8FromWide(name));
  }
}

void PruneStoredImages(DiagnosticLog& log) {
  if (auto dir = ProgramDirectory()) RunCleanupPass(*dir, true, log);
  if (auto dir = TempDirectory()) RunCleanupPass(*dir, false, log);
}

void CleanupTempImages() {
  StdoutLog log;
  for (;;) {
    Sleep(kCleanupIntervalMs);
    PruneStoredImages(log);
  }
}
