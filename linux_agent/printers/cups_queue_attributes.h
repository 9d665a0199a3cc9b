// What a CUPS destination's options say about the listing filters, in the
// attribute bits the filters read.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// printer-type bits of the CUPS ABI.
inline constexpr uint32_t kCupsPrinterRemote = 0x0002;
inline constexpr uint32_t kCupsPrinterDiscovered = 0x1000000;
// printer-state "stopped" (IPP).
inline constexpr int kIppPrinterStopped = 5;

// kAttributeNetwork for a queue CUPS marks remote or discovered on the network;
// kAttributeWorkOffline for one that is stopped or does not accept jobs. Each
// option as the destination carries it, nullopt when it has none: a queue that
// does not say is taken as local, online and accepting.
uint32_t QueueAttributesFromCupsOptions(std::optional<std::string_view> printerType,
                                        std::optional<std::string_view> printerState,
                                        std::optional<std::string_view> acceptingJobs);
