// Fuzzes the parameters, form fields and bodies of the three API handlers over fake ports.
//
// Input: lines. Line 0 picks the handler (first byte % 3: GetPrinters, GetPrinterResolution,
// PrintImage) and holds option bytes; line 1 is the query text, line 2 the Content-Type.
// GetPrinters: line 3 the form body, then one queue per line (first byte: attribute bits).
// GetPrinterResolution: line 3 the form body, line 4 the settings file's "Resolution",
// line 5 the data directory. PrintImage: the rest is the body.
#include "common/settings_store.h"
#include "common/text_convert.h"
#include "print_service/http_api/http_api.h"
#include "print_service/http_api/json_answer.h"
#include "print_service/imaging/base64_decode.h"
#include "print_service/imaging/print_image.h"
#include "print_service/printers/get_printer_resolution.h"
#include "print_service/printers/get_printers.h"
#include "testing/fake_print_ports.h"
#include "testing/fake_printer_enumerator.h"
#include "testing/fake_settings.h"
#include "testing/recording_log.h"
#include "tests/fuzz/fuzz_check.h"

#include <cJSON.h>
#include <httplib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Fields = std::vector<std::string_view>;

std::string_view FieldOr(const Fields& fields, size_t index, std::string_view fallback = {}) {
  return index < fields.size() ? fields[index] : fallback;
}

// What the server does before a handler runs: the query, then a form body, into params.
httplib::Request MakeRequest(const Fields& fields, bool readsForm) {
  httplib::Request req;
  httplib::detail::parse_query_text(std::string(FieldOr(fields, 1)), req.params);
  if (fields.size() > 2) req.headers.emplace("Content-Type", std::string(fields[2]));
  if (readsForm && fields.size() > 3) {
    req.body = std::string(fields[3]);
    if (req.get_header_value("Content-Type").rfind("application/x-www-form-urlencoded", 0) == 0) {
      httplib::detail::parse_query_text(req.body, req.params);
    }
  }
  return req;
}

// The handler's answer as the route adapter sends it.
JsonPtr ParseAnswer(const ApiAnswer& answer) {
  httplib::Response res;
  SendAnswer(answer, res);
  FUZZ_REQUIRE(res.status == 200);
  FUZZ_REQUIRE(res.get_header_value("Content-Type") == "application/json");
  FUZZ_REQUIRE(res.get_header_value("Access-Control-Allow-Origin") == "*");
  FUZZ_REQUIRE(res.get_header_value("Access-Control-Allow-Methods") == "GET, OPTIONS, POST, HEAD");
  FUZZ_REQUIRE(res.get_header_value("Access-Control-Allow-Headers") ==
               "Origin, X-Requested-With, Content-Type, Accept");
  FUZZ_REQUIRE(std::strlen(res.body.c_str()) == res.body.size());
  const char* end = nullptr;
  JsonPtr root(cJSON_ParseWithOpts(res.body.c_str(), &end, 1));
  FUZZ_REQUIRE(root != nullptr);
  FUZZ_REQUIRE(cJSON_IsObject(root.get()));
  return root;
}

std::vector<std::string> MemberNames(const cJSON* object) {
  std::vector<std::string> names;
  for (const cJSON* item = object->child; item != nullptr; item = item->next) names.emplace_back(item->string);
  return names;
}

std::string StringMember(const cJSON* object, const char* name) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
  FUZZ_REQUIRE(cJSON_IsString(item) && item->valuestring != nullptr);
  return item->valuestring;
}

int IntMember(const cJSON* object, const char* name) {
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
  FUZZ_REQUIRE(cJSON_IsNumber(item));
  FUZZ_REQUIRE(std::floor(item->valuedouble) == item->valuedouble);
  FUZZ_REQUIRE(item->valuedouble >= -2147483648.0 && item->valuedouble <= 2147483647.0);
  return static_cast<int>(item->valuedouble);
}

bool HasParam(const httplib::Request& req, const char* name) { return req.params.count(name) != 0; }

