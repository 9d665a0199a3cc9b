// The queue-name allow-list as a table of friendly and hostile names.
#include "print_service/printers/queue_name_rule.h"

#include <gtest/gtest.h>

namespace {

using namespace std::string_literals;

TEST(QueueNameRule, OnlyListedQueuesOrTheDefaultMayBeOpened) {
  const std::vector<std::string> listed = {"KELO", "KeloTest203", "\\\\printhost\\Shared Label", "\xE6\xA0\x87\xE7\xAD\xBE",
                                           "CON", "nul.ini"};
  struct Case {
    const char* what;
    std::string received;
    std::optional<std::string> utf8;  // as the converter gives it
    std::optional<std::string> opened;
  };
  const Case cases[] = {
      {"no name: the default queue, listed or not", "", "", "KELO"},
      {"a listed local queue", "KeloTest203", "KeloTest203", "KeloTest203"},
      {"a listed network connection", "\\\\printhost\\Shared Label", "\\\\printhost\\Shared Label",
       "\\\\printhost\\Shared Label"},
      {"a listed name received in the system code page", "\xB1\xEA\xC7\xA9", "\xE6\xA0\x87\xE7\xAD\xBE",
       "\xE6\xA0\x87\xE7\xAD\xBE"},
      {"another letter case is another name", "kelotest203", "kelotest203", std::nullopt},
      {"cut at an embedded NUL", "KeloTest203\0x"s, "KeloTest203\0x"s, std::nullopt},
      {"NUL after a listed name's prefix", "KELO\0"s, "KELO\0"s, std::nullopt},
      {"an unlisted host", "\\\\attacker.example\\p", "\\\\attacker.example\\p", std::nullopt},
      {"WebDAV through a port", "\\\\host@80\\p", "\\\\host@80\\p", std::nullopt},
      {"a device, even when a queue bears its name", "CON", "CON", std::nullopt},
      {"a device with an extension", "nul.ini", "nul.ini", std::nullopt},
      {"a device not listed", "COM1", "COM1", std::nullopt},
      {"a conversion that failed", "\xFF\xFE", std::nullopt, std::nullopt},
      {"an unlisted local name", "KeloTest600", "KeloTest600", std::nullopt},
      {"a path", "..\\KELO", "..\\KELO", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(QueueToOpen(c.received, c.utf8, listed), c.opened) << c.what;
  }
  EXPECT_EQ(QueueToOpen("KELO", std::string("KELO"), {}), std::nullopt) << "named, but no queue bears the name";
}

}  // namespace
