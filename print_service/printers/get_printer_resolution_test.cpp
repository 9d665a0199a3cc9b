// The resolution endpoint: outcome table, custom resolution, registry fallbacks.
#include "print_service/printers/get_printer_resolution.h"

#include "testing/fake_settings.h"
#include "testing/recording_log.h"

#include <gtest/gtest.h>

namespace {

using Lines = std::vector<std::string>;

std::string Answer(FakeSettingsStore& registry, FakePrinterDevice& device, RecordingLog& log,
                   std::vector<std::pair<std::string, std::string>> params) {
  ApiRequest req;
  for (auto& [k, v] : params) req.params.emplace(k, v);
  const ApiAnswer res = HandleGetPrinterResolution(registry, device, log, req);
  EXPECT_EQ(res.status, 200);
  EXPECT_EQ(res.contentType, "application/json");
  return res.body;
}

TEST(ResolutionAnswer, ShapesAreExact) {
  EXPECT_EQ(BuildResolutionAnswer({306, 306, 0, 0, 306}),
            "{\n\t\"resultInfo\":\t{\n\t\t\"xDPI\":\t306,\n\t\t\"yDPI\":\t306,\n\t\t\"physicalWidth\":\t0,\n"
            "\t\t\"physicalHeight\":\t0,\n\t\t\"printQuality\":\t306\n\t}\n}");
  EXPECT_EQ(BuildResolutionError("Failed to open printer"),
            "{\n\t\"statusCode\":\t\"10002\",\n\t\"resultInfo\":\t\"Failed to open printer\"\n}");
  EXPECT_NE(BuildResolutionAnswer({300, 300, 600, 900, -4}).find("\"printQuality\":\t-4\n"), std::string::npos);
}

TEST(GetPrinterResolution, OutcomeTable) {
  struct Row {
    DeviceLookup lookup;
    const char* resolution;  // settings file text
    std::string expected;
  };
  const Row rows[] = {
      {DeviceLookup::kPrinterUnavailable, "0", BuildResolutionError("Failed to open printer")},
      {DeviceLookup::kPrinterUnavailable, "306", BuildResolutionAnswer({306, 306, 0, 0, 306})},
      {DeviceLookup::kDeviceUnavailable, "0", BuildResolutionError("Failed to create printer DC")},
      {DeviceLookup::kDeviceUnavailable, "306", BuildResolutionAnswer({306, 306, 0, 0, 306})},
      {DeviceLookup::kOk, "0", BuildResolutionAnswer({203, 203, 812, 1218, 203})},
      {DeviceLookup::kOk, "306", BuildResolutionAnswer({306, 306, 812, 1218, 306})},
      {DeviceLookup::kOk, "-5", BuildResolutionAnswer({203, 203, 812, 1218, 203})},
      {DeviceLookup::kOk, "abc", BuildResolutionAnswer({203, 203, 812, 1218, 203})},
      {DeviceLookup::kOk, "300abc", BuildResolutionAnswer({300, 300, 812, 1218, 300})},
      {DeviceLookup::kOk, "99999999999", BuildResolutionAnswer({203, 203, 812, 1218, 203})},
  };
  for (const Row& row : rows) {
    FakeSettingsStore registry;
    registry.resolutionByPath["D:\\Kelo\\Q.ini"] = std::string(row.resolution);
    FakePrinterDevice device;
    device.lookup = row.lookup;
    RecordingLog log;
    EXPECT_EQ(Answer(registry, device, log, {{"printName", "Q"}}), row.expected)
        << static_cast<int>(row.lookup) << " " << row.resolution;
  }
}

TEST(GetPrinterResolution, NameIsTheFirstExactPrintNameAndIsRequired) {
  for (auto params : std::vector<std::vector<std::pair<std::string, std::string>>>{
           {}, {{"printName", ""}}, {{"printname", "Q"}}, {{"PrintName", "Q"}, {"other", "x"}}}) {
    FakeSettingsStore registry;
    FakePrinterDevice device;
    RecordingLog log;
    EXPECT_EQ(Answer(registry, device, log, params), BuildResolutionError("Printer name is required"));
    EXPECT_TRUE(registry.calls.empty());
    EXPECT_TRUE(device.queried.empty());
  }
  FakeSettingsStore registry;
  FakePrinterDevice device;
  RecordingLog log;
  (void)Answer(registry, device, log, {{"printName", "First"}, {"printName", "Second"}, {"a", "b"}});
  EXPECT_EQ(device.queried, Lines{"First"});
}

TEST(GetPrinterResolution, RegistryFallsBackFromMachineOpenToCreateToUserKey) {
  FakeSettingsStore registry;
  registry.machineOpenError = 5;
  RecordingLog log;
  EXPECT_EQ(LookupCustomResolution(registry, log, "Q"), 0);
  EXPECT_EQ(registry.calls, (Lines{"open HKLM failed", "create HKLM", "read Data Directory", "read D:\\Kelo\\Q.ini"}));
  EXPECT_EQ(log.lines(), (Lines{"P:GetPrinterResolution: RegOpenKeyEx failed, error=5\n",
                                "P:GetPrinterResolution: RegCreateKeyEx success, hKey=0000ABCD\n",
                                "P:GetPrinterResolution: Found custom resolution: 0\n"}));

  FakeSettingsStore user;
  user.machineOpenError = 5;
  user.machineCreateError = 5;
  user.resolutionByPath["D:\\Kelo\\Q.ini"] = std::string("306");
  RecordingLog userLog;
  EXPECT_EQ(LookupCustomResolution(user, userLog, "Q"), 306);
  EXPECT_EQ(user.calls[2], "open HKCU");
  EXPECT_EQ(userLog.lines()[1], "P:GetPrinterResolution: RegCreateKeyEx also failed, error=5\n");

  FakeSettingsStore none;
  none.machineOpenError = 2;
  none.machineCreateError = 5;
  none.userOpenError = 2;
  RecordingLog noneLog;
  EXPECT_EQ(LookupCustomResolution(none, noneLog, "Q"), 0);
  EXPECT_EQ(none.calls, (Lines{"open HKLM failed", "create HKLM failed", "open HKCU failed"}));
  EXPECT_EQ(noneLog.lines().back(), "P:GetPrinterResolution: Fallback to HKCU failed, error=2\n");
}

// A standard user may read the machine's key but not write it: the tray uses
// the administrator's directory and writes nothing; without a value there it
// goes on as before, to the keys it may write.
TEST(GetPrinterResolution, AReadOnlyMachineKeyGivesItsDirectoryAndIsNeverWritten) {
  FakeSettingsStore standardUser;
  standardUser.machineOpenError = 5;
  standardUser.machineReadable = true;
  standardUser.resolutionByPath["D:\\Kelo\\Q.ini"] = std::string("306");
  RecordingLog log;
  EXPECT_EQ(LookupCustomResolution(standardUser, log, "Q"), 306);
  EXPECT_EQ(standardUser.calls,
            (Lines{"open HKLM failed", "open HKLM for reading", "read Data Directory", "read D:\\Kelo\\Q.ini"}));
  EXPECT_EQ(log.lines(), (Lines{"P:GetPrinterResolution: Found custom resolution: 306\n"}));

  FakeSettingsStore noValue;
  noValue.machineOpenError = 5;
  noValue.machineReadable = true;
  noValue.machineCreateError = 5;
  noValue.dataDirectory.reset();
  RecordingLog noValueLog;
  (void)LookupCustomResolution(noValue, noValueLog, "Q");
  EXPECT_EQ(noValue.calls, (Lines{"open HKLM failed", "open HKLM for reading", "read Data Directory",
                                  "create HKLM failed", "open HKCU", "read Data Directory",
                                  "write Data Directory HKCU C:\\ProgramData\\KELO", "mkdir C:\\ProgramData\\KELO",
                                  "read C:\\ProgramData\\KELO\\Q.ini"}));
}

TEST(GetPrinterResolution, MissingDataDirectoryIsWrittenAndCreated) {
  FakeSettingsStore registry;
  registry.dataDirectory.reset();
  RecordingLog log;
  (void)LookupCustomResolution(registry, log, "Q");
  EXPECT_EQ(registry.calls, (Lines{"open HKLM", "read Data Directory", "write Data Directory HKLM C:\\ProgramData\\KELO",
                                   "mkdir C:\\ProgramData\\KELO", "read C:\\ProgramData\\KELO\\Q.ini"}));
}

TEST(GetPrinterResolution, EmptyValueOrPathLikeNamesGiveNoOverride) {
  FakeSettingsStore registry;
  registry.resolutionByPath["D:\\Kelo\\Q.ini"] = std::nullopt;  // key present, empty
  RecordingLog log;
  EXPECT_EQ(LookupCustomResolution(registry, log, "Q"), 0);
  EXPECT_TRUE(log.lines().empty());

  for (const char* name : {"..\\..\\Windows\\win", "../x", "C:evil", "..", "\\\\server\\q"}) {
    FakeSettingsStore paths;
    RecordingLog pathLog;
    EXPECT_EQ(LookupCustomResolution(paths, pathLog, name), 0) << name;
    for (const std::string& call : paths.calls) EXPECT_NE(call.rfind("read D:", 0), 0u) << call;
  }
}

}  // namespace
