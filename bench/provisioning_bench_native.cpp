// One provisioning pass with 1 and with 10 printers, natively against the fakes:
// the algorithm's own cost, without spooler, bus or files.
//   provisioning_bench_native [PASSES]
#include "bench/pass_timing.h"
#include "testing/fake_provisioning.h"

#include <cstdlib>

namespace {

const QueueTemplate kTemplate{"KeloBench", "Kelo Label Driver", "FILE:"};

void Plug(FakeBus& bus, int printers) {
  for (int i = 0; i < printers; ++i) bus.Plug("\\\\?\\usb#vid_5e3a&pid_01c7&mi_02#" + std::to_string(i), kStateEnabled);
}

}  // namespace

int main(int argc, char** argv) {
  const int passes = argc > 1 ? std::atoi(argv[1]) : 5000;
  PrintPassHeader();
  for (const char* kind : {"first", "steady"}) {
    PassTimes times[2];
    const int counts[2] = {1, 10};
    for (int c = 0; c < 2; ++c) {
      const int printers = counts[c];
      FakeBus bus;
      Plug(bus, printers);
      FakeSpooler spooler;
      RecordingSettings settings;
      ProvisioningPorts ports{bus, spooler, spooler, settings};
      const bool first = std::string(kind) == "first";
      if (!first) ProvisionPrintersWith(ports, kTemplate);  // the queues exist from here on
      times[c] = TimePasses(
          passes,
          [&] {
            if (first) spooler.queues.clear();
            spooler.log.clear();
            settings.log.clear();
          },
          [&] { ProvisionPrintersWith(ports, kTemplate); });
      PrintPassRow("native fakes", kind, printers, passes, times[c]);
    }
    PrintRatio("native fakes", kind, times[1], times[0]);
  }
  return 0;
}
