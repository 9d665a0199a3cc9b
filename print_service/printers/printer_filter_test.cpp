// The listing filters: selector, supported models, pass table.
#include "print_service/printers/printer_filter.h"

#include <gtest/gtest.h>

namespace {

TEST(PrinterFilter, SelectorCombinesTheThreeFlags) {
  EXPECT_EQ(FilterSelector({false, false, false}), 0);
  EXPECT_EQ(FilterSelector({false, false, true}), 1);
  EXPECT_EQ(FilterSelector({false, true, false}), 2);
  EXPECT_EQ(FilterSelector({false, true, true}), 3);
  EXPECT_EQ(FilterSelector({true, false, false}), 4);
  EXPECT_EQ(FilterSelector({true, false, true}), 5);
  EXPECT_EQ(FilterSelector({true, true, false}), 6);
  EXPECT_EQ(FilterSelector({true, true, true}), 7);
}

TEST(PrinterFilter, SupportedModelsMatchOnlyExactly) {
  EXPECT_TRUE(IsSupportedModel("KELO"));
  EXPECT_TRUE(IsSupportedModel("R52 Label Printer"));
  EXPECT_TRUE(IsSupportedModel("KELO520"));
  for (const char* name : {"kelo", "Kelo", "KELO #1", "KELO520 #2", "KELO5", "KELO ", " KELO", "r52 label printer",
                           "R52 Label Printer #1", "", "KEL", "KELO5200"}) {
    EXPECT_FALSE(IsSupportedModel(name)) << name;
  }
  EXPECT_FALSE(IsSupportedModel(std::string_view("KELO\0", 5)));
}

struct QueueKind {
  const char* label;
  uint32_t attributes;
  const char* name;
};

TEST(PrinterFilter, EachSelectorKeepsExactlyItsRowOfTheTable) {
  const QueueKind kinds[] = {
      {"plain local", 0, "Office"},
      {"network", kAttributeNetwork, "Office"},
      {"offline", kAttributeWorkOffline, "Office"},
      {"supported", 0, "KELO"},
      {"supported network", kAttributeNetwork, "KELO"},
      {"supported offline", kAttributeWorkOffline, "KELO520"},
      {"supported network offline", kAttributeNetwork | kAttributeWorkOffline, "R52 Label Printer"},
      {"other bits only", 0x0001 | 0x0040 | 0x0200, "KELO"},
  };
  for (int selector = 0; selector < 8; ++selector) {
    for (const QueueKind& kind : kinds) {
      const bool network = (kind.attributes & kAttributeNetwork) != 0;
      const bool offline = (kind.attributes & kAttributeWorkOffline) != 0;
      const bool supported = IsSupportedModel(kind.name);
      bool expected = true;
      if ((selector & 4) && network) expected = false;
      if ((selector & 2) && offline) expected = false;
      if ((selector & 1) && !supported) expected = false;
      EXPECT_EQ(PassesFilter(selector, kind.attributes, kind.name), expected)
          << "selector " << selector << ", " << kind.label;
    }
  }
}

TEST(PrinterFilter, SpotChecksOfTheTable) {
  EXPECT_TRUE(PassesFilter(0, kAttributeNetwork | kAttributeWorkOffline, "x"));
  EXPECT_FALSE(PassesFilter(4, kAttributeNetwork, "KELO"));
  EXPECT_TRUE(PassesFilter(4, kAttributeWorkOffline, "x"));
  EXPECT_FALSE(PassesFilter(2, kAttributeWorkOffline, "KELO"));
  EXPECT_TRUE(PassesFilter(2, kAttributeNetwork, "x"));
  EXPECT_FALSE(PassesFilter(1, 0, "Office"));
  EXPECT_TRUE(PassesFilter(7, 0, "KELO520"));
  EXPECT_FALSE(PassesFilter(7, kAttributeWorkOffline, "KELO520"));
}

}  // namespace
