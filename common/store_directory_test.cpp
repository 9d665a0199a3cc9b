// When the service uses, takes over or refuses a data directory, and which files it refuses.
#include "common/store_directory.h"

#include <gtest/gtest.h>

namespace {

constexpr uint32_t kFullControl = 0x1F01FF;
constexpr uint32_t kAddFile = 0x2;  // FILE_ADD_FILE: enough to plant a link
constexpr uint32_t kWriteDac = 0x40000;

DirectoryFacts Secured() {
  DirectoryFacts facts;
  facts.isDirectory = true;
  facts.owner = Principal::kAdministrators;
  facts.daclPresent = true;
  facts.daclProtected = true;
  facts.entries = {{Principal::kSystem, true, kFullControl},
                   {Principal::kAdministrators, true, kFullControl},
                   {Principal::kUsers, true, kReadAndExecuteRights}};
  return facts;
}

TEST(StoreDirectory, VerdictTable) {
  struct Row {
    const char* what;
    DirectoryFacts facts;
    DirectoryVerdict verdict;
    StoreRefusal reason;
  };
  std::vector<Row> rows;
  rows.push_back({"the store's own list", Secured(), DirectoryVerdict::kUse, StoreRefusal::kNone});
  {
    DirectoryFacts f = Secured();
    f.owner = Principal::kSystem;
    rows.push_back({"owned by SYSTEM", f, DirectoryVerdict::kUse, StoreRefusal::kNone});
  }
  {
    DirectoryFacts f = Secured();
    f.owner = Principal::kOwnAccount;
    rows.push_back({"owned by the account the service runs as", f, DirectoryVerdict::kUse, StoreRefusal::kNone});
  }
  {
    DirectoryFacts f = Secured();
    f.entries.push_back({Principal::kOther, false, kFullControl});
    rows.push_back({"a deny entry opens nothing", f, DirectoryVerdict::kUse, StoreRefusal::kNone});
  }
  {
    DirectoryFacts f = Secured();
    f.owner = Principal::kOther;
    rows.push_back({"created by a user", f, DirectoryVerdict::kReplace, StoreRefusal::kNone});
  }
  {
    DirectoryFacts f = Secured();
    f.owner = Principal::kUsers;
    rows.push_back({"owned by the Users group", f, DirectoryVerdict::kReplace, StoreRefusal::kNone});
  }
  {
    DirectoryFacts f = Secured();
    f.owner.reset();
    rows.push_back({"security unreadable", f, DirectoryVerdict::kReplace, StoreRefusal::kNone});
  }
  {
    DirectoryFacts f = Secured();
    f.daclProtected = false;
    rows.push_back(
        {"the installer's, inherits from ProgramData", f, DirectoryVerdict::kSecureInPlace, StoreRefusal::kNone});
  }
  {
    DirectoryFacts f = Secured();
    f.daclPresent = false;
    f.entries.clear();
    rows.push_back({"null DACL: everyone everything", f, DirectoryVerdict::kReplace, StoreRefusal::kNone});
  }
  for (uint32_t mask : {kAddFile, kWriteDac, kFullControl}) {
    DirectoryFacts f = Secured();
    f.entries.push_back({Principal::kUsers, true, mask});
    rows.push_back({"users may change it", f, DirectoryVerdict::kSecureInPlace, StoreRefusal::kNone});
    DirectoryFacts g = Secured();
    g.entries.push_back({Principal::kOther, true, mask});
    rows.push_back({"someone else may change it", g, DirectoryVerdict::kSecureInPlace, StoreRefusal::kNone});
  }
  {
    DirectoryFacts f = Secured();
    f.isReparsePoint = true;
    rows.push_back({"a junction, even with our list", f, DirectoryVerdict::kRefuse, StoreRefusal::kReparsePoint});
  }
  {
    DirectoryFacts f = Secured();
    f.owner = Principal::kOther;
    f.isReparsePoint = true;
    rows.push_back({"a user's junction", f, DirectoryVerdict::kRefuse, StoreRefusal::kReparsePoint});
  }
  {
    DirectoryFacts f = Secured();
    f.isDirectory = false;
    rows.push_back({"a file under the directory's name", f, DirectoryVerdict::kRefuse, StoreRefusal::kNotADirectory});
  }
  {
    DirectoryFacts f = Secured();
    f.owner = Principal::kOther;
    f.daclProtected = false;
    f.entries.push_back({Principal::kOther, true, kFullControl});
    rows.push_back({"a user's, open to everyone", f, DirectoryVerdict::kReplace, StoreRefusal::kNone});
  }
  {
    DirectoryFacts f = Secured();
    f.owner = Principal::kSystem;
    f.daclPresent = false;
    f.entries.clear();
    rows.push_back({"SYSTEM's with a null DACL: anyone could hold it open", f, DirectoryVerdict::kReplace,
                    StoreRefusal::kNone});
  }
  for (const Row& row : rows) {
    const DirectoryJudgement judgement = JudgeDataDirectory(row.facts);
    EXPECT_EQ(judgement.verdict, row.verdict) << row.what;
    EXPECT_EQ(judgement.reason, row.reason) << row.what;
  }
}

StoreFileFacts PlainFile() {
  StoreFileFacts facts;
  facts.isDiskFile = true;
  facts.links = 1;
  facts.atExpectedPath = true;
  return facts;
}

TEST(StoreDirectory, FilesOtherThanOnePlainFileAtItsPlaceAreRefused) {
  struct Row {
    const char* what;
    StoreFileFacts facts;
    StoreRefusal expected;
  };
  std::vector<Row> rows;
  rows.push_back({"a plain file", PlainFile(), StoreRefusal::kNone});
  StoreFileFacts f = PlainFile();
  f.isReparsePoint = true;
  rows.push_back({"symbolic link opened as itself", f, StoreRefusal::kReparsePoint});
  f.isDirectory = true;
  rows.push_back({"junction", f, StoreRefusal::kReparsePoint});
  f = PlainFile();
  f.isDirectory = true;
  rows.push_back({"a directory under the file's name", f, StoreRefusal::kNotAFile});
  f = PlainFile();
  f.isDiskFile = false;
  rows.push_back({"a pipe or device under the name", f, StoreRefusal::kNotAFile});
  f = PlainFile();
  f.links = 2;
  rows.push_back({"a second name outside the directory", f, StoreRefusal::kHardLinked});
  f = PlainFile();
  f.atExpectedPath = false;
  rows.push_back({"reached through a mount point or a swapped directory", f, StoreRefusal::kElsewhere});
  f = PlainFile();
  f.oplockBreakPending = true;
  rows.push_back({"another program's oplock being broken", f, StoreRefusal::kOplocked});
  f.links = 2;
  f.atExpectedPath = false;
  rows.push_back({"an oplock is told before anything the handle would be asked", f, StoreRefusal::kOplocked});
  for (const Row& row : rows) EXPECT_EQ(JudgeStoreFile(row.facts), row.expected) << row.what;
}

TEST(StoreDirectory, RefusedDirectoriesGoBesideTheOriginal) {
  EXPECT_EQ(AsideDirectoryName(L"C:\\ProgramData\\KELO", L"20260101-120000", 1),
            L"C:\\ProgramData\\KELO.refused-20260101-120000");
  EXPECT_EQ(AsideDirectoryName(L"C:\\ProgramData\\KELO", L"20260101-120000", 3),
            L"C:\\ProgramData\\KELO.refused-20260101-120000-3");
}

TEST(StoreDirectory, EveryRefusalHasItsOwnText) {
  const StoreRefusal all[] = {StoreRefusal::kReparsePoint, StoreRefusal::kNotADirectory, StoreRefusal::kNotAFile,
                              StoreRefusal::kHardLinked,   StoreRefusal::kCannotOpen,    StoreRefusal::kCannotSecure,
                              StoreRefusal::kCannotMoveAside, StoreRefusal::kElsewhere, StoreRefusal::kOplocked,
                              StoreRefusal::kTooLarge};
  std::vector<std::string> texts;
  for (StoreRefusal reason : all) {
    const std::string text = RefusalText(reason);
    EXPECT_NE(text, "refused") << static_cast<int>(reason);
    for (const std::string& other : texts) EXPECT_NE(text, other);
    texts.push_back(text);
  }
}

}  // namespace
