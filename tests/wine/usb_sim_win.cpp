// Simulated USB label printers for the service's tests under Wine:
//   usb_sim plug INSTANCE HEX     registers a present printer answering the bytes
//   usb_sim answer INSTANCE HEX   changes its answer
//   usb_sim unplug INSTANCE       marks it absent
//   usb_sim remove INSTANCE       deletes every trace of it
//   usb_sim silent INSTANCE       registers a printer that never answers and serves
//                                 it until standard input closes ("ready" once it can be opened)
#include "testing/simulated_usb_printer_win.h"

#include <cstdio>
#include <cstring>

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
  if (command == "silent") {
    if (!printer.Register()) return 1;
    SilentPrinterPipe pipe(printer);
    if (!pipe.Ready()) return 1;
    std::printf("ready\n");
    std::fflush(stdout);
    char ignored[64];
    DWORD got = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), ignored, sizeof ignored, &got, nullptr) && got > 0) {
    }
    return 0;
  }
  return 2;
}
