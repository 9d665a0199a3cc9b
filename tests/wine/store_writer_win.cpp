// Test tool: synchronises a queue's settings the way the USB service does.
//   store_writer.exe QUEUE PRINTTYPE THICKNESS SPEED RESOLUTION_CLASS
#include "usb_service/provisioning/settings_writer_win.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: store_writer QUEUE PRINTTYPE THICKNESS SPEED RESOLUTION_CLASS\n");
    return 2;
  }
  ConfigBlock block;
  block.bytes[0] = kStateEnabled;
  for (int i = 0; i < 4; ++i) block.bytes[8 + i] = static_cast<uint8_t>(std::atoi(argv[2 + i]));
  SaveConfigBin(argv[1], block);
  SyncPrinterIni(argv[1], block);
  return 0;
}
