// The per-user image directory against the real file system: what it refuses,
// what it never follows, and the housekeeping over it.
#include "linux_agent/imaging/image_directory_posix.h"
#include "linux_agent/imaging/image_store_posix.h"

#include "testing/recording_log.h"
#include "linux_agent/testing/temp_dir_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

mode_t Mode(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

TEST(ImageDirectoryPath, RuntimeDirectoryOrPerUserTmp) {
  const char* saved = std::getenv("XDG_RUNTIME_DIR");
  const std::string previous = saved != nullptr ? saved : "";
  const std::string tmp = "/tmp/kelo-" + std::to_string(geteuid());
  const struct {
    const char* value;  // nullptr: unset
    std::string expected;
  } rows[] = {{"/run/user/1000", "/run/user/1000/kelo"}, {"", tmp}, {"relative/dir", tmp}, {nullptr, tmp}};
  for (const auto& row : rows) {
    if (row.value != nullptr) {
      setenv("XDG_RUNTIME_DIR", row.value, 1);
    } else {
      unsetenv("XDG_RUNTIME_DIR");
    }
    EXPECT_EQ(ImageDirectoryPath(), row.expected) << (row.value ? row.value : "(unset)");
  }
  if (saved != nullptr) {
    setenv("XDG_RUNTIME_DIR", previous.c_str(), 1);
  } else {
    unsetenv("XDG_RUNTIME_DIR");
  }
}

TEST(ImageDirectory, IsMadePrivateAndStoresPrivateFiles) {
  TempDir tmp;
  const std::string path = tmp / "kelo";
  std::string reason;
  std::optional<ImageDirectory> dir = ImageDirectory::Open(path, reason);
  ASSERT_TRUE(dir) << reason;
  EXPECT_EQ(Mode(path), S_IFDIR | 0700u);
  ASSERT_EQ(dir->Write("tempKL_1_2.JPG", "bytes"), 0);
  EXPECT_EQ(Mode(path + "/tempKL_1_2.JPG"), S_IFREG | 0600u);
  EXPECT_EQ(dir->Read("tempKL_1_2.JPG", 100), "bytes");
  // Written again: truncated, not appended.
  ASSERT_EQ(dir->Write("tempKL_1_2.JPG", "b"), 0);
  EXPECT_EQ(dir->Read("tempKL_1_2.JPG", 100), "b");
  EXPECT_EQ(dir->Read("tempKL_1_2.JPG", 0), std::nullopt);  // over the limit
  EXPECT_EQ(dir->Read("missing", 100), std::nullopt);
}

TEST(ImageDirectory, RefusesWhatAnotherUserCouldHavePrepared) {
  TempDir tmp;
  const std::string real = tmp / "real";
  ASSERT_EQ(mkdir(real.c_str(), 0700), 0);
  ASSERT_EQ(symlink(real.c_str(), (tmp / "link").c_str()), 0);
  WriteTextFile(tmp / "file", "x");
  ASSERT_EQ(mkdir((tmp / "open").c_str(), 0700), 0);
  ASSERT_EQ(chmod((tmp / "open").c_str(), 0777), 0);
  ASSERT_EQ(mkdir((tmp / "group").c_str(), 0700), 0);
  ASSERT_EQ(chmod((tmp / "group").c_str(), 0750), 0);
  const struct {
    std::string name;
    const char* reason;
  } rows[] = {
      {"link", "is not a directory"},
      {"file", "is not a directory"},
      {"open", "may be reached by other users (mode must be 0700)"},
      {"group", "may be reached by other users (mode must be 0700)"},
      {"missing-parent/kelo", "cannot be made: No such file or directory"},
  };
  for (const auto& row : rows) {
    std::string reason;
    EXPECT_FALSE(ImageDirectory::Open(tmp / row.name, reason)) << row.name;
    EXPECT_EQ(reason, row.reason) << row.name;
  }
  EXPECT_EQ(Mode(tmp / "open"), S_IFDIR | 0777u);  // refused, and left as it was
  // Owned by another user: only root can make one here.
  if (geteuid() == 0) {
    ASSERT_EQ(chown(real.c_str(), 12345, 12345), 0);
    std::string reason;
    EXPECT_FALSE(ImageDirectory::Open(real, reason));
    EXPECT_EQ(reason, "belongs to another user");
  }
}

TEST(ImageDirectory, NeverFollowsLinksOrWaitsForPipes) {
  TempDir tmp;
  std::string reason;
  std::optional<ImageDirectory> dir = ImageDirectory::Open(tmp / "kelo", reason);
  ASSERT_TRUE(dir) << reason;
  const std::string victim = tmp / "victim";
  WriteTextFile(victim, "precious");
  ASSERT_EQ(symlink(victim.c_str(), (tmp / "kelo/tempKL_1_1.JPG").c_str()), 0);
  EXPECT_EQ(dir->Write("tempKL_1_1.JPG", "overwritten"), ELOOP);
  EXPECT_EQ(dir->Read("tempKL_1_1.JPG", 100), std::nullopt);
  EXPECT_EQ(ReadTextFile(victim), "precious");
  ASSERT_EQ(mkfifo((tmp / "kelo/tempKL_2_2.JPG").c_str(), 0600), 0);
  EXPECT_EQ(dir->Read("tempKL_2_2.JPG", 100), std::nullopt);  // returns at once, nobody writes the pipe
}

TEST(ImageDirectory, HousekeepingKeepsTheNewestTenAndWhatIsInUse) {
  TempDir tmp;
  const std::string path = tmp / "kelo";
  std::string reason;
  std::optional<ImageDirectory> dir = ImageDirectory::Open(path, reason);
  ASSERT_TRUE(dir) << reason;
  // Fourteen images, 1 oldest; image 2 is in use; a directory and another file that only look alike.
  for (int i = 1; i <= 14; ++i) {
    const std::string name = "tempKL_" + std::to_string(i) + "_0.JPG";
    ASSERT_EQ(dir->Write(name, "x"), 0);
    const struct timeval times[2] = {{1000 + i, 0}, {1000 + i, 0}};
    ASSERT_EQ(utimes((path + "/" + name).c_str(), times), 0);
  }
  ASSERT_EQ(mkdir((path + "/tempKL_dir.JPG").c_str(), 0700), 0);
  ASSERT_EQ(dir->Write("tempKL_1_0.jpg", "x"), 0);
  ImageInUse inUse(StoredImagesInUse(), "tempKL_2_0.JPG");
  RecordingLog log;
  PruneImageDirectory(path, log);
  std::vector<std::string> left;
  for (const FoundFile& f : dir->ListStoredImages()) left.emplace_back(f.name.begin(), f.name.end());
  std::sort(left.begin(), left.end());
  // The directory counts among the newest ten (its time is now), so nine files stay beside it.
  std::vector<std::string> expected = {"tempKL_2_0.JPG", "tempKL_dir.JPG"};
  for (int i = 6; i <= 14; ++i) expected.push_back("tempKL_" + std::to_string(i) + "_0.JPG");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(left, expected);
  EXPECT_EQ(ReadTextFile(path + "/tempKL_1_0.jpg"), "x");  // not one of ours
  const std::vector<std::string> lines = log.lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "15 stored images: keeping the newest 10, deleting 5");
}

TEST(RuntimeImageStore, RefusedDirectoryStoresNothingAndSaysWhy) {
  TempDir tmp;
  ASSERT_EQ(mkdir((tmp / "kelo").c_str(), 0777), 0);
  ASSERT_EQ(chmod((tmp / "kelo").c_str(), 0777), 0);
  RecordingLog log;
  RuntimeImageStore store(log, tmp / "kelo");
  EXPECT_FALSE(store.Save("tempKL_1_1.JPG", "bytes"));
  EXPECT_EQ(access((tmp / "kelo/tempKL_1_1.JPG").c_str(), F_OK), -1);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0], "image directory " + (tmp / "kelo") +
                                " may be reached by other users (mode must be 0700): nothing stored");
}

}  // namespace
