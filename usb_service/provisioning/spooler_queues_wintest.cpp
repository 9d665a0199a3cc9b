// The spooler adapter's single operations against Wine's spooler, on queues of
// our own with port "FILE:" and a driver Wine has; and the queue template key.
#include "usb_service/provisioning/spooler_queues_win.h"

#include "common/size_retry_win.h"
#include "common/unique_owner_win.h"
#include "usb_service/provisioning/provision_printers_win.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

const QueueTemplate kTemplate{"KeloProvTest", "KeloTest300", "FILE:"};

// Deletes the test's queues by every name they may answer to: Wine opens a renamed
// queue only by its old name.
class SpoolerOnWine : public ::testing::Test {
 protected:
  void SetUp() override { Clean(); }
  void TearDown() override { Clean(); }
  void Clean() {
    for (const char* name : {"KeloProvTest", "KeloProvTest #0", "KeloProvTest #1", "KeloProvTest bare"}) {
      for (int i = 0; i < 3; ++i) spooler.DeletePrinterByName(name);
    }
  }
  std::optional<QueueRecord> Listed(const std::string& name) {
    std::optional<std::vector<QueueRecord>> records = spooler.EnumerateQueues();
    if (!records) return std::nullopt;
    for (const QueueRecord& r : *records) {
      if (r.name == name) return r;
    }
    return std::nullopt;
  }

  SpoolerQueues spooler;
};

TEST_F(SpoolerOnWine, AddsAQueueFromTheTemplateWithItsPosition) {
  spooler.AddPrinterQueue("KeloProvTest #0", kTemplate, 1);
  const std::optional<QueueRecord> listed = Listed("KeloProvTest #0");
  ASSERT_TRUE(listed);
  EXPECT_EQ(listed->driver, "KeloTest300");
  EXPECT_EQ(spooler.ReadPosition("KeloProvTest #0"), std::optional<uint32_t>(1));

  UniquePrinter printer;
  ASSERT_TRUE(OpenPrinterA(const_cast<char*>("KeloProvTest #0"), printer.Put(), nullptr));
  SizedBuffer buffer;
  ASSERT_TRUE(CallWithSizeRetry(
      [&](BYTE* data, DWORD size, DWORD* needed) { return GetPrinterA(printer.Get(), 2, data, size, needed) != FALSE; },
      buffer));
  const auto* info = reinterpret_cast<const PRINTER_INFO_2A*>(buffer.Data());
  EXPECT_STREQ(info->pPortName, "FILE:");
  EXPECT_STREQ(info->pPrintProcessor, "WinPrint");
  EXPECT_STREQ(info->pDatatype, "RAW");
  EXPECT_EQ(info->Attributes & PRINTER_ATTRIBUTE_SHARED, 0u);

  spooler.WritePosition("KeloProvTest #0", 3);
  EXPECT_EQ(spooler.ReadPosition("KeloProvTest #0"), std::optional<uint32_t>(3));
}

TEST_F(SpoolerOnWine, FindsOnlyQueuesOfTheDriverAndReadsNoPositionWhereThereIsNone) {
  PRINTER_INFO_2A info{};
  info.pPrinterName = const_cast<char*>("KeloProvTest bare");
  info.pDriverName = const_cast<char*>("KeloTest300");
  info.pPortName = const_cast<char*>("FILE:");
  info.pPrintProcessor = const_cast<char*>("WinPrint");
  info.pDatatype = const_cast<char*>("RAW");
  UniquePrinter bare(AddPrinterA(nullptr, 2, reinterpret_cast<BYTE*>(&info)));
  ASSERT_TRUE(bare);
  EXPECT_FALSE(spooler.ReadPosition("KeloProvTest bare"));
  EXPECT_FALSE(spooler.ReadPosition("KeloProvTest no such queue"));
  EXPECT_FALSE(spooler.CanOpen("KeloProvTest no such queue"));

  const std::optional<std::vector<QueueRecord>> records = spooler.EnumerateQueues();
  ASSERT_TRUE(records);
  const auto kelo = std::find_if(records->begin(), records->end(), [](const QueueRecord& r) { return r.name == "KELO"; });
  ASSERT_NE(kelo, records->end()) << "the harness's queue";
  EXPECT_EQ(kelo->driver, "KELO") << "each CUPS queue has a driver of its own name";
}

