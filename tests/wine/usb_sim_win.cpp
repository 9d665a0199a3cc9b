// Simulated USB label printers for the service's tests under Wine:
//   usb_sim plug INSTANCE HEX     registers a present printer answering the bytes
//   usb_sim answer INSTANCE HEX   changes its answer
//   usb_sim unplug INSTANCE       marks it absent
//   usb_sim remove INSTANCE       deletes every trace of it
//   usb_sim silent INSTANCE...    registers printers that never answer and serves them,
//                                 every open, until standard input closes ("ready" once
//                                 they can be opened)
#include "testing/simulated_usb_printer_win.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace {

bool FromHex(const char* hex, std::string& bytes) {
  const size_t length = std::strlen(hex);
  if (length % 2 != 0) return false;
  for (size_t i = 0; i < length; i += 2) {
    unsigned value = 0;
    if (std::sscanf(hex + i, "%2x", &value) != 1) return false;
    bytes.push_back(static_cast<char>(value));
  }
  return true;
}

int ServeSilentPrinters(int count, char** instances) {
  std::vector<std::unique_ptr<SimulatedUsbPrinter>> printers;
  std::vector<std::unique_ptr<SilentPrinterPipe>> pipes;
  std::vector<HANDLE> connected;
  for (int i = 0; i < count && i < MAXIMUM_WAIT_OBJECTS; ++i) {
    printers.push_back(std::make_unique<SimulatedUsbPrinter>(instances[i]));
    if (!printers.back()->Register()) return 1;
    (void)DeleteFileA(printers.back()->DosDeviceFile().c_str());  // the pipe stands in for the file
    pipes.push_back(std::make_unique<SilentPrinterPipe>(*printers.back()));
    if (!pipes.back()->Ready()) return 1;
    connected.push_back(pipes.back()->Connected());
  }
  std::atomic<bool> inputClosed{false};
  std::thread input([&inputClosed] {
    char ignored[64];
    DWORD got = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), ignored, sizeof ignored, &got, nullptr) && got > 0) {
    }
    inputClosed = true;
  });
  std::printf("ready\n");
  std::fflush(stdout);
  while (!inputClosed) {
    const DWORD woken = WaitForMultipleObjects(static_cast<DWORD>(connected.size()), connected.data(), FALSE, 100);
    if (woken >= WAIT_OBJECT_0 && woken < WAIT_OBJECT_0 + connected.size() &&
        !pipes[woken - WAIT_OBJECT_0]->ServeNext()) {
      break;
    }
  }
  input.join();  // standard input is closed, or closes when the test ends
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: usb_sim plug|answer|unplug|remove|silent INSTANCE [HEX]\n");
    return 2;
  }
  const std::string command = argv[1];
  const SimulatedUsbPrinter printer(argv[2]);
  std::string bytes;
  if ((command == "plug" || command == "answer") && (argc < 4 || !FromHex(argv[3], bytes))) return 2;

  if (command == "plug") return printer.Register() && printer.SetAnswer(bytes) ? 0 : 1;
  if (command == "answer") return printer.SetAnswer(bytes) ? 0 : 1;
  if (command == "unplug") return printer.Register(false) ? 0 : 1;
  if (command == "remove") {
    printer.Remove();
    return 0;
  }
  if (command == "silent") return ServeSilentPrinters(argc - 2, argv + 2);
  return 2;
}
