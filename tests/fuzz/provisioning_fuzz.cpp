// Fuzzes the provisioning pass over the fake spooler and bus.
//
// Input: lines. Line 0 holds option bytes, line 1 the base name, line 2 the maker's
// driver. Then "Q" + flags + Position + name for a queue (flags - '0': bit 0 the
// maker's driver, 1 offline, 2 a status set, 3 cannot be opened, 4 no Position;
// Position - '0'), or "P" + state - '0' + resolution class + device path for a
// printer. Option bytes: 1 the bus's printer count (0: as many as plugged), 2 and 3
// which enumeration of each pass fails (% 5, 0: none).
#include "usb_service/provisioning/provisioning.h"

#include "testing/fake_provisioning.h"
#include "tests/fuzz/fuzz_check.h"

#include <cstdint>
#include <set>
#include <string>

namespace {

// The fake spooler, failing one chosen enumeration (0: none) as a busy spooler may.
class FlakySpooler final : public QueueSpooler {
 public:
  FlakySpooler(FakeSpooler& spooler, int failingCall) : spooler_(spooler), failingCall_(failingCall) {}
  std::optional<std::vector<QueueRecord>> EnumerateQueues() override {
    if (++calls_ == failingCall_) return std::nullopt;
    return spooler_.EnumerateQueues();
  }
  void AddPrinterQueue(const std::string& name, const QueueTemplate& t, uint32_t position) override {
    spooler_.AddPrinterQueue(name, t, position);
  }
  void DeletePrinterByName(const std::string& name) override { spooler_.DeletePrinterByName(name); }
  bool Rename(const std::string& from, const std::string& to) override { return spooler_.Rename(from, to); }

 private:
  FakeSpooler& spooler_;
  int failingCall_;
  int calls_ = 0;
};

// The fake bus with a printer count of its own, as a bus whose count and list disagree.
class CountingBus final : public PrinterBus {
 public:
  FakeBus printers;
  std::optional<int> count;
  std::vector<std::string> CollectPrinterPaths() override { return printers.CollectPrinterPaths(); }
  int GetPrinterNum() override { return count.value_or(printers.GetPrinterNum()); }
  ConfigBlock GetPrinterConfig(const std::string& path) override { return printers.GetPrinterConfig(path); }
};

struct QueueSnapshot {
  std::string name;
  std::string driver;
  uint32_t attributes;
  uint32_t status;
  std::optional<uint32_t> position;
  bool opens;
  bool operator==(const QueueSnapshot& o) const {
    return name == o.name && driver == o.driver && attributes == o.attributes && status == o.status &&
           position == o.position && opens == o.opens;
  }
};

std::vector<QueueSnapshot> Snapshot(const FakeSpooler& spooler, const std::string& driver, bool maker) {
  std::vector<QueueSnapshot> out;
  for (const FakeSpooler::Queue& q : spooler.queues) {
    if ((q.record.driver == driver) != maker) continue;
    out.push_back({q.record.name, q.record.driver, q.record.attributes, q.record.status, q.position, q.opens});
  }
  return out;
}

bool IsQueueNameOf(const std::string& name, const std::string& base) {
  if (name == base) return true;
  if (name.rfind(base + " #", 0) != 0) return false;
  const std::string number = name.substr(base.size() + 2);
  return !number.empty() && number.find_first_not_of("0123456789") == std::string::npos;
}

void RunPassAndCheck(CountingBus& bus, FakeSpooler& spooler, int failingCall, const QueueTemplate& t) {
  const std::vector<QueueSnapshot> othersBefore = Snapshot(spooler, t.driverName, false);
  const size_t makerBefore = Snapshot(spooler, t.driverName, true).size();
  spooler.log.clear();
  FlakySpooler flaky(spooler, failingCall);
  RecordingSettings settings;
  ProvisioningPorts ports{bus, flaky, spooler, settings};
  ProvisionPrintersWith(ports, t);

  std::set<std::string> added;
  for (const std::string& line : spooler.log) {
    if (line.rfind("add ", 0) == 0) FUZZ_REQUIRE(added.insert(line.substr(4)).second);
  }
  std::set<std::string> names;
  for (const FakeSpooler::Queue& q : spooler.queues) FUZZ_REQUIRE(names.insert(q.record.name).second);
  // Other drivers' queues are not the pass's to touch.
  FUZZ_REQUIRE(Snapshot(spooler, t.driverName, false) == othersBefore);
  // The first of the maker's queues always stays.
  if (makerBefore > 0) FUZZ_REQUIRE(!Snapshot(spooler, t.driverName, true).empty());
  // Settings go out in pairs, under the names the queues are to bear.
  FUZZ_REQUIRE(settings.log.size() % 2 == 0);
  for (size_t i = 0; i + 1 < settings.log.size(); i += 2) {
    const std::string& bin = settings.log[i];
    const std::string& ini = settings.log[i + 1];
    FUZZ_REQUIRE(bin.rfind("bin ", 0) == 0 && ini.rfind("ini ", 0) == 0 && bin.substr(4) == ini.substr(4));
    const std::string queue = bin.substr(4, bin.rfind(" type ") - 4);
    FUZZ_REQUIRE(IsQueueNameOf(queue, t.printerName));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string_view> lines = SplitFields(input, '\n', SIZE_MAX);
  const std::string_view options = lines[0];

  QueueTemplate t;
  t.printerName = lines.size() > 1 ? std::string(lines[1]) : "Label";
  t.driverName = lines.size() > 2 ? std::string(lines[2]) : "Kelo Driver";
  t.printerPort = "USB001";

  FakeSpooler spooler;
  CountingBus bus;
  for (size_t i = 3; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (line.size() < 3) continue;
    const auto a = static_cast<uint8_t>(line[1] - '0');
    const auto b = static_cast<uint8_t>(line[2] - '0');
    const std::string rest(line.substr(3));
    if (line[0] == 'Q') {
      if (spooler.Find(rest) != nullptr) continue;  // the spooler's names are unique
      spooler.Add(rest, (a & 1) != 0 ? t.driverName : "Other Driver",
                  (a & 16) != 0 ? std::nullopt : std::optional<uint32_t>(b), (a & 2) != 0 ? kAttributeWorkOffline : 0u,
                  (a & 4) != 0 ? 0x80u : 0u);
      spooler.queues.back().opens = (a & 8) == 0;
    } else if (line[0] == 'P') {
      bus.printers.Plug(rest, a, 1, b);
    }
  }
  if (OptionByte(options, 1) != 0) bus.count = static_cast<int8_t>(OptionByte(options, 1));
  const int failingCall = OptionByte(options, 2) % 5;

  RunPassAndCheck(bus, spooler, failingCall, t);
  // A second pass over what the first left behind.
  RunPassAndCheck(bus, spooler, OptionByte(options, 3) % 5, t);
  return 0;
}
