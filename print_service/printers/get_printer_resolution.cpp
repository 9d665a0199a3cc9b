// Answering a page's question about a queue's resolution and page size.
#include "print_service/printers/get_printer_resolution.h"

#include "common/settings_store.h"
#include "print_service/http_api/json_answer.h"

namespace {

JsonPtr ResultTree(const DeviceValues& v) {
  JsonPtr info(cJSON_CreateObject());
  if (!info) return nullptr;
  const std::pair<const char*, int> members[] = {{"xDPI", v.xDpi},
                                                 {"yDPI", v.yDpi},
                                                 {"physicalWidth", v.physicalWidth},
                                                 {"physicalHeight", v.physicalHeight},
                                                 {"printQuality", v.printQuality}};
  for (const auto& [name, value] : members) {
    if (cJSON_AddNumberToObject(info.get(), name, value) == nullptr) return nullptr;
  }
  return MakeAnswer(nullptr, info.release());
}

JsonPtr ErrorTree(const char* reason) { return MakeAnswer(kStatusFailure, cJSON_CreateString(reason)); }

// The first "printName" in the map's order, exactly that name.
std::string FindPrintName(const ApiRequest& req) {
  for (const auto& [name, value] : req.params) {
    if (name == "printName") return value;
  }
  return {};
}

}  // namespace

int LookupCustomResolution(TraySettingsStore& store, DiagnosticLog& log, const std::string& printName) {
  const DataDirectoryLookup found = store.FindDataDirectory();
  if (found.hive != SettingsHive::kMachine && found.hive != SettingsHive::kMachineReadOnly) {
    log.Print("GetPrinterResolution: RegOpenKeyEx failed, error=" + std::to_string(found.machineOpenError) + "\n");
    if (found.hive == SettingsHive::kMachineCreated) {
      log.Print("GetPrinterResolution: RegCreateKeyEx success, hKey=" + found.createdKeyLabel + "\n");
    } else {
      log.Print("GetPrinterResolution: RegCreateKeyEx also failed, error=" + std::to_string(found.machineCreateError) +
                "\n");
      if (!found.hive) {
        log.Print("GetPrinterResolution: Fallback to HKCU failed, error=" + std::to_string(found.userOpenError) + "\n");
        return 0;
      }
    }
  }

  std::optional<std::string> directory = found.dataDirectory;
  if (!directory && found.hive == SettingsHive::kMachineReadOnly) return 0;  // the lookup never gives this
  if (!directory) {
    directory = kFixedDataDirectoryA;
    store.WriteDataDirectory(*found.hive, *directory);
    store.CreateDataDirectory(*directory);
  }

  // A name with path characters must not lead outside the data directory.
  if (!IsPlainFileName(printName)) return 0;
  const std::optional<std::string> text = store.ReadResolutionText(*directory, printName);
  if (!text) return 0;
  const int value = ParseResolution(*text).value_or(0);
  log.Print("GetPrinterResolution: Found custom resolution: " + std::to_string(value) + "\n");
  return value > 0 ? value : 0;
}

std::string BuildResolutionAnswer(const DeviceValues& values) {
  JsonPtr tree = ResultTree(values);
  return PrintJson(tree.get()).value_or(std::string());
}

std::string BuildResolutionError(const char* reason) {
  JsonPtr tree = ErrorTree(reason);
  return PrintJson(tree.get()).value_or(std::string());
}

ApiAnswer HandleGetPrinterResolution(TraySettingsStore& store, PrinterDevice& device, DiagnosticLog& log,
                                     const ApiRequest& req) {
  const std::string printName = FindPrintName(req);
  JsonPtr answer;
  if (printName.empty()) {
    answer = ErrorTree("Printer name is required");
  } else {
    const int custom = LookupCustomResolution(store, log, printName);
    DeviceValues values = {};
    const DeviceLookup lookup = device.Query(printName, values);
    if (lookup == DeviceLookup::kOk) {
      if (custom > 0) values.xDpi = values.yDpi = values.printQuality = custom;
      answer = ResultTree(values);
    } else if (custom > 0) {
      answer = ResultTree(DeviceValues{custom, custom, 0, 0, custom});
    } else {
      answer = ErrorTree(lookup == DeviceLookup::kPrinterUnavailable ? "Failed to open printer"
                                                                     : "Failed to create printer DC");
    }
  }
  return JsonAnswer(answer.get());
}
