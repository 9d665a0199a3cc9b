// The match rule and slot rules for the maker's USB printer interfaces.
#include "usb_service/provisioning/usb_device_match.h"

namespace {
constexpr std::string_view kVendorProduct = "vid_5e3a&pid_01c7";
constexpr std::string_view kPrinterFunction = "mi_02";
constexpr size_t kPathPrefix = 8;  // "\\?\usb#"
}  // namespace

std::string LowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

bool IsMakerPrinterPath(std::string_view lowerPath) {
  if (lowerPath.size() < kPathPrefix + kVendorProduct.size()) return false;
  return lowerPath.substr(kPathPrefix, kVendorProduct.size()) == kVendorProduct &&
         lowerPath.find(kPrinterFunction) != std::string_view::npos;
}

std::vector<std::string> SelectPrinterPaths(const std::vector<std::string>& interfacePaths) {
  std::vector<std::string> devices;
  // A slot belongs to an enumeration index, so a foreign interface still uses one up.
  for (size_t slot = 0; slot < interfacePaths.size() && slot < kDeviceSlots; ++slot) {
    if (interfacePaths[slot].size() > kMaxDevicePath) continue;
    std::string lower = LowerAscii(interfacePaths[slot]);
    if (IsMakerPrinterPath(lower)) devices.push_back(std::move(lower));
  }
  return devices;
}