void FuzzGetPrinters(const Fields& fields) {
  const std::string_view options = fields[0];
  std::vector<ListedQueue> records;
  bool allUtf8 = true;
  for (size_t i = 4; i < fields.size(); ++i) {
    if (fields[i].empty()) continue;
    const auto bits = static_cast<unsigned char>(fields[i][0]);
    ListedQueue record;
    record.name = std::string(fields[i].substr(1));
    record.attributes = ((bits & 1) != 0 ? kAttributeNetwork : 0u) | ((bits & 2) != 0 ? kAttributeWorkOffline : 0u) |
                        ((bits & 4) != 0 ? 0x40u : 0u);  // PRINTER_ATTRIBUTE_LOCAL, which no filter looks at
    if ((bits & 1) != 0) record.serverName = "\\\\srv";
    allUtf8 = allUtf8 && IsValidUtf8(record.name);
    records.push_back(std::move(record));
  }
  FakePrinterEnumerator spooler(records);
  const bool spoolerFails = (OptionByte(options, 1) & 1) != 0;
  spooler.FailNextCalls(spoolerFails);
  RecordingLog log;
  const httplib::Request req = MakeRequest(fields, true);
  const ApiAnswer res = HandleGetPrinters(spooler, log, ToApiRequest(req));

  const bool local = HasParam(req, "onlyLocal");
  const bool online = HasParam(req, "onlyOnline");
  const bool supported = HasParam(req, "onlySupported");
  std::vector<std::string> expected;
  if (!spoolerFails) {
    for (const ListedQueue& r : records) {
      if (local && (r.attributes & kAttributeNetwork) != 0) continue;
      if (online && (r.attributes & kAttributeWorkOffline) != 0) continue;
      if (supported && r.name != "KELO" && r.name != "R52 Label Printer" && r.name != "KELO520") continue;
      // The answer carries C strings; a spooler name never holds a NUL.
      expected.push_back(r.name.substr(0, r.name.find('\0')));
    }
  }

  JsonPtr root = ParseAnswer(res);
  FUZZ_REQUIRE(MemberNames(root.get()) == (std::vector<std::string>{"statusCode", "resultInfo"}));
  FUZZ_REQUIRE(StringMember(root.get(), "statusCode") == kStatusSuccess);
  const cJSON* info = cJSON_GetObjectItemCaseSensitive(root.get(), "resultInfo");
  FUZZ_REQUIRE(cJSON_IsObject(info));
  FUZZ_REQUIRE(MemberNames(info) == std::vector<std::string>{"printers"});
  const cJSON* printers = cJSON_GetObjectItemCaseSensitive(info, "printers");
  FUZZ_REQUIRE(cJSON_IsArray(printers));
  std::vector<std::string> listed;
  for (const cJSON* entry = printers->child; entry != nullptr; entry = entry->next) {
    FUZZ_REQUIRE(cJSON_IsObject(entry));
    FUZZ_REQUIRE(MemberNames(entry) == std::vector<std::string>{"name"});
    listed.push_back(StringMember(entry, "name"));
  }
  FUZZ_REQUIRE(listed == expected);
  if (allUtf8) FUZZ_REQUIRE(IsValidUtf8(res.body));

  // A listing's lines leave in one piece: the flags first, the count last.
  const std::vector<std::string> lines = log.lines();
  FUZZ_REQUIRE(lines.size() == 1);
  const std::string& block = lines[0];
  const std::string first = std::string("P:") + (local ? '1' : '0') + (online ? '1' : '0') + (supported ? '1' : '0') + "===\n";
  FUZZ_REQUIRE(block.rfind(first, 0) == 0);
  if (spoolerFails) {
    FUZZ_REQUIRE(block == first);
  } else {
    const std::string last = "number " + std::to_string(records.size()) + "\n";
    FUZZ_REQUIRE(block.size() >= first.size() + last.size());
    FUZZ_REQUIRE(block.compare(block.size() - last.size(), last.size(), last) == 0);
  }
}

