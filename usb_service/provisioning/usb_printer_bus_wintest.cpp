// The USB bus adapter against Wine's setupapi, with printers that exist only in
// the registry and answer from a file, or never.
#include "usb_service/provisioning/usb_printer_bus_win.h"

#include "testing/simulated_usb_printer_win.h"
#include "usb_service/provisioning/usb_device_match.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

using Paths = std::vector<std::string>;

// Printers plugged for one test, removed again whatever happens.
class UsbBusOnWine : public ::testing::Test {
 protected:
  const SimulatedUsbPrinter& Plug(const std::string& instance, const std::string& answer,
                                  const std::string& hardwareId = kMakerHardwareId,
                                  const std::string& symbolicLink = std::string()) {
    printers_.push_back(std::make_unique<SimulatedUsbPrinter>(instance, hardwareId, symbolicLink));
    const SimulatedUsbPrinter& printer = *printers_.back();
    printer.Remove();  // a previous run may have left it
    EXPECT_TRUE(printer.Register());
    EXPECT_TRUE(printer.SetAnswer(answer));
    return printer;
  }
  void TearDown() override {
    for (const auto& printer : printers_) printer->Remove();
  }

  UsbPrinterBus bus;

 private:
  std::vector<std::unique_ptr<SimulatedUsbPrinter>> printers_;
};

std::string Answer(uint8_t state, size_t length) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(i + 1);
  if (length > 0) bytes[0] = static_cast<char>(state);
  return bytes;
}

TEST_F(UsbBusOnWine, ListsOnlyTheMakersPresentPrinterFunctions) {
  const SimulatedUsbPrinter& first = Plug("7&a1&0&2", Answer(8, 20));
  const SimulatedUsbPrinter& second = Plug("7&b2&0&2", Answer(8, 20));
  const SimulatedUsbPrinter& foreign = Plug("5&c3&0&0", Answer(8, 20), "VID_04B8&PID_0E15&MI_00");
  Plug("7&d4&0&0", Answer(8, 20), "VID_5E3A&PID_01C7&MI_00");  // another function of the label printer
  const SimulatedUsbPrinter& unplugged = Plug("7&e5&0&2", Answer(8, 20));
  ASSERT_TRUE(unplugged.Register(false));

  const Paths interfaces = EnumUsbPrinterInterfaces();
  EXPECT_NE(std::find(interfaces.begin(), interfaces.end(), foreign.DevicePath()), interfaces.end());
  EXPECT_EQ(std::find(interfaces.begin(), interfaces.end(), unplugged.DevicePath()), interfaces.end());

  EXPECT_EQ(bus.CollectPrinterPaths(), (Paths{first.DevicePath(), second.DevicePath()}));
  EXPECT_EQ(bus.GetPrinterNum(), 2);

  ASSERT_TRUE(unplugged.Register(true));  // plugged in again
  EXPECT_EQ(bus.GetPrinterNum(), 3);
}

TEST_F(UsbBusOnWine, AnUpperCasePathIsStoredAndOpenedInLowerCase) {
  const SimulatedUsbPrinter& printer =
      Plug("7&UP&0&2", Answer(8, 12), kMakerHardwareId,
           "\\\\?\\USB#VID_5E3A&PID_01C7&MI_02#7&UP&0&2#{28D78FAD-5A12-11D1-AE5B-0000F803A8C2}");
  const Paths found = bus.CollectPrinterPaths();
  ASSERT_EQ(found, Paths{LowerAscii(printer.DevicePath())});
  EXPECT_EQ(bus.GetPrinterConfig(found[0]).StateCode(), 8);
}

TEST_F(UsbBusOnWine, TheBlockHoldsExactlyTheBytesThePrinterAnswered) {
  const SimulatedUsbPrinter& shortAnswer = Plug("7&s1&0&2", Answer(8, 12));
  const ConfigBlock block = bus.GetPrinterConfig(shortAnswer.DevicePath());
  for (size_t i = 0; i < 12; ++i) EXPECT_EQ(block.bytes[i], i == 0 ? 8 : i + 1) << "byte " << i;
  for (size_t i = 12; i < block.bytes.size(); ++i) ASSERT_EQ(block.bytes[i], 0) << "byte " << i;

  const SimulatedUsbPrinter& longAnswer = Plug("7&s2&0&2", Answer(12, 300));
  const ConfigBlock full = bus.GetPrinterConfig(longAnswer.DevicePath());
  EXPECT_EQ(full.StateCode(), 12);
  EXPECT_EQ(full.bytes[254], 255) << "255 bytes are read, no more";

  const SimulatedUsbPrinter& silent = Plug("7&s3&0&2", std::string());
  EXPECT_EQ(bus.GetPrinterConfig(silent.DevicePath()).bytes, ConfigBlock{}.bytes) << "an empty answer";
  silent.Remove();
  EXPECT_EQ(bus.GetPrinterConfig(silent.DevicePath()).bytes, ConfigBlock{}.bytes) << "a path that does not open";
  EXPECT_EQ(bus.GetPrinterConfig(std::string()).bytes, ConfigBlock{}.bytes) << "no device for this queue";
}

