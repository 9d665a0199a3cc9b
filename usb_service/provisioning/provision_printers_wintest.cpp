// Provisioning passes on the real spooler, bus adapter and settings store under
// Wine. The base queue is made beforehand under its final name: Wine cannot open a
// renamed queue by its new name, which only the fakes and the service test cover.
#include "usb_service/provisioning/provision_printers_win.h"

#include "testing/data_directory_override_win.h"
#include "testing/label_driver_win.h"
#include "testing/simulated_usb_printer_win.h"
#include "usb_service/provisioning/spooler_queues_win.h"
#include "usb_service/provisioning/usb_printer_bus_win.h"

#include <gtest/gtest.h>

#include <map>

namespace {

const QueueTemplate kTemplate{"KeloPassTest", kTestLabelDriver, "FILE:"};

std::string Answer(uint8_t state, uint8_t printType) {
  std::string bytes(16, '\0');
  bytes[0] = static_cast<char>(state);
  bytes[8] = static_cast<char>(printType);
  return bytes;
}

class PassOnWine : public ::testing::Test {
 protected:
  PassOnWine() : directory_(CreateScratchDirectory("kelo-pass-")), store_(directory_) {}

  void SetUp() override {
    ASSERT_TRUE(InstallLabelDriver());
    Clean();
    for (const SimulatedUsbPrinter* p : {&a, &b}) p->Remove();
  }
  void TearDown() override {
    Clean();
    for (const SimulatedUsbPrinter* p : {&a, &b}) p->Remove();
  }
  void Clean() {
    for (const char* name : {"KeloPassTest", "KeloPassTest #1", "KeloPassTest #2"}) spooler.DeletePrinterByName(name);
  }

  void Pass() {
    ProvisioningPorts ports{bus, spooler, spooler, settings};
    ProvisionPrintersWith(ports, kTemplate);
  }
  // Name to attributes, for the queues of the test's driver.
  std::map<std::string, uint32_t> Queues() {
    std::map<std::string, uint32_t> queues;
    if (std::optional<std::vector<QueueRecord>> records = spooler.EnumerateQueues()) {
      for (const QueueRecord& r : *records) {
        if (r.driver == kTestLabelDriver) queues[r.name] = r.attributes;
      }
    }
    return queues;
  }
  int PrintType(const std::string& queue) {
    return GetPrivateProfileIntA("Print Settings", "Printtype", -1, (directory_ + "\\" + queue + ".ini").c_str());
  }

  const SimulatedUsbPrinter a{"7&pass-a&0&2"};
  const SimulatedUsbPrinter b{"7&pass-b&0&2"};
  UsbPrinterBus bus;
  SpoolerQueues spooler;
  StoreSettingsWriter settings;

 private:
  std::string directory_;
  DataDirectoryOverride store_;
};

TEST_F(PassOnWine, QueuesFollowThePrintersPluggedInAndOut) {
  spooler.AddPrinterQueue("KeloPassTest", kTemplate, 1);
  ASSERT_TRUE(a.Register() && a.SetAnswer(Answer(kStateEnabled, 3)));
  ASSERT_TRUE(b.Register() && b.SetAnswer(Answer(kStateEnabled, 6)));

  Pass();  // a second printer: a queue for it, born under its final name
  std::map<std::string, uint32_t> queues = Queues();
  ASSERT_EQ(queues.size(), 2u);
  ASSERT_EQ(queues.count("KeloPassTest #1"), 1u);
  EXPECT_EQ(spooler.ReadPosition("KeloPassTest #1"), std::optional<uint32_t>(2));
  EXPECT_EQ(PrintType("KeloPassTest"), 3);
  EXPECT_EQ(PrintType("KeloPassTest #1"), 6);
  for (const auto& [name, attributes] : queues) EXPECT_EQ(attributes & kAttributeWorkOffline, 0u) << name;

  ASSERT_TRUE(a.Register(false));  // the first printer unplugged
  Pass();
  queues = Queues();
  EXPECT_EQ(queues.size(), 1u) << "surplus deleted";
  ASSERT_EQ(queues.count("KeloPassTest"), 1u);
  EXPECT_EQ(queues["KeloPassTest"] & kAttributeWorkOffline, 0u);
  EXPECT_EQ(PrintType("KeloPassTest"), 6) << "the base queue takes the printer still connected";

  ASSERT_TRUE(b.Register(false));  // the last one too
  Pass();
  queues = Queues();
  ASSERT_EQ(queues.size(), 1u) << "the first queue always stays";
  EXPECT_NE(queues["KeloPassTest"] & kAttributeWorkOffline, 0u);

  ASSERT_TRUE(b.SetAnswer(Answer(kStateEnabled, 6)) && b.Register(true));
  Pass();
  EXPECT_EQ(Queues()["KeloPassTest"] & kAttributeWorkOffline, 0u) << "back online";
}

TEST_F(PassOnWine, StateCode12KeepsAQueueWithinTheEnabledCountAsItIs) {
  spooler.AddPrinterQueue("KeloPassTest", kTemplate, 1);
  // Device 0 (a sorts first) is the base queue's pair; b keeps one printer enabled,
  // so Position 1 lies within the count and only the state code decides.
  ASSERT_TRUE(a.Register() && a.SetAnswer(Answer(kStateKeepQueueState, 3)));
  ASSERT_TRUE(b.Register() && b.SetAnswer(Answer(kStateEnabled, 6)));
  spooler.SetWorkOffline("KeloPassTest", true);  // by hand
  ASSERT_NE(Queues()["KeloPassTest"] & kAttributeWorkOffline, 0u);

  Pass();
  ASSERT_EQ(Queues().size(), 1u);
  EXPECT_NE(Queues()["KeloPassTest"] & kAttributeWorkOffline, 0u) << "state 12 leaves it offline";

  ASSERT_TRUE(a.SetAnswer(Answer(kStateEnabled, 3)));
  Pass();
  EXPECT_EQ(Queues()["KeloPassTest"] & kAttributeWorkOffline, 0u) << "state 8 puts it online";
}

TEST_F(PassOnWine, QueuesOfOtherDriversAndAnEmptyDriverNameChangeNothing) {
  ASSERT_TRUE(a.Register() && a.SetAnswer(Answer(kStateEnabled, 3)));
  const std::optional<std::vector<QueueRecord>> before = spooler.EnumerateQueues();
  ASSERT_TRUE(before);
  ProvisioningPorts ports{bus, spooler, spooler, settings};
  ProvisionPrintersWith(ports, {"KeloPassTest", "", "FILE:"});
  const std::optional<std::vector<QueueRecord>> after = spooler.EnumerateQueues();
  ASSERT_TRUE(after);
  ASSERT_EQ(after->size(), before->size());
  for (size_t i = 0; i < after->size(); ++i) {
    EXPECT_EQ((*after)[i].name, (*before)[i].name);
    EXPECT_EQ((*after)[i].attributes, (*before)[i].attributes);
  }
}

}  // namespace