void FuzzGetPrinterResolution(const Fields& fields) {
  const std::string_view options = fields[0];
  FakeSettingsStore registry;
  const unsigned char errors = OptionByte(options, 2);
  registry.machineOpenError = (errors & 1) != 0 ? 2 : 0;
  registry.machineCreateError = (errors & 2) != 0 ? 5 : 0;
  registry.userOpenError = (errors & 4) != 0 ? 2 : 0;
  if (fields.size() > 5) registry.dataDirectory = std::string(fields[5]);
  if ((OptionByte(options, 3) & 1) != 0) registry.dataDirectory.reset();
  const bool registryOpens = registry.machineOpenError == 0 || registry.machineCreateError == 0 ||
                             registry.userOpenError == 0;
  FakePrinterDevice device;
  device.lookup = static_cast<DeviceLookup>(OptionByte(options, 1) % 3);
  RecordingLog log;
  const httplib::Request req = MakeRequest(fields, true);
  const auto first = req.params.find("printName");
  const std::string printName = first == req.params.end() ? std::string() : first->second;
  if (!printName.empty() && fields.size() > 4) {
    const std::string directory = registry.dataDirectory.value_or(kFixedDataDirectoryA);
    // An empty line is a key present but empty.
    registry.resolutionByPath[directory + "\\" + printName + ".ini"] =
        fields[4].empty() ? std::nullopt : std::optional<std::string>(fields[4]);
  }
  const ApiAnswer res = HandleGetPrinterResolution(registry, device, log, ToApiRequest(req));

  JsonPtr root = ParseAnswer(res);
  const bool pathLike = printName == "." || printName == ".." ||
                        printName.find_first_of("\\/:") != std::string::npos;
  for (const std::string& call : registry.calls) {
    // A name with path characters never reaches the settings file lookup.
    if (pathLike) FUZZ_REQUIRE(call.rfind("read ", 0) != 0 || call == "read Data Directory");
  }
  if (printName.empty()) {
    FUZZ_REQUIRE(registry.calls.empty() && device.queried.empty());
  } else {
    FUZZ_REQUIRE(device.queried == std::vector<std::string>{printName});
  }

  const cJSON* info = cJSON_GetObjectItemCaseSensitive(root.get(), "resultInfo");
  if (cJSON_IsObject(info)) {
    FUZZ_REQUIRE(!printName.empty());
    FUZZ_REQUIRE(MemberNames(root.get()) == std::vector<std::string>{"resultInfo"});
    FUZZ_REQUIRE(MemberNames(info) == (std::vector<std::string>{"xDPI", "yDPI", "physicalWidth", "physicalHeight",
                                                                "printQuality"}));
    const int dpi = IntMember(info, "xDPI");
    FUZZ_REQUIRE(IntMember(info, "yDPI") == dpi && IntMember(info, "printQuality") == dpi);
    FUZZ_REQUIRE(dpi > 0);
    const bool custom = dpi != device.values.xDpi;
    if (custom) FUZZ_REQUIRE(registryOpens && !pathLike);
    if (device.lookup == DeviceLookup::kOk) {
      FUZZ_REQUIRE(IntMember(info, "physicalWidth") == device.values.physicalWidth);
      FUZZ_REQUIRE(IntMember(info, "physicalHeight") == device.values.physicalHeight);
    } else {
      // Only a custom resolution answers for a queue that cannot be asked.
      FUZZ_REQUIRE(IntMember(info, "physicalWidth") == 0 && IntMember(info, "physicalHeight") == 0);
      FUZZ_REQUIRE(registryOpens && !pathLike);
    }
  } else {
    FUZZ_REQUIRE(MemberNames(root.get()) == (std::vector<std::string>{"statusCode", "resultInfo"}));
    FUZZ_REQUIRE(StringMember(root.get(), "statusCode") == kStatusFailure);
    const std::string reason = StringMember(root.get(), "resultInfo");
    if (printName.empty()) {
      FUZZ_REQUIRE(reason == "Printer name is required");
    } else if (device.lookup == DeviceLookup::kPrinterUnavailable) {
      FUZZ_REQUIRE(reason == "Failed to open printer");
    } else {
      FUZZ_REQUIRE(device.lookup == DeviceLookup::kDeviceUnavailable);
      FUZZ_REQUIRE(reason == "Failed to create printer DC");
    }
  }
}

