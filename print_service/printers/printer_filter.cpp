// The listing filters.
#include "print_service/printers/printer_filter.h"

namespace {
constexpr std::string_view kSupportedModels[] = {"KELO", "R52 Label Printer", "KELO520"};
}

int FilterSelector(const ListingFlags& flags) {
  return (flags.onlySupported ? 1 : 0) + (flags.onlyOnline ? 2 : 0) + (flags.onlyLocal ? 4 : 0);
}

bool IsSupportedModel(std::string_view name) {
  for (std::string_view model : kSupportedModels) {
    if (name == model) return true;
  }
  return false;
}

bool PassesFilter(int selector, uint32_t attributes, std::string_view name) {
  const bool wantSupported = (selector & 1) != 0;
  const bool wantOnline = (selector & 2) != 0;
  const bool wantLocal = (selector & 4) != 0;
  if (wantLocal && (attributes & kAttributeNetwork) != 0) return false;
  if (wantOnline && (attributes & kAttributeWorkOffline) != 0) return false;
  if (wantSupported && !IsSupportedModel(name)) return false;
  return true;
}
