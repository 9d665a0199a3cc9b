// Paper size arithmetic, stored image names and the housekeeping's choice.
#include "print_service/imaging/paper_size.h"
#include "print_service/imaging/temp_image.h"

#include <gtest/gtest.h>

namespace {

TEST(PaperSize, FollowsTheResolutionClassTable) {
  struct Case {
    int quality;
    int64_t w, h, length, width;
  };
  const Case cases[] = {
      {300, 600, 400, 500, 333}, {203, 600, 400, 753, 500},  {306, 800, 600, 666, 500},
      {203, 800, 600, 1005, 750}, {306, 600, 400, 500, 333}, {-4, 600, 400, 753, 500},  // DMRES_HIGH
      {-1, 800, 600, 1005, 750},  {0, 8, 8, 10, 10},         {600, 600, 400, 753, 500},
      {300, 1, 1, 0, 0},          {203, 1, 1, 1, 1},
  };
  for (const Case& c : cases) {
    const PaperSize size = PaperSizeFor(c.quality, c.w, c.h);
    EXPECT_EQ(size.length, c.length) << c.quality << " " << c.w << "x" << c.h;
    EXPECT_EQ(size.width, c.width) << c.quality << " " << c.w << "x" << c.h;
  }
}

TEST(PaperSize, SixteenBitLimitIsCheckedNotWrapped) {
  EXPECT_TRUE(FitsDevMode(PaperSizeFor(300, 39321, 39321)));   // 32767 x 32767
  EXPECT_FALSE(FitsDevMode(PaperSizeFor(300, 39322, 100)));    // length 32768
  EXPECT_FALSE(FitsDevMode(PaperSizeFor(300, 100, 39323)));    // width 32769
  EXPECT_TRUE(FitsDevMode(PaperSizeFor(203, 26083, 26213)));   // 32766 x 32766
  EXPECT_FALSE(FitsDevMode(PaperSizeFor(203, 26087, 100)));    // length 32771
  EXPECT_TRUE(FitsDevMode(PaperSizeFor(203, 100, 26214)));     // width 32767
  EXPECT_FALSE(FitsDevMode(PaperSizeFor(203, 100, 26215)));    // width 32768
}

TEST(TempImageName, IsThreadThenTickInDecimal) {
  EXPECT_EQ(TempImageName(508, 977), "tempKL_508_977.JPG");
  EXPECT_EQ(TempImageName(0, 0), "tempKL_0_0.JPG");
  EXPECT_EQ(TempImageName(4294967295u, 4294967295u), "tempKL_4294967295_4294967295.JPG");
}

std::vector<FoundFile> Files(int count, uint64_t firstTime = 1000) {
  std::vector<FoundFile> files;
  for (int i = 0; i < count; ++i) {
    files.push_back({L"tempKL_1_" + std::to_wstring(i) + L".JPG", firstTime + static_cast<uint64_t>(i), false});
  }
  return files;
}

TEST(PlanCleanup, KeepsTheTenNewestByLastWriteTime) {
  EXPECT_TRUE(PlanCleanup(Files(10)).toDelete.empty());
  EXPECT_EQ(PlanCleanup(Files(10)).found, 10u);
  EXPECT_TRUE(PlanCleanup({}).toDelete.empty());

  std::vector<FoundFile> twelve = Files(12);
  std::swap(twelve[0], twelve[7]);  // the order found does not matter
  const CleanupPlan plan = PlanCleanup(twelve);
  EXPECT_EQ(plan.found, 12u);
  EXPECT_EQ(plan.toDelete, (std::vector<std::wstring>{L"tempKL_1_1.JPG", L"tempKL_1_0.JPG"}));
}

TEST(PlanCleanup, TimesCompareAsUnsigned64BitValues) {
  std::vector<FoundFile> files = Files(10, 5);
  files.push_back({L"old.JPG", 1, false});
  files.push_back({L"huge.JPG", 0xFFFF'FFFF'0000'0000ull, false});  // high half set: newest
  const CleanupPlan plan = PlanCleanup(files);
  ASSERT_EQ(plan.toDelete.size(), 2u);
  EXPECT_EQ(plan.toDelete[0], L"tempKL_1_0.JPG");
  EXPECT_EQ(plan.toDelete[1], L"old.JPG");
}

TEST(PlanCleanup, TiesAtTheBorderDeleteOneOfTheTiedFiles) {
  std::vector<FoundFile> files = Files(9, 100);
  files.push_back({L"a.JPG", 50, false});
  files.push_back({L"b.JPG", 50, false});
  const CleanupPlan plan = PlanCleanup(files);
  ASSERT_EQ(plan.toDelete.size(), 1u);
  EXPECT_TRUE(plan.toDelete[0] == L"a.JPG" || plan.toDelete[0] == L"b.JPG");
}

TEST(PlanCleanup, DirectoriesCountButAreNeverDeleted) {
  std::vector<FoundFile> files = Files(11, 100);
  files.push_back({L"tempKL_dir.JPG", 1, true});
  files.push_back({L"tempKL_newdir.JPG", 9999, true});
  const CleanupPlan plan = PlanCleanup(files);
  EXPECT_EQ(plan.found, 13u);
  // 13 entries: the newest directory is among the ten kept, three fall out, the old directory stays.
  EXPECT_EQ(plan.toDelete, (std::vector<std::wstring>{L"tempKL_1_1.JPG", L"tempKL_1_0.JPG"}));
}

// A request may still need an old file (it waits for memory or is printing):
// that one stays, the rest beyond the ten newest go.
TEST(PlanCleanup, FilesInUseAreNeverDeleted) {
  ImagesInUse inUse;
  ImageInUse held(inUse, "tempKL_1_0.JPG");
  const CleanupPlan plan = PlanCleanup(Files(13, 100), kTempImagesKept, &inUse);
  EXPECT_EQ(plan.toDelete, (std::vector<std::wstring>{L"tempKL_1_2.JPG", L"tempKL_1_1.JPG"}));
  EXPECT_FALSE(inUse.Contains(L"tempKL_1_\u00e9.JPG"));
}

}  // namespace
