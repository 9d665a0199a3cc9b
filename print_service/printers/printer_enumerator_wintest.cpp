// The listing against the real spooler: the CUPS test queues, work-offline, non-ASCII names.
#include "print_service/printers/get_printers.h"
#include "print_service/printers/printer_enumerator_win.h"
#include "print_service/printers/queue_lookup_win.h"
#include "print_service/printers/tray_settings_store_win.h"
#include "print_service/printers/spooler_printer_device_win.h"

#include "common/text_convert.h"
#include "common/size_retry_win.h"
#include "common/unique_owner_win.h"
#include "testing/recording_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

namespace {

using Names = std::vector<std::string>;

// The spooler's own order, read independently of the adapter (level 4, names only).
Names SpoolerOrder() {
  DWORD returned = 0;
  SizedBuffer buffer;
  if (!EnumPrintersWithSizeRetry(EnumPrintersW, PRINTER_ENUM_LOCAL, 4, buffer, returned)) return {};
  Names names;
  const auto* infos = reinterpret_cast<const PRINTER_INFO_4W*>(buffer.Data());
  for (DWORD i = 0; i < returned; ++i) names.push_back(Utf8FromWide(infos[i].pPrinterName));
  return names;
}

Names Listing(bool onlyLocal, bool onlyOnline, bool onlySupported) {
  SpoolerPrinterEnumerator spooler;
  RecordingLog log;
  return EnumLocalPrinters(spooler, log, onlyLocal, onlyOnline, onlySupported).value_or(Names{"<failed>"});
}

bool Contains(const Names& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// Sets or clears the work-offline attribute through SetPrinterW level 2, and puts it back.
class WorkOffline {
 public:
  WorkOffline(const wchar_t* queue, bool offline) : queue_(queue) { ok_ = Set(offline); }
  ~WorkOffline() { (void)Set(false); }
  bool ok() const { return ok_; }

 private:
  bool Set(bool offline) {
    PRINTER_DEFAULTSW access = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    UniquePrinter printer;
    if (!OpenPrinterW(const_cast<wchar_t*>(queue_), printer.Put(), &access)) return false;
    SizedBuffer buffer;
    if (!CallWithSizeRetry(
            [&](BYTE* data, DWORD size, DWORD* needed) {
              return GetPrinterW(printer.Get(), 2, data, size, needed) != FALSE;
            },
            buffer)) {
      return false;
    }
    auto* info = reinterpret_cast<PRINTER_INFO_2W*>(buffer.Data());
    if (offline) {
      info->Attributes |= PRINTER_ATTRIBUTE_WORK_OFFLINE;
    } else {
      info->Attributes &= ~static_cast<DWORD>(PRINTER_ATTRIBUTE_WORK_OFFLINE);
    }
    info->pSecurityDescriptor = nullptr;  // keep the queue's own
    return SetPrinterW(printer.Get(), 2, buffer.Data(), 0) != FALSE;
  }

  const wchar_t* queue_;
  bool ok_ = false;
};

TEST(SpoolerListing, ListsTheTestQueuesInTheSpoolersOrder) {
  const Names all = Listing(false, false, false);
  EXPECT_EQ(all, SpoolerOrder());
  for (const char* queue : {"KELO", "KeloTest203", "KeloTest300"}) EXPECT_TRUE(Contains(all, queue)) << queue;

  const Names supported = Listing(false, false, true);
  EXPECT_TRUE(Contains(supported, "KELO"));
  EXPECT_FALSE(Contains(supported, "KeloTest203"));
  for (const std::string& name : supported) EXPECT_TRUE(IsSupportedModel(name)) << name;

  // CUPS queues are local to this machine.
  EXPECT_TRUE(Contains(Listing(true, false, false), "KeloTest203"));
}

TEST(SpoolerListing, WorkOfflineQueueIsDroppedOnlyByOnlyOnline) {
  WorkOffline offline(L"KeloTest300", true);
  ASSERT_TRUE(offline.ok()) << GetLastError();
  EXPECT_FALSE(Contains(Listing(false, true, false), "KeloTest300"));
  EXPECT_FALSE(Contains(Listing(true, true, false), "KeloTest300"));
  EXPECT_TRUE(Contains(Listing(false, false, false), "KeloTest300"));
  EXPECT_TRUE(Contains(Listing(true, false, false), "KeloTest300"));
  EXPECT_TRUE(Contains(Listing(false, true, false), "KeloTest203"));
}

TEST(SpoolerListing, NonAsciiQueueNameIsListedAsUtf8) {
  const wchar_t* const name = L"\u6807\u7B7E\u6253\u5370\u673A";  // 标签打印机
  const std::string utf8 = "\xE6\xA0\x87\xE7\xAD\xBE\xE6\x89\x93\xE5\x8D\xB0\xE6\x9C\xBA";
  PRINTER_INFO_2W info = {};
  info.pPrinterName = const_cast<wchar_t*>(name);
  info.pDriverName = const_cast<wchar_t*>(L"KeloTest203");
  info.pPortName = const_cast<wchar_t*>(L"FILE:");
  info.pPrintProcessor = const_cast<wchar_t*>(L"WinPrint");
  info.pDatatype = const_cast<wchar_t*>(L"RAW");
  UniquePrinter added(AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info)));
  ASSERT_TRUE(added) << GetLastError();
  struct Deleter {
    HANDLE printer;
    ~Deleter() { (void)DeletePrinter(printer); }
  } deleteAfterwards{added.Get()};

  const Names all = Listing(false, false, false);
  EXPECT_TRUE(Contains(all, utf8));
  EXPECT_FALSE(Contains(Listing(false, false, true), utf8));

  SpoolerPrinterEnumerator spooler;
  RecordingLog log;
  const ApiAnswer res = HandleGetPrinters(spooler, log, ApiRequest());
  EXPECT_NE(res.body.find("\"name\":\t\"" + utf8 + "\""), std::string::npos) << res.body;
}

// Names reach OpenPrinterW only from the spooler's own list: hostile names are
// refused before any call that could reach a network host.
TEST(QueueLookup, OnlyListedQueuesAreOpenable) {
  const std::optional<Names> listed = ListQueueNames();
  ASSERT_TRUE(listed);
  EXPECT_EQ(*listed, SpoolerOrder());
  EXPECT_EQ(OpenableQueue("KeloTest203"), std::optional<std::wstring>(L"KeloTest203"));
  EXPECT_EQ(OpenableQueue(""), std::optional<std::wstring>(L"KELO"));
  using namespace std::string_literals;
  for (const std::string& name : {"KeloTest203\0x"s, "\\\\attacker.example\\p"s, "\\\\host@80\\p"s, "LPT1"s, "nul.txt"s,
                                  "keloTEST203"s, "\xFF\xFE"s}) {
    EXPECT_FALSE(OpenableQueue(name)) << name;
    DeviceValues values = {};
    const auto start = GetTickCount();
    EXPECT_EQ(SpoolerPrinterDevice().Query(name, values), DeviceLookup::kPrinterUnavailable) << name;
    EXPECT_LT(GetTickCount() - start, 1000u) << name;
  }
}

}  // namespace
