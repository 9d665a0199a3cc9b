// Which print queues a listing keeps: the three filters and the supported models.
#pragma once

#include <cstdint>
#include <string_view>

inline constexpr uint32_t kAttributeNetwork = 0x10;      // PRINTER_ATTRIBUTE_NETWORK
inline constexpr uint32_t kAttributeWorkOffline = 0x400; // PRINTER_ATTRIBUTE_WORK_OFFLINE

struct ListingFlags {
  bool onlyLocal = false;
  bool onlyOnline = false;
  bool onlySupported = false;
};

// 0..7: onlySupported + 2 * onlyOnline + 4 * onlyLocal.
int FilterSelector(const ListingFlags& flags);

// Byte-for-byte equal to one of the maker's model names.
bool IsSupportedModel(std::string_view name);

bool PassesFilter(int selector, uint32_t attributes, std::string_view name);
