// Which USB printer interfaces are the maker's label printers, and the device list
// the provisioning pass pairs with its queues.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

inline constexpr size_t kInterfaceSlots = 16;   // interfaces looked at per enumeration
inline constexpr size_t kDeviceSlots = 10;      // of which only these can reach the device list
inline constexpr size_t kMaxDevicePath = 255;   // longer paths do not fit a slot and are skipped

// A lower-cased interface path of the maker's printer function: the 17 characters
// after the 8-character prefix name the vendor and product, and "mi_02" the interface.
bool IsMakerPrinterPath(std::string_view lowerPath);

std::string LowerAscii(std::string_view text);

// The device list from the interface paths in enumeration order: the matching ones
// among the first ten, lower-cased, without gaps.
std::vector<std::string> SelectPrinterPaths(const std::vector<std::string>& interfacePaths);