TEST_F(UsbBusOnWine, APrinterThatNeverAnswersCountsAsNothingReadWithinTheLimit) {
  const SimulatedUsbPrinter& printer = Plug("7&hang&0&2", std::string());
  (void)DeleteFileA(printer.DosDeviceFile().c_str());  // the pipe stands in for the file
  SilentPrinterPipe pipe(printer);
  ASSERT_TRUE(pipe.Ready());

  const DWORD started = GetTickCount();
  const ConfigBlock block = bus.GetPrinterConfig(printer.DevicePath());
  const DWORD elapsed = GetTickCount() - started;
  EXPECT_EQ(block.bytes, ConfigBlock{}.bytes);
  EXPECT_GE(elapsed, kConfigReadTimeoutMs - 100);
  EXPECT_LT(elapsed, kConfigReadTimeoutMs + 1500) << "the cancelled read must end";

  const size_t parked = ParkedReads::Process().Count();
  ASSERT_TRUE(pipe.ServeNext());  // the first read took the pipe instance on offer
  EXPECT_TRUE(bus.ReadPrinterConfig(printer.DevicePath()).timedOut) << "told apart from an answer";
  EXPECT_EQ(ParkedReads::Process().Count(), parked) << "Wine's cancel comes back: nothing is parked";
}

// A read whose cancel never came back, as a driver that ignores the cancel leaves it.
std::unique_ptr<PendingRead> StuckRead() {
  auto read = std::make_unique<PendingRead>();
  read->event.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  return read;
}

TEST_F(UsbBusOnWine, AParkedReadHoldsOffNewReadsOfItsPathUntilItCompletesAndIsFreed) {
  const SimulatedUsbPrinter& stuck = Plug("7&park1&0&2", Answer(8, 12));
  const SimulatedUsbPrinter& other = Plug("7&park2&0&2", Answer(8, 12));
  ParkedReads& parked = ParkedReads::Process();
  const size_t before = parked.Count();
  std::unique_ptr<PendingRead> read = StuckRead();
  ASSERT_TRUE(read->event);
  const HANDLE completion = read->event.Get();
  parked.Park(stuck.DevicePath(), std::move(read));

  for (int pass = 0; pass < 3; ++pass) {
    const DWORD started = GetTickCount();
    const ConfigRead again = bus.ReadPrinterConfig(stuck.DevicePath());
    EXPECT_LT(GetTickCount() - started, 500u) << "no new read, so no new wait";
    EXPECT_TRUE(again.timedOut);
    EXPECT_EQ(again.block.bytes, ConfigBlock{}.bytes) << "although the printer would answer now";
  }
  EXPECT_EQ(parked.Count(), before + 1) << "one record for the path, however often it is read";
  EXPECT_EQ(bus.ReadPrinterConfig(other.DevicePath()).block.StateCode(), 8) << "other printers read as usual";

  ASSERT_TRUE(SetEvent(completion));  // the driver completes it at last
  const ConfigRead answered = bus.ReadPrinterConfig(stuck.DevicePath());
  EXPECT_FALSE(answered.timedOut);
  EXPECT_EQ(answered.block.StateCode(), 8);
  EXPECT_EQ(parked.Count(), before) << "freed once it completed";
}

TEST_F(UsbBusOnWine, TablesKeepTheirBounds) {
  std::vector<const SimulatedUsbPrinter*> printers;
  for (int i = 0; i < 17; ++i) {
    char instance[16];
    std::snprintf(instance, sizeof instance, "7&n%02d&0&2", i);
    printers.push_back(&Plug(instance, Answer(8, 12)));
  }
  EXPECT_EQ(EnumUsbPrinterInterfaces().size(), kInterfaceSlots);
  const Paths found = bus.CollectPrinterPaths();
  ASSERT_EQ(found.size(), kDeviceSlots);
  EXPECT_EQ(found.front(), printers.front()->DevicePath());  // interfaces come sorted by key name
  EXPECT_EQ(found.back(), printers[9]->DevicePath());
  EXPECT_EQ(bus.GetPrinterNum(), 10);
}

}  // namespace
