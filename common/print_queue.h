// A print queue as the spooler lists it, for both programs, and the attribute
// bits they read.
#pragma once

#include <cstdint>
#include <string>

inline constexpr uint32_t kAttributeNetwork = 0x10;       // PRINTER_ATTRIBUTE_NETWORK
inline constexpr uint32_t kAttributeWorkOffline = 0x400;  // PRINTER_ATTRIBUTE_WORK_OFFLINE

// Names are UTF-8 where the tray program lists them and in the system code page
// where the service does (it speaks winspool's ANSI functions).
struct QueueRecord {
  std::string name;
  std::string serverName;  // for the listing's diagnostic line; empty for this machine
  uint32_t attributes = 0;
  std::string driver;
  uint32_t status = 0;
};
