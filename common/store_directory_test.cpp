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
    f.entries.push_back({Principal::kOther, false, kFullControl});
    rows.push_back({"a deny entry opens nothing", f, DirectoryVerdict::kUse, StoreRefusal::kNone});
  }
  {
    DirectoryFacts f = Secured();
    f.owner = Principal::kOther;
    rows.push_back({"created by a user", f, DirectoryVerdict::kTakeOver, StoreRefusal::kNone});
  }
  {
    DirectoryFacts f = Secured();
    f.owner = Principal::kUsers;
    rows.push_back({"owned by the Users group", f, DirectoryVerdict::kTakeOver, StoreRefusal::kNone});
  }
  {
    DirectoryFacts f = Secured();
    f.owner.reset();
    rows.push_back({"security unreadable", f, DirectoryVerdict::kTakeOver, StoreRefusal::kNone});
  }
  {
    DirectoryFacts f = Secured();
    f.daclProtected = false;
    rows.push_back({"inherits from ProgramData", f, DirectoryVerdict::kTakeOver, StoreRefusal::kNone});
  }
  {
    DirectoryFacts f = Secured();
    f.daclPresent = false;
    f.entries.clear();
    rows.push_back({"null DACL: everyone everything", f, DirectoryVerdict::kTakeOver, StoreRefusal::kNone});
  }
  for (uint32_t mask : {kAddFile, kWriteDac, kFullControl}) {
    DirectoryFacts f = Secured();
    f.entries.push_back({Principal::kUsers, true, mask});
    rows.push_back({"users may change it", f, DirectoryVerdict::kTakeOver, StoreRefusal::kNone});
    DirectoryFacts g = Secured();
    g.entries.push_back({Principal::kOther, true, mask});
    rows.push_back({"someone else may change it", g, DirectoryVerdict::kTakeOver, StoreRefusal::kNone});
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
  for (const Row& row : rows) {
    const DirectoryJudgement judgement = JudgeDataDirectory(row.facts);
    EXPECT_EQ(judgement.verdict, row.verdict) << row.what;
    EXPECT_EQ(judgement.reason, row.reason) << row.what;
  }
}

TEST(StoreDirectory, FilesOtherThanOnePlainFileAreRefused) {
  struct Row {
    StoreFileFacts facts;
    StoreRefusal expected;
  };
  const Row rows[] = {
      {{true, false, false, 1}, StoreRefusal::kNone},
      {{true, false, true, 1}, StoreRefusal::kReparsePoint},     // symbolic link opened as itself
      {{true, true, true, 1}, StoreRefusal::kReparsePoint},      // junction
      {{true, true, false, 1}, StoreRefusal::kNotAFile},         // a directory under the file's name
      {{false, false, false, 1}, StoreRefusal::kNotAFile},       // a pipe or device under the name
      {{true, false, false, 2}, StoreRefusal::kHardLinked},      // a second name outside the directory
  };
  for (const Row& row : rows) {
    EXPECT_EQ(JudgeStoreFile(row.facts), row.expected)
        << row.facts.isDiskFile << row.facts.isDirectory << row.facts.isReparsePoint << " " << row.facts.links;
  }
}

}  // namespace