TEST_F(SpoolerOnWine, ARenamedQueueIsListedUnderItsNewNameWithItsPrinterData) {
  spooler.AddPrinterQueue("KeloProvTest #0", kTemplate, 1);
  ASSERT_TRUE(spooler.Rename("KeloProvTest #0", "KeloProvTest"));
  EXPECT_TRUE(Listed("KeloProvTest"));
  EXPECT_FALSE(Listed("KeloProvTest #0"));
  std::optional<uint32_t> position = spooler.ReadPosition("KeloProvTest");
  if (!position) position = spooler.ReadPosition("KeloProvTest #0");  // Wine opens it by its old name only
  EXPECT_EQ(position, std::optional<uint32_t>(1));
}

TEST_F(SpoolerOnWine, SetsAndClearsWorkOffline) {
  spooler.AddPrinterQueue("KeloProvTest #1", kTemplate, 2);
  ASSERT_TRUE(spooler.ReadRecord("KeloProvTest #1"));
  EXPECT_EQ(spooler.ReadRecord("KeloProvTest #1")->attributes & kAttributeWorkOffline, 0u);
  spooler.SetWorkOffline("KeloProvTest #1", true);
  EXPECT_NE(spooler.ReadRecord("KeloProvTest #1")->attributes & kAttributeWorkOffline, 0u);
  EXPECT_NE(Listed("KeloProvTest #1")->attributes & kAttributeWorkOffline, 0u) << "seen by the enumeration too";
  spooler.SetWorkOffline("KeloProvTest #1", false);
  EXPECT_EQ(spooler.ReadRecord("KeloProvTest #1")->attributes & kAttributeWorkOffline, 0u);
}

TEST_F(SpoolerOnWine, DeletesAQueueAndAddsNoneWithoutADriver) {
  spooler.AddPrinterQueue("KeloProvTest #1", kTemplate, 2);
  ASSERT_TRUE(Listed("KeloProvTest #1"));
  spooler.DeletePrinterByName("KeloProvTest #1");
  EXPECT_FALSE(Listed("KeloProvTest #1"));
  EXPECT_FALSE(spooler.CanOpen("KeloProvTest #1"));

  spooler.AddPrinterQueue("KeloProvTest #1", {"KeloProvTest", "", "FILE:"}, 2);
  EXPECT_FALSE(Listed("KeloProvTest #1"));
}

TEST(QueueTemplateOnWine, ReadsTheServicesKeyAndGivesEmptyTextsForMissingValues) {
  const std::string service = "Kelo Template Test Service With A Long Name";
  const std::string path = QueueTemplateKeyPath(service);
  EXPECT_EQ(path, "SOFTWARE\\" + service);
  (void)RegDeleteTreeA(HKEY_LOCAL_MACHINE, path.c_str());
  RegistryQueueTemplate source;

  std::optional<QueueTemplate> created = source.ReadQueueTemplate(service);
  ASSERT_TRUE(created) << "the key is created when missing";
  EXPECT_EQ(created->printerName, "");

  UniqueRegKey key;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, key.Put()), ERROR_SUCCESS);
  auto set = [&](const char* name, const std::string& value) {
    (void)RegSetValueExA(key.Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                         static_cast<DWORD>(value.size() + 1));
  };
  set("PrinterName", "Label Printer");
  set("DriverName", std::string(300, 'd'));  // longer than the 255 bytes a value may have
  set("PrinterPort", "USB001");
  const std::optional<QueueTemplate> read = source.ReadQueueTemplate(service);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->printerName, "Label Printer");
  EXPECT_EQ(read->driverName, "");
  EXPECT_EQ(read->printerPort, "USB001");
  key.Reset();
  (void)RegDeleteTreeA(HKEY_LOCAL_MACHINE, path.c_str());
}

}  // namespace
