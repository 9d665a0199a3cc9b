// One provisioning pass with 1 and with 10 printers under Wine: the real spooler,
// simulated USB printers (registry entries and answer files) and the real settings
// store in a scratch directory.
//   provisioning_bench [PASSES]
// "first": no queue yet, every printer gets one; "steady": the queues exist, as on
// every device event after the first. The base queue is made under its final name
// for the steady passes, since Wine cannot open a renamed queue by its new name.
#include "bench/pass_timing.h"
#include "testing/data_directory_override_win.h"
#include "testing/label_driver_win.h"
#include "testing/simulated_usb_printer_win.h"
#include "usb_service/provisioning/provision_printers_win.h"
#include "usb_service/provisioning/spooler_queues_win.h"
#include "usb_service/provisioning/usb_printer_bus_win.h"

#include <cstdlib>
#include <memory>

namespace {

const QueueTemplate kTemplate{"KeloBench", kTestLabelDriver, "FILE:"};

// Under every name a bench queue may open by: Wine keeps the first queue's birth name.
void DeleteBenchQueues(SpoolerQueues& spooler) {
  spooler.DeletePrinterByName("KeloBench");
  for (int i = 0; i < 10; ++i) spooler.DeletePrinterByName("KeloBench #" + std::to_string(i));
}

}  // namespace

int main(int argc, char** argv) {
  const int passes = argc > 1 ? std::atoi(argv[1]) : 20;
  if (!InstallLabelDriver()) {
    std::fprintf(stderr, "cannot install the test driver\n");
    return 1;
  }
  const std::string directory = CreateScratchDirectory("kelo-bench-");
  DataDirectoryOverride store(directory);
  std::vector<std::unique_ptr<SimulatedUsbPrinter>> printers;
  std::string answer(32, '\0');
  answer[0] = static_cast<char>(kStateEnabled);
  answer[8] = 1;

  UsbPrinterBus bus;
  SpoolerQueues spooler;
  StoreSettingsWriter settings;
  ProvisioningPorts ports{bus, spooler, spooler, settings};
  DeleteBenchQueues(spooler);

  PrintPassHeader();
  for (const char* kind : {"first", "steady"}) {
    const bool first = std::string(kind) == "first";
    PassTimes times[2];
    const int counts[2] = {1, 10};
    for (int c = 0; c < 2; ++c) {
      for (const auto& p : printers) p->Remove();
      printers.clear();
      for (int i = 0; i < counts[c]; ++i) {
        char instance[32];
        std::snprintf(instance, sizeof instance, "7&bench%02d&0&2", i);
        printers.push_back(std::make_unique<SimulatedUsbPrinter>(instance));
        if (!printers.back()->Register() || !printers.back()->SetAnswer(answer)) return 1;
      }
      DeleteBenchQueues(spooler);
      if (!first) {
        spooler.AddPrinterQueue("KeloBench", kTemplate, 1);
        ProvisionPrintersWith(ports, kTemplate);  // adds the numbered ones
      }
      times[c] = TimePasses(
          passes,
          [&] {
            if (first) DeleteBenchQueues(spooler);
          },
          [&] { ProvisionPrintersWith(ports, kTemplate); });
      PrintPassRow("wine real", kind, counts[c], passes, times[c]);
    }
    PrintRatio("wine real", kind, times[1], times[0]);
  }
  for (const auto& p : printers) p->Remove();
  DeleteBenchQueues(spooler);
  return 0;
}
