// Passes from two threads, and the queue template kept between passes.
#include "usb_service/provisioning/provisioning_runner.h"

#include "testing/fake_provisioning.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace {

using Lines = std::vector<std::string>;

// A bus that takes its time to enumerate and notes how many passes are inside it.
class SlowBus final : public PrinterBus {
 public:
  FakeBus printers;
  std::atomic<int> inside{0};
  std::atomic<int> most{0};

  std::vector<std::string> CollectPrinterPaths() override {
    const int now = ++inside;
    int seen = most;
    while (now > seen && !most.compare_exchange_weak(seen, now)) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    --inside;
    return printers.CollectPrinterPaths();
  }
  int GetPrinterNum() override { return printers.GetPrinterNum(); }
  ConfigBlock GetPrinterConfig(const std::string& path) override { return printers.GetPrinterConfig(path); }
};

class ScriptedTemplate final : public QueueTemplateSource {
 public:
  std::vector<std::optional<QueueTemplate>> answers;  // one per pass, then nullopt
  std::vector<std::string> askedFor;
  std::optional<QueueTemplate> ReadQueueTemplate(const std::string& serviceName) override {
    askedFor.push_back(serviceName);
    const size_t index = askedFor.size() - 1;
    return index < answers.size() ? answers[index] : std::nullopt;
  }
};

const QueueTemplate kTemplate{"Label", "Kelo Driver", "USB001"};

TEST(ProvisioningRunner, TwoPassesStartedTogetherRunOneAfterTheOther) {
  SlowBus bus;
  bus.printers.Plug("dev-a", kStateEnabled);
  FakeSpooler spooler;
  RecordingSettings settings;
  ScriptedTemplate source;
  source.answers = {kTemplate, kTemplate};
  ProvisioningPorts ports{bus, spooler, spooler, settings};
  ProvisioningRunner runner;

  std::thread startUp([&] { runner.RunPass(ports, source, "USB Printer Service KELO"); });
  std::thread deviceEvent([&] { runner.RunPass(ports, source, "USB Printer Service KELO"); });
  startUp.join();
  deviceEvent.join();

  EXPECT_EQ(bus.most, 1) << "the passes overlapped";
  EXPECT_EQ(source.askedFor.size(), 2u) << "the waiting pass must still run";
  // The second pass found the first one's queue instead of adding its own.
  EXPECT_EQ(spooler.Names(), Lines{"Label"});
  EXPECT_EQ(std::count(spooler.log.begin(), spooler.log.end(), "add Label #0"), 1);
}

TEST(ProvisioningRunner, KeepsTheLastTemplateReadWhenTheKeyCannotBeOpened) {
  FakeBus bus;
  bus.Plug("dev-a", kStateEnabled);
  FakeSpooler spooler;
  RecordingSettings settings;
  ScriptedTemplate source;
  ProvisioningPorts ports{bus, spooler, spooler, settings};
  ProvisioningRunner runner;
  const std::string longName = "Label Printer Service Installed Under A Long Name";

  runner.RunPass(ports, source, longName);  // no key yet: empty template, nothing can be added
  EXPECT_TRUE(spooler.queues.empty());

  source.answers = {std::nullopt, kTemplate};
  runner.RunPass(ports, source, longName);
  ASSERT_EQ(spooler.Names(), Lines{"Label"});

  bus.Unplug("dev-a");
  runner.RunPass(ports, source, longName);  // key gone: the template of the last pass holds
  EXPECT_NE(spooler.Find("Label")->record.attributes & kAttributeWorkOffline, 0u) << "still counted as the maker's queue";
  EXPECT_EQ(source.askedFor, Lines(3, longName)) << "the name is passed whole";
}

}  // namespace
