// Which print queues a listing keeps: the three filters and the supported models.
#pragma once

#include "common/print_queue.h"

#include <cstdint>
#include <string_view>

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
