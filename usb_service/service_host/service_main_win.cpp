// The service host on advapi32 and user32: dispatcher, status reports, the exit
// event and the device notification of the USB printer class.
#include "usb_service/service_host/service_main_win.h"

#include "common/unique_owner_win.h"
#include "usb_service/provisioning/provision_printers_win.h"
#include "usb_service/provisioning/usb_print_class_win.h"
#include "usb_service/service_host/service_host.h"

#include <dbt.h>

#include <vector>

namespace {

using RegisterHandlerExA = SERVICE_STATUS_HANDLE(WINAPI*)(LPCSTR, LPHANDLER_FUNCTION_EX, LPVOID);

class ServiceManagerSystem final : public ServiceSystem {
 public:
  bool RegisterControlHandler(const std::string& serviceName) override {
    UniqueLibrary advapi(LoadLibraryA("advapi32.dll"));
    if (!advapi) return false;
    auto registerHandler =
        reinterpret_cast<RegisterHandlerExA>(reinterpret_cast<void*>(GetProcAddress(advapi.Get(), "RegisterServiceCtrlHandlerExA")));
    if (registerHandler == nullptr) return false;
    statusHandle = registerHandler(serviceName.c_str(), ServiceCtrlHandlerEx, nullptr);
    return statusHandle != nullptr;
  }

  void RegisterDeviceNotification() override {
    DEV_BROADCAST_DEVICEINTERFACE_A filter{};
    static_assert(sizeof(filter) == 32, "the filter record the service manager expects");
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kUsbPrintInterfaceClass;
    // Held for the life of the process; a failure leaves only the start-up pass.
    deviceNotification.Reset(RegisterDeviceNotificationA(statusHandle, &filter, DEVICE_NOTIFY_SERVICE_HANDLE));
  }

  void ReportStatus(const ServiceStatusRecord& record) override {
    SERVICE_STATUS status{};
    status.dwServiceType = record.serviceType;
    status.dwCurrentState = record.currentState;
    status.dwControlsAccepted = record.controlsAccepted;
    status.dwWin32ExitCode = record.win32ExitCode;
    status.dwServiceSpecificExitCode = record.serviceSpecificExitCode;
    status.dwCheckPoint = record.checkPoint;
    status.dwWaitHint = record.waitHint;
    (void)SetServiceStatus(statusHandle, &status);  // nothing to fall back on
  }

  void WaitForExit() override { (void)WaitForSingleObject(m_hExitEvent.Get(), INFINITE); }
  void SignalExit() override { (void)SetEvent(m_hExitEvent.Get()); }
  void RunProvisioningPass() override { ProvisionPrinters(); }

  SERVICE_STATUS_HANDLE statusHandle = nullptr;  // not closed: the manager owns it
  UniqueHandle m_hExitEvent;
  UniqueDeviceNotify deviceNotification;
  UniqueWindowStation windowStation;
  UniqueDesktop desktop;
};

ServiceManagerSystem g_system;
ServiceHost g_host(g_system);

}  // namespace

std::string CurrentServiceName() { return g_host.ServiceName(); }

void AttachInteractiveDesktop() {
  g_host.Reset();
  g_system.statusHandle = nullptr;
  // Failures here are not acted on: the service runs the same without a desktop.
  g_system.windowStation.Reset(OpenWindowStationA("Winsta0", FALSE, MAXIMUM_ALLOWED));
  if (g_system.windowStation) (void)SetProcessWindowStation(g_system.windowStation.Get());
  g_system.desktop.Reset(OpenDesktopA("Default", 0, FALSE, MAXIMUM_ALLOWED));
  if (g_system.desktop) (void)SetThreadDesktop(g_system.desktop.Get());
  g_system.m_hExitEvent.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
}

void MyMain() {
  AttachInteractiveDesktop();
  std::string szServiceName = g_host.ServiceName();
  SERVICE_TABLE_ENTRYA table[] = {{szServiceName.data(), ServiceMain}, {nullptr, nullptr}};
  // Returns when the service has stopped, or at once outside the service manager.
  (void)StartServiceCtrlDispatcherA(table);
}

void WINAPI ServiceMain(DWORD argc, LPSTR* argv) {
  std::vector<std::string> arguments;
  for (DWORD i = 0; i < argc; ++i) arguments.emplace_back(argv[i] != nullptr ? argv[i] : "");
  g_host.ServiceMain(arguments);
}

DWORD WINAPI ServiceCtrlHandlerEx(DWORD control, DWORD /*eventType*/, LPVOID /*eventData*/, LPVOID /*context*/) {
  g_host.HandleControl(control);
  return NO_ERROR;
}
