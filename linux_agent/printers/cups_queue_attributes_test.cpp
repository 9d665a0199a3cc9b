// What a CUPS destination's options mean for the listing filters.
#include "linux_agent/printers/cups_queue_attributes.h"

#include "print_service/printers/printer_filter.h"

#include <gtest/gtest.h>

namespace {

TEST(CupsQueueAttributes, RemoteDiscoveredStoppedAndRejecting) {
  using O = std::optional<std::string_view>;
  const struct {
    O type, state, accepting;
    uint32_t expected;
  } rows[] = {
      {"8425540", "3", "true", 0},                       // a local queue as cupsd reports one
      {"8425542", "3", "true", kAttributeNetwork},       // remote
      {"25202756", "3", "true", kAttributeNetwork},      // discovered (0x1000000)
      {"8425540", "5", "true", kAttributeWorkOffline},   // stopped
      {"8425540", "4", "false", kAttributeWorkOffline},  // printing, but rejecting jobs
      {"2", "5", "false", kAttributeNetwork | kAttributeWorkOffline},
      {std::nullopt, std::nullopt, std::nullopt, 0},     // says nothing: local, online
      {"remote", "stopped", "no", 0},                    // not numbers, not "false": nothing
      {"2x", "5 ", "False", 0},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(QueueAttributesFromCupsOptions(row.type, row.state, row.accepting), row.expected)
        << row.type.value_or("-") << " " << row.state.value_or("-") << " " << row.accepting.value_or("-");
  }
}

}  // namespace
