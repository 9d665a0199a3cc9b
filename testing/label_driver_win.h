// Tests under Wine: a printer driver that only the tests' own queues use (Wine's
// PostScript driver with the PPD a harness queue brought), so that a provisioning
// pass never takes a CUPS queue for one of the maker's.
#pragma once

#include "common/unique_owner_win.h"

inline constexpr char kTestLabelDriver[] = "Kelo Label Driver";

inline bool InstallLabelDriver(const char* name = kTestLabelDriver) {
  DRIVER_INFO_3A info{};
  info.cVersion = 3;
  info.pName = const_cast<char*>(name);
  info.pDriverPath = const_cast<char*>("wineps.drv");
  info.pDataFile = const_cast<char*>("KeloTest300.ppd");
  info.pConfigFile = const_cast<char*>("wineps.drv");
  info.pDefaultDataType = const_cast<char*>("RAW");
  return AddPrinterDriverExA(nullptr, 3, reinterpret_cast<BYTE*>(&info), APD_COPY_NEW_FILES) != FALSE;
}
