// The CUPS adapters against a real cupsd with the test harness's queues
// (KELO, KeloTest203, KeloTest300), and against a scripted IPP server for the
// queues a test machine's cupsd cannot have: remote and discovered ones.
#include "linux_agent/printers/cups_destinations_cups.h"
#include "linux_agent/printers/cups_printer_device_cups.h"
#include "print_service/printers/get_printers.h"
#include "print_service/printers/printer_filter.h"

#include "testing/recording_log.h"

#include <httplib.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <thread>

namespace {

std::map<std::string, uint32_t> Listed() {
  CupsPrinterEnumerator enumerator;
  std::map<std::string, uint32_t> listed;
  const auto records = enumerator.EnumerateLocalQueues();
  EXPECT_TRUE(records);
  if (records) {
    for (const QueueRecord& r : *records) listed[r.name] = r.attributes;
  }
  return listed;
}

void Shell(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

std::vector<std::string> Filtered(ListingFlags flags) {
  CupsPrinterEnumerator enumerator;
  RecordingLog log;
  return EnumLocalPrinters(enumerator, log, flags.onlyLocal, flags.onlyOnline, flags.onlySupported)
      .value_or(std::vector<std::string>{"(failed)"});
}

bool Has(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

TEST(CupsListing, StoppedAndRejectingQueuesAreOffline) {
  std::map<std::string, uint32_t> listed = Listed();
  for (const char* queue : {"KELO", "KeloTest203", "KeloTest300"}) {
    ASSERT_EQ(listed.count(queue), 1u) << queue;
    EXPECT_EQ(listed[queue], 0u) << queue;
  }
  Shell("cupsdisable KeloTest300 && cupsreject KeloTest203");
  listed = Listed();
  const std::vector<std::string> online = Filtered({false, true, false});
  Shell("cupsenable KeloTest300 && cupsaccept KeloTest203");  // before any assertion can end the test
  EXPECT_EQ(listed["KeloTest300"], kAttributeWorkOffline);
  EXPECT_EQ(listed["KeloTest203"], kAttributeWorkOffline);
  EXPECT_EQ(listed["KELO"], 0u);
  EXPECT_TRUE(Has(online, "KELO"));
  EXPECT_FALSE(Has(online, "KeloTest300"));
  EXPECT_FALSE(Has(online, "KeloTest203"));
  EXPECT_EQ(Listed()["KeloTest300"], 0u);
}

TEST(CupsDevice, DefaultResolutionAndMediaOfTheTestQueues) {
  const struct {
    const char* queue;
    DeviceLookup lookup;
    DeviceValues values;
  } rows[] = {
      {"KeloTest300", DeviceLookup::kOk, {300, 300, 600, 900, 300}},     // 2 x 3 in
      {"KeloTest203", DeviceLookup::kOk, {203, 203, 812, 1218, 203}},    // 4 x 6 in
      {"KELO", DeviceLookup::kOk, {203, 203, 812, 1218, 203}},
      {"", DeviceLookup::kOk, {203, 203, 812, 1218, 203}},               // no name: KELO
      {"KeloNoSuchQueue", DeviceLookup::kPrinterUnavailable, {}},
      {"keloTest300", DeviceLookup::kPrinterUnavailable, {}},                    // exactly the name
      {"KeloTest300/instance", DeviceLookup::kPrinterUnavailable, {}},
      {"ipp://127.0.0.1:631/printers/KeloTest300", DeviceLookup::kPrinterUnavailable, {}},
  };
  CupsPrinterDevice device;
  for (const auto& row : rows) {
    DeviceValues v = {};
    ASSERT_EQ(device.Query(row.queue, v), row.lookup) << row.queue;
    if (row.lookup != DeviceLookup::kOk) continue;
    EXPECT_EQ(v.xDpi, row.values.xDpi) << row.queue;
    EXPECT_EQ(v.yDpi, row.values.yDpi) << row.queue;
    EXPECT_EQ(v.physicalWidth, row.values.physicalWidth) << row.queue;
    EXPECT_EQ(v.physicalHeight, row.values.physicalHeight) << row.queue;
    EXPECT_EQ(v.printQuality, row.values.printQuality) << row.queue;
  }
}

// Answers every IPP request with the same printers, as a CUPS server that
// shares remote queues and has discovered one would.
class ScriptedIppServer {
 public:
  ScriptedIppServer() {
    server_.Post("/", [](const httplib::Request& req, httplib::Response& res) {
      struct Reader {
        const std::string* body;
        size_t at;
      } reader{&req.body, 0};
      ipp_t* request = ippNew();
      (void)ippReadIO(&reader, [](void* ctx, ipp_uchar_t* buffer, size_t bytes) -> ssize_t {
        auto* r = static_cast<Reader*>(ctx);
        const size_t n = std::min(bytes, r->body->size() - r->at);
        std::memcpy(buffer, r->body->data() + r->at, n);
        r->at += n;
        return static_cast<ssize_t>(n);
      }, 1, nullptr, request);
      ipp_t* response = ippNewResponse(request);
      ippDelete(request);
      const struct {
        const char* name;
        int type;
        int state;
        bool accepting;
      } printers[] = {{"KeloLocal", 0x0004, 3, true},
                      {"KeloRemote", 0x0004 | 0x0002, 3, true},
                      {"KeloDiscovered", 0x0004 | 0x1000000, 3, true},
                      {"KeloRemoteStopped", 0x0004 | 0x0002, 5, true}};
      for (const auto& p : printers) {
        ippAddSeparator(response);
        ippAddString(response, IPP_TAG_PRINTER, IPP_TAG_NAME, "printer-name", nullptr, p.name);
        ippAddString(response, IPP_TAG_PRINTER, IPP_TAG_URI, "printer-uri-supported", nullptr,
                     (std::string("ipp://127.0.0.1/printers/") + p.name).c_str());
        ippAddInteger(response, IPP_TAG_PRINTER, IPP_TAG_ENUM, "printer-type", p.type);
        ippAddInteger(response, IPP_TAG_PRINTER, IPP_TAG_ENUM, "printer-state", p.state);
        ippAddBoolean(response, IPP_TAG_PRINTER, "printer-is-accepting-jobs", p.accepting ? 1 : 0);
      }
      std::string out;
      (void)ippWriteIO(&out, [](void* ctx, ipp_uchar_t* buffer, size_t bytes) -> ssize_t {
        static_cast<std::string*>(ctx)->append(reinterpret_cast<const char*>(buffer), bytes);
        return static_cast<ssize_t>(bytes);
      }, 1, nullptr, response);
      ippDelete(response);
      res.set_content(out, "application/ipp");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { (void)server_.listen_after_bind(); });
  }
  ~ScriptedIppServer() {
    server_.stop();
    thread_.join();
  }
  int port() const { return port_; }

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
};

TEST(CupsListing, RemoteAndDiscoveredQueuesAreNetworkQueues) {
  ScriptedIppServer ipp;
  ASSERT_GT(ipp.port(), 0);
  const std::string server = "127.0.0.1:" + std::to_string(ipp.port());
  std::map<std::string, uint32_t> listed;
  std::vector<std::string> local;
  std::vector<std::string> localOnline;
  // libcups reads CUPS_SERVER once per thread: a new thread asks the scripted server.
  setenv("CUPS_SERVER", server.c_str(), 1);
  std::thread asker([&] {
    listed = Listed();
    local = Filtered({true, false, false});
    localOnline = Filtered({true, true, false});
  });
  asker.join();
  unsetenv("CUPS_SERVER");
  EXPECT_EQ(listed, (std::map<std::string, uint32_t>{{"KeloDiscovered", kAttributeNetwork},
                                                     {"KeloLocal", 0},
                                                     {"KeloRemote", kAttributeNetwork},
                                                     {"KeloRemoteStopped", kAttributeNetwork | kAttributeWorkOffline}}));
  EXPECT_EQ(local, std::vector<std::string>{"KeloLocal"});
  EXPECT_EQ(localOnline, std::vector<std::string>{"KeloLocal"});
}

}  // namespace
