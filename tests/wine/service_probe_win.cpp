// Test tool for KeloUsbService under Wine: what sc and net cannot do.
//   service_probe query SERVICE          state, exit codes, accepted controls, type
//   service_probe start SERVICE          starts it (StartService), without waiting
//   service_probe control SERVICE CODE   sends a control (pause 2, continue 3, stop 1, ...)
//   service_probe wait SERVICE STATE MS  polls until the state is reached
//   service_probe watch SERVICE STATE MS like wait, printing every change of state,
//                                        checkpoint or wait hint with the ms since it began
//   service_probe driver NAME            installs a printer driver of that name (Wine's
//                                        PostScript driver), so that only our queues use it
//   service_probe queues DRIVER          lists the queues of a driver: name, attributes, status
//   service_probe delete NAME...         deletes queues by name
#include "common/unique_owner_win.h"
#include "testing/label_driver_win.h"
#include "usb_service/provisioning/spooler_queues_win.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void Print(const SERVICE_STATUS& s) {
  std::printf("state=%lu exit=%lu specific=%lu controls=%lu type=0x%lx checkpoint=%lu hint=%lu\n", s.dwCurrentState,
              s.dwWin32ExitCode, s.dwServiceSpecificExitCode, s.dwControlsAccepted, s.dwServiceType, s.dwCheckPoint,
              s.dwWaitHint);
}

UniqueService OpenNamedService(const char* name, DWORD access) {
  UniqueService manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return UniqueService();
  return UniqueService(OpenServiceA(manager.Get(), name, access));
}

int Query(const char* name) {
  UniqueService service = OpenNamedService(name, SERVICE_QUERY_STATUS);
  SERVICE_STATUS status{};
  if (!service || !QueryServiceStatus(service.Get(), &status)) return 1;
  Print(status);
  return 0;
}

int Control(const char* name, DWORD code) {
  UniqueService service = OpenNamedService(name, SERVICE_ALL_ACCESS);
  if (!service) return 1;
  SERVICE_STATUS status{};
  const BOOL sent = ControlService(service.Get(), code, &status);
  const DWORD error = GetLastError();
  if (!sent) {
    std::printf("error=%lu\n", error);
    return 1;
  }
  Print(status);
  return 0;
}

int Start(const char* name) {
  UniqueService service = OpenNamedService(name, SERVICE_START | SERVICE_QUERY_STATUS);
  if (!service) {
    std::printf("open error=%lu\n", GetLastError());
    return 1;
  }
  if (!StartServiceA(service.Get(), 0, nullptr)) {
    std::printf("start error=%lu\n", GetLastError());
    return 1;
  }
  return 0;
}

int Wait(const char* name, DWORD state, DWORD timeoutMs) {
  UniqueService service = OpenNamedService(name, SERVICE_QUERY_STATUS);
  if (!service) return 1;
  const DWORD started = GetTickCount();
  SERVICE_STATUS status{};
  do {
    if (QueryServiceStatus(service.Get(), &status) && status.dwCurrentState == state) {
      Print(status);
      return 0;
    }
    Sleep(50);
  } while (GetTickCount() - started < timeoutMs);
  Print(status);
  return 1;
}

int Watch(const char* name, DWORD state, DWORD timeoutMs) {
  UniqueService service = OpenNamedService(name, SERVICE_QUERY_STATUS);
  if (!service) return 1;
  const DWORD started = GetTickCount();
  SERVICE_STATUS last{};
  bool printed = false;
  do {
    SERVICE_STATUS status{};
    if (QueryServiceStatus(service.Get(), &status)) {
      if (!printed || status.dwCurrentState != last.dwCurrentState || status.dwCheckPoint != last.dwCheckPoint ||
          status.dwWaitHint != last.dwWaitHint) {
        std::printf("t=%lu ", GetTickCount() - started);
        Print(status);
        std::fflush(stdout);
        last = status;
        printed = true;
      }
      if (status.dwCurrentState == state) return 0;
    }
    Sleep(20);
  } while (GetTickCount() - started < timeoutMs);
  return 1;
}

int Queues(const char* driver) {
  const std::optional<std::vector<QueueRecord>> records = SpoolerQueues().EnumerateQueues();
  if (!records) return 1;
  for (const QueueRecord& r : *records) {
    if (r.driver == driver) std::printf("%s|%u|%u\n", r.name.c_str(), r.attributes, r.status);
  }
  return 0;
}

int Delete(int count, char** names) {
  SpoolerQueues spooler;
  for (int i = 0; i < count; ++i) spooler.DeletePrinterByName(names[i]);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "query" && argc == 3) return Query(argv[2]);
  if (command == "start" && argc == 3) return Start(argv[2]);
  if (command == "control" && argc == 4) return Control(argv[2], std::strtoul(argv[3], nullptr, 10));
  if (command == "wait" && argc == 5) {
    return Wait(argv[2], std::strtoul(argv[3], nullptr, 10), std::strtoul(argv[4], nullptr, 10));
  }
  if (command == "watch" && argc == 5) {
    return Watch(argv[2], std::strtoul(argv[3], nullptr, 10), std::strtoul(argv[4], nullptr, 10));
  }
  if (command == "driver" && argc == 3) return InstallLabelDriver(argv[2]) ? 0 : 1;
  if (command == "queues" && argc == 3) return Queues(argv[2]);
  if (command == "delete") return Delete(argc - 2, argv + 2);
  std::fprintf(stderr, "usage: see the top of service_probe_win.cpp\n");
  return 2;
}
