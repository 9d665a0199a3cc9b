// The match rule and slot rules that pick the maker's printers from the USB
// printer interfaces.
#include "usb_service/provisioning/usb_device_match.h"

#include <gtest/gtest.h>

namespace {

using Paths = std::vector<std::string>;

const char kClass[] = "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

std::string Maker(int instance) { return "\\\\?\\usb#vid_5e3a&pid_01c7&mi_02#7&" + std::to_string(instance) + kClass; }
std::string Foreign(int instance) { return "\\\\?\\usb#vid_04b8&pid_0e15&mi_00#5&" + std::to_string(instance) + kClass; }

TEST(UsbDeviceMatch, MatchesTheMakersPrinterFunctionWhateverTheLetterCase) {
  const Paths found = SelectPrinterPaths({"\\\\?\\USB#VID_5E3A&PID_01C7&MI_02#7&1A2B#{28D78FAD-5A12-11D1-AE5B-0000F803A8C2}"});
  EXPECT_EQ(found, Paths{"\\\\?\\usb#vid_5e3a&pid_01c7&mi_02#7&1a2b" + std::string(kClass)});  // kept lower-cased

  EXPECT_TRUE(SelectPrinterPaths({"\\\\?\\usb#vid_5e3a&pid_01c7&mi_01#7&1#mi_02"}).size() == 1)
      << "\"mi_02\" may stand anywhere in the path";
  const struct {
    const char* path;
    const char* why;
  } rejected[] = {
      {"\\\\?\\usb#vid_5e3a&pid_01c7#7&1#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}", "not the printer interface"},
      {"\\\\?\\usb#vid_5e3a&pid_01c7&mi_00#7&1", "another interface of the device"},
      {"\\\\?\\usb#vid_04b8&pid_01c7&mi_02#7&1", "another vendor"},
      {"\\\\?\\usb#vid_5e3a&pid_01c8&mi_02#7&1", "another product"},
      {"\\\\?\\usbx#vid_5e3a&pid_01c7&mi_02#7&1", "vendor and product not right after the prefix"},
      {"\\\\?\\usb#vid_5e3a&pid_01c", "too short to hold them"},
      {"", "empty"},
  };
  for (const auto& r : rejected) EXPECT_TRUE(SelectPrinterPaths({r.path}).empty()) << r.why << ": " << r.path;
}

TEST(UsbDeviceMatch, OnlyTheFirstTenInterfacesCanReachTheDeviceList) {
  Paths twelve;
  for (int i = 0; i < 12; ++i) twelve.push_back(Maker(i));
  const Paths found = SelectPrinterPaths(twelve);
  ASSERT_EQ(found.size(), kDeviceSlots);
  EXPECT_EQ(found.front(), Maker(0));
  EXPECT_EQ(found.back(), Maker(9));

  // A foreign printer still uses up its slot and pushes the maker's tenth one out.
  Paths mixed = {Foreign(0), Maker(1), Foreign(2)};
  for (int i = 3; i < 11; ++i) mixed.push_back(Maker(i));
  const Paths kept = SelectPrinterPaths(mixed);
  ASSERT_EQ(kept.size(), 8u);
  EXPECT_EQ(kept.front(), Maker(1));  // no gaps: moved together in slot order
  EXPECT_EQ(kept.back(), Maker(9));
}

TEST(UsbDeviceMatch, APathThatDoesNotFitASlotIsSkippedAndTheSlotStaysEmpty) {
  std::string fits = Maker(1);
  fits.append(kMaxDevicePath - fits.size(), 'x');
  std::string tooLong = Maker(2);
  tooLong.append(kMaxDevicePath + 1 - tooLong.size(), 'x');
  EXPECT_EQ(SelectPrinterPaths({tooLong, fits, Maker(3)}), (Paths{fits, Maker(3)}));
}

}  // namespace
