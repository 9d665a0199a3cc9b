// The provisioning pass against a spooler that behaves as Windows does.
#include "usb_service/provisioning/provisioning.h"

#include "testing/fake_provisioning.h"

#include <gtest/gtest.h>

namespace {

using Lines = std::vector<std::string>;

class Provisioning : public ::testing::Test {
 protected:
  void Pass() {
    ProvisioningPorts ports{bus, spooler, spooler, settings};
    spooler.log.clear();
    settings.log.clear();
    bus.reads.clear();
    ProvisionPrintersWith(ports, queueTemplate);
  }
  // All bits set for a queue that is not there, so that no expectation passes by accident.
  uint32_t Attributes(const std::string& name) {
    const FakeSpooler::Queue* q = spooler.Find(name);
    return q != nullptr ? q->record.attributes : ~0u;
  }

  QueueTemplate queueTemplate{"Label", "Kelo Driver", "USB001"};
  FakeBus bus;
  FakeSpooler spooler;
  RecordingSettings settings;
};

TEST_F(Provisioning, FirstPrinterGetsAQueueUnderTheBaseName) {
  bus.Plug("dev-a", kStateEnabled, 7);
  Pass();
  EXPECT_EQ(spooler.log, (Lines{"add Label #0", "rename Label #0 -> Label"}));
  EXPECT_EQ(settings.log, (Lines{"bin Label type 7", "ini Label type 7"}));
  ASSERT_EQ(spooler.Names(), Lines{"Label"});
  EXPECT_EQ(spooler.Find("Label")->position, 1u);
  EXPECT_EQ(Attributes("Label") & kAttributeWorkOffline, 0u);
}

TEST_F(Provisioning, SecondPrinterAddsANumberedQueueAndEachTakesItsDevicesSettings) {
  spooler.Add("Label", "Kelo Driver", 1);
  bus.Plug("dev-a", kStateEnabled, 7);
  bus.Plug("dev-b", kStateEnabled, 9);
  Pass();
  EXPECT_EQ(spooler.log, Lines{"add Label #1"});
  EXPECT_EQ(spooler.Names(), (Lines{"Label", "Label #1"}));
  EXPECT_EQ(spooler.Find("Label #1")->position, 2u);
  EXPECT_EQ(settings.log, (Lines{"bin Label type 7", "ini Label type 7", "bin Label #1 type 9", "ini Label #1 type 9"}));
}

TEST_F(Provisioning, OneOfTwoUnpluggedDeletesTheHigherQueueAndTheBaseTakesTheOtherPrinter) {
  spooler.Add("Label", "Kelo Driver", 1);
  spooler.Add("Label #1", "Kelo Driver", 2);
  bus.Plug("dev-b", kStateEnabled, 9);  // the first printer is gone
  Pass();
  EXPECT_EQ(spooler.log, Lines{"delete Label #1"});
  EXPECT_EQ(spooler.Names(), Lines{"Label"});
  EXPECT_EQ(settings.log, (Lines{"bin Label type 9", "ini Label type 9"}));
}

TEST_F(Provisioning, LastPrinterUnpluggedKeepsTheBaseQueueOfflineUntilItReturns) {
  spooler.Add("Label", "Kelo Driver", 1);
  Pass();
  EXPECT_EQ(spooler.log, Lines{"offline Label"});
  EXPECT_TRUE(settings.log.empty());
  EXPECT_NE(Attributes("Label") & kAttributeWorkOffline, 0u);

  spooler.Find("Label")->record.status = 0x80;  // PRINTER_STATUS_OFFLINE
  bus.Plug("dev-a", kStateEnabled);
  Pass();
  EXPECT_EQ(spooler.log, (Lines{"reset status Label", "online Label"}));
  EXPECT_EQ(Attributes("Label") & kAttributeWorkOffline, 0u);
  EXPECT_EQ(spooler.Find("Label")->record.status, 0u);
}

TEST_F(Provisioning, APrinterNeitherEnabledNorSilentAddsNothingButItsSettingsAreWritten) {
  bus.Plug("dev-a", 5, 3);
  Pass();
  EXPECT_TRUE(spooler.log.empty());  // no queue, no printer enabled
  spooler.Add("Label", "Kelo Driver", 1);
  Pass();
  EXPECT_EQ(settings.log, (Lines{"bin Label type 3", "ini Label type 3"}));
  EXPECT_EQ(spooler.log, Lines{"offline Label"});
}

TEST_F(Provisioning, StateCode12LeavesStatusAndOfflineFlagAlone) {
  spooler.Add("Label", "Kelo Driver", 1, kAttributeWorkOffline, 0x80);
  bus.Plug("dev-a", kStateKeepQueueState);
  bus.Plug("dev-b", kStateEnabled);  // one enabled printer: Position 1 is within it
  Pass();
  EXPECT_EQ(spooler.log, Lines{});
  EXPECT_EQ(spooler.Find("Label")->record.status, 0x80u);
  EXPECT_NE(Attributes("Label") & kAttributeWorkOffline, 0u);
}

TEST_F(Provisioning, APrinterThatLetsAReadTimeOutIsNotReadAgainInThatPass) {
  spooler.Add("Label", "Kelo Driver", 1, kAttributeWorkOffline);
  spooler.Add("Label #1", "Kelo Driver", 2);
  bus.PlugSilent("dev-a");  // paired with the base queue in both later steps
  bus.Plug("dev-b", kStateEnabled, 9);
  Pass();
  EXPECT_EQ(bus.reads, (Lines{"dev-a", "dev-b"})) << "the silent printer cost one timeout, not three";
  // As for a printer that answered nothing: no settings, and the queue within the count goes online.
  EXPECT_EQ(spooler.log, (Lines{"delete Label #1", "online Label"}));
  EXPECT_TRUE(settings.log.empty());

  bus.printers = {{"dev-a", bus.printers.back().block, false}};  // answers again; dev-b unplugged
  Pass();
  EXPECT_EQ(bus.reads, (Lines{"dev-a", "dev-a", "dev-a"})) << "the memory lasts one pass";
  EXPECT_EQ(settings.log, (Lines{"bin Label type 9", "ini Label type 9"}));
}

TEST_F(Provisioning, AnAnsweringPrinterIsReadAfreshInEachStep) {
  spooler.Add("Label", "Kelo Driver", 1);
  bus.Plug("dev-a", kStateEnabled);
  Pass();
  EXPECT_EQ(bus.reads, (Lines{"dev-a", "dev-a", "dev-a"}));
}

TEST_F(Provisioning, AQueueWithoutPositionSortsFirstAndIsNeverGivenOneNorMarkedOffline) {
  spooler.Add("Label #4", "Kelo Driver", std::nullopt);
  Pass();
  EXPECT_EQ(spooler.log, Lines{"rename Label #4 -> Label"});
  EXPECT_FALSE(spooler.Find("Label")->position.has_value());
  EXPECT_EQ(Attributes("Label") & kAttributeWorkOffline, 0u);
}

TEST_F(Provisioning, QueuesOfOtherDriversAreNeverTouched) {
  spooler.Add("Label #1", "Other Driver", 2, 0, 0x80);
  spooler.Add("Label", "Kelo Driver", 1);
  bus.Plug("dev-a", kStateEnabled);
  Pass();
  EXPECT_EQ(spooler.log, Lines{});
  EXPECT_EQ(spooler.Find("Label #1")->record.status, 0x80u);
}

TEST_F(Provisioning, SwappedNamesStayAsTheyAreSinceRenamesOntoTakenNamesFail) {
  spooler.Add("Label", "Kelo Driver", 2);
  spooler.Add("Label #1", "Kelo Driver", 1);
  bus.Plug("dev-a", kStateEnabled, 1);
  bus.Plug("dev-b", kStateEnabled, 2);
  Pass();
  EXPECT_EQ(spooler.log, (Lines{"rename Label #1 -> Label", "rename Label -> Label #1"}));
  EXPECT_EQ(spooler.Names(), (Lines{"Label", "Label #1"}));
  // Settings follow the sorted order, under the names the queues were to bear.
  EXPECT_EQ(settings.log, (Lines{"bin Label type 1", "ini Label type 1", "bin Label #1 type 2", "ini Label #1 type 2"}));
}

TEST_F(Provisioning, GapsInPositionsAreClosed) {
  spooler.Add("Label", "Kelo Driver", 1);
  spooler.Add("Label #2", "Kelo Driver", 5);
  bus.Plug("dev-a", kStateEnabled);
  bus.Plug("dev-b", kStateEnabled);
  Pass();
  EXPECT_EQ(spooler.log, (Lines{"position Label #2 = 2", "rename Label #2 -> Label #1"}));
}

TEST_F(Provisioning, EmptyDriverNameChangesNoQueue) {
  queueTemplate.driverName.clear();
  spooler.Add("Label", "Kelo Driver", 1);
  bus.Plug("dev-a", kStateEnabled);
  Pass();
  EXPECT_EQ(spooler.log, Lines{"add Label #0"});
  EXPECT_EQ(spooler.Names(), Lines{"Label"});
  EXPECT_EQ(Attributes("Label"), 0u);
}

TEST_F(Provisioning, AtMostTenPrintersCount) {
  for (int i = 0; i < 12; ++i) bus.Plug("dev-" + std::to_string(i), kStateEnabled);
  Pass();
  EXPECT_EQ(spooler.Names().size(), 10u);
  EXPECT_EQ(spooler.Find("Label #9")->position, 10u);
}

TEST_F(Provisioning, AFailedEnumerationEndsThePass) {
  spooler.Add("Label", "Kelo Driver", 1);
  spooler.failEnumeration = true;
  Pass();
  EXPECT_TRUE(spooler.log.empty());
  EXPECT_TRUE(settings.log.empty());
}

TEST_F(Provisioning, AQueueThatCannotBeOpenedIsSkipped) {
  spooler.Add("Label #0", "Kelo Driver", 1);
  spooler.Find("Label #0")->opens = false;
  bus.Plug("dev-a", kStateEnabled);
  Pass();
  EXPECT_EQ(spooler.log, Lines{});
  EXPECT_TRUE(settings.log.empty());
}

}  // namespace
