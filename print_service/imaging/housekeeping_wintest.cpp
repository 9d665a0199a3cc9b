// One housekeeping pass against a real directory: which files go, and its lines.
#include "print_service/imaging/housekeeping_win.h"

#include "common/text_convert.h"
#include "common/unique_owner_win.h"
#include "testing/recording_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

class ScratchDirectory {
 public:
  ScratchDirectory() {
    wchar_t temp[MAX_PATH + 1];
    (void)GetTempPathW(MAX_PATH + 1, temp);
    path_ = std::wstring(temp) + L"kelo-cleanup-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    (void)CreateDirectoryW(path_.c_str(), nullptr);
  }
  ~ScratchDirectory() {
    for (const std::wstring& name : Names()) {
      const std::wstring full = path_ + name;
      if (!DeleteFileW(full.c_str())) (void)RemoveDirectoryW(full.c_str());
    }
    (void)RemoveDirectoryW(path_.c_str());
  }
  const std::wstring& path() const { return path_; }

  // A file written minutesAgo minutes before now.
  void AddFile(const std::wstring& name, int minutesAgo) {
    UniqueFile file(CreateFileW((path_ + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file) << GetLastError();
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER t;
    t.LowPart = now.dwLowDateTime;
    t.HighPart = now.dwHighDateTime;
    t.QuadPart -= static_cast<ULONGLONG>(minutesAgo) * 60 * 10000000ULL;
    FILETIME when = {t.LowPart, t.HighPart};
    ASSERT_TRUE(SetFileTime(file.Get(), nullptr, nullptr, &when));
  }

  std::vector<std::wstring> Names() const {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path_ + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
      const std::wstring name = found.cFileName;
      if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(search, &found));
    (void)FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::wstring path_;
};

TEST(CleanupPass, DeletesAllButTheTenNewestAndReportsThem) {
  ScratchDirectory dir;
  for (int i = 0; i < 12; ++i) dir.AddFile(L"tempKL_7_" + std::to_wstring(100 + i) + L".JPG", 100 - i);
  dir.AddFile(L"keep-me.JPG", 1000);
  RecordingLog log;
  RunCleanupPass(dir.path(), true, log);

  // Deleted in list order, newest first: the eleventh, then the twelfth.
  const std::vector<std::wstring> left = dir.Names();
  EXPECT_EQ(left.size(), 11u);
  EXPECT_EQ(std::count(left.begin(), left.end(), L"keep-me.JPG"), 1);
  EXPECT_EQ(std::count(left.begin(), left.end(), L"tempKL_7_100.JPG"), 0);  // the oldest two
  EXPECT_EQ(std::count(left.begin(), left.end(), L"tempKL_7_101.JPG"), 0);
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"W:发现 12 个临时文件，保留最近10个，删除 2 个旧文件",
                                                   "W:已删除旧文件: tempKL_7_101.JPG",
                                                   "W:已删除旧文件: tempKL_7_100.JPG"}));
}

TEST(CleanupPass, TenFilesOrASilentPassWriteNothing) {
  ScratchDirectory dir;
  for (int i = 0; i < 10; ++i) dir.AddFile(L"tempKL_1_" + std::to_wstring(i) + L".JPG", i);
  RecordingLog log;
  RunCleanupPass(dir.path(), true, log);
  EXPECT_EQ(dir.Names().size(), 10u);
  dir.AddFile(L"TEMPKL_9_9.jpg", 500);  // the pattern matches without regard to case
  RunCleanupPass(dir.path(), false, log);
  EXPECT_EQ(dir.Names().size(), 10u);
  EXPECT_TRUE(log.lines().empty());
}

TEST(CleanupPass, DirectoriesNamedLikeImagesCountAndStay) {
  ScratchDirectory dir;
  for (int i = 0; i < 11; ++i) dir.AddFile(L"tempKL_2_" + std::to_wstring(i) + L".JPG", 20 + i);
  ASSERT_TRUE(CreateDirectoryW((dir.path() + L"tempKL_dir.JPG").c_str(), nullptr));
  RecordingLog log;
  RunCleanupPass(dir.path(), true, log);
  const std::vector<std::wstring> left = dir.Names();
  EXPECT_EQ(std::count(left.begin(), left.end(), L"tempKL_dir.JPG"), 1);
  ASSERT_FALSE(log.lines().empty());
  EXPECT_EQ(log.lines()[0], "W:发现 12 个临时文件，保留最近10个，删除 2 个旧文件");
}

}  // namespace