void FuzzPrintImage(const Fields& fields) {
  const std::string_view options = fields[0];
  const std::string body(FieldOr(fields, 3));
  FakeImageStore store;
  store.succeed = (OptionByte(options, 1) & 1) == 0;
  FakeImagePrinter printer;
  printer.outcome = static_cast<PrintOutcome>(OptionByte(options, 2) % kPrintOutcomeCount);
  FakeRequestClock clock;
  RecordingLog log;
  // Small limits, so that the fuzzer reaches them; the real one is 64 MiB.
  const size_t maxBody = OptionByte(options, 4) == 0 ? 4096 : OptionByte(options, 4) * size_t{8};
  PrintImagePorts ports{store, printer, clock, log, maxBody};
  // The library hands the body over in pieces; their size must not matter.
  const size_t chunk = OptionByte(options, 3) == 0 ? body.size() + 1 : OptionByte(options, 3);
  const httplib::Request req = MakeRequest(fields, false);
  ApiRequest request = ToApiRequest(req);
  request.readBody = [&](const BodyReceiver& receive) {
    for (size_t at = 0; at < body.size(); at += chunk) {
      if (!receive(body.data() + at, std::min(chunk, body.size() - at))) return false;
    }
    return true;
  };
  const ApiAnswer res = HandlePrintImage(ports, request);

  JsonPtr root = ParseAnswer(res);
  FUZZ_REQUIRE(MemberNames(root.get()) == (std::vector<std::string>{"statusCode", "resultInfo"}));
  const std::string status = StringMember(root.get(), "statusCode");
  const std::string info = StringMember(root.get(), "resultInfo");
  static const char* const kFailures[] = {
      "Image data is required", "Multipart upload is not supported", "Invalid data URL",
      "Image data is too large", "Failed to save image", "Failed to open printer",
      "Failed to read printer settings", "Failed to create printer DC", "Failed to load image",
      "Unsupported image format; send PNG, JPEG, GIF or BMP",
      "Image is too large for the page", "Failed to start print job", "Failed to start page",
      "Image data was not received in full", "Too many images are waiting to print; try again",
      "Failed to draw the image", "Failed to end page", "Failed to end print job"};
  if (status == kStatusSuccess) {
    FUZZ_REQUIRE(info == "hahah");
  } else {
    FUZZ_REQUIRE(status == kStatusFailure);
    bool known = false;
    for (const char* text : kFailures) known = known || info == text;
    FUZZ_REQUIRE(known);
  }

  PrintOutcome expected;
  bool rejected = true;  // before anything is stored
  if (req.get_header_value("Content-Type").rfind("multipart/form-data", 0) == 0) {
    expected = PrintOutcome::kMultipart;
  } else if (body.size() > maxBody) {
    expected = PrintOutcome::kBodyTooLarge;
  } else if (body.empty()) {
    expected = PrintOutcome::kEmptyBody;
  } else if (body.find(',') == std::string::npos) {
    expected = PrintOutcome::kInvalidDataUrl;
  } else if (!SniffImageFormat(base64Decode(*DataUrlPayload(body)))) {
    expected = PrintOutcome::kUnsupportedImageFormat;
  } else if (const std::optional<ImageSize> size = ReadImageSize(base64Decode(*DataUrlPayload(body)));
             size && uint64_t{size->width} * size->height > kMaxImagePixels) {
    expected = PrintOutcome::kImageHasTooManyPixels;
  } else if ((req.params.empty() ? std::string() : req.params.rbegin()->second) == printer.refusedName) {
    expected = PrintOutcome::kPrinterUnavailable;
  } else {
    rejected = false;
    FUZZ_REQUIRE(store.saved.size() == 1);
    FUZZ_REQUIRE(store.saved[0].fileName == "tempKL_508_977.JPG");
    FUZZ_REQUIRE(store.saved[0].bytes == base64Decode(*DataUrlPayload(body)));
    if (!store.succeed) {
      expected = PrintOutcome::kImageNotStored;
      FUZZ_REQUIRE(printer.calls.empty());
    } else {
      // The last parameter in name order names the queue, whatever its name.
      const std::string printName = req.params.empty() ? std::string() : req.params.rbegin()->second;
      FUZZ_REQUIRE(printer.calls == std::vector<std::string>{printName + " <- tempKL_508_977.JPG"});
      expected = printer.outcome;
    }
  }
  if (rejected) FUZZ_REQUIRE(store.saved.empty() && printer.calls.empty());
  FUZZ_REQUIRE(res.body == BuildPrintAnswer(expected));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  if (input.empty()) return 0;
  switch (static_cast<unsigned char>(input[0]) % 3) {
    case 0:
      FuzzGetPrinters(SplitFields(input, '\n', SIZE_MAX));
      break;
    case 1:
      FuzzGetPrinterResolution(SplitFields(input, '\n', 6));
      break;
    default:
      FuzzPrintImage(SplitFields(input, '\n', 4));
      break;
  }
  return 0;
}
