// Fuzzes the settings store's formats and rules, and the sync log record.
//
// Input: lines. Line 0 a "Resolution" text, line 1 a queue name, line 2 an ini path,
// line 3 raw numbers (little-endian 32-bit: ACL fix, rotation from the printer data,
// DPI, write result, last error, file rotation; then a flags byte), the rest the
// printer's answer.
#include "common/settings_store.h"

#include "tests/fuzz/fuzz_check.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace {

uint32_t Word(std::string_view field, size_t index) {
  uint32_t value = 0;
  for (size_t k = 0; k < 4; ++k) value |= static_cast<uint32_t>(OptionByte(field, index * 4 + k)) << (8 * k);
  return value;
}

int SignedWord(std::string_view field, size_t index) {
  const uint32_t word = Word(field, index);
  int value;
  std::memcpy(&value, &word, sizeof value);
  return value;
}

// What strtol makes of the text, within int range; it stops at a NUL as the
// parser stops at any other character.
std::optional<int> ReferenceResolution(std::string_view text) {
  const std::string terminated(text);
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(terminated.c_str(), &end, 10);
  if (errno == ERANGE || value < INT_MIN || value > INT_MAX) return std::nullopt;
  return static_cast<int>(value);
}

void CheckBlock(std::string_view answer) {
  // An exact copy, so that a read past the delivered bytes is caught.
  std::unique_ptr<uint8_t[]> exact(new uint8_t[answer.size()]);
  if (!answer.empty()) std::memcpy(exact.get(), answer.data(), answer.size());
  const ConfigBlock block = ConfigBlock::FromAnswer(exact.get(), answer.size());
  for (size_t i = 0; i < block.bytes.size(); ++i) {
    FUZZ_REQUIRE(block.bytes[i] == (i < answer.size() ? static_cast<uint8_t>(answer[i]) : 0));
  }
  FUZZ_REQUIRE(block.StateCode() == block.bytes[0]);
  FUZZ_REQUIRE(block.PrintType() == block.bytes[8] && block.Thickness() == block.bytes[9]);
  FUZZ_REQUIRE(block.Speed() == block.bytes[10] && block.ResolutionClass() == block.bytes[11]);
  FUZZ_REQUIRE(ResolutionDpi(block) == (block.bytes[11] < 2 ? 203 : 306));

  const ConfigBlock none = ConfigBlock::FromAnswer(nullptr, answer.size());
  for (uint8_t b : none.bytes) FUZZ_REQUIRE(b == 0);
}

void CheckSyncLog(const SyncRecord& record) {
  const std::string log = FormatSyncLog(record);
  FUZZ_REQUIRE(log.rfind("SyncPrinterIni called\r\n  printer : " + record.printer + "\r\n", 0) == 0);
  const std::string tail = "  INI path: " + record.iniPath + "\r\n";
  FUZZ_REQUIRE(log.size() >= tail.size() && log.compare(log.size() - tail.size(), tail.size(), tail) == 0);
  // The numbers' block is never cut short: its last line stands whole before the path.
  const std::string lastNumbers = "  LastError: " + std::to_string(static_cast<int>(record.lastError)) + "\r\n";
  const size_t numbersEnd = log.size() - tail.size();
  FUZZ_REQUIRE(numbersEnd >= lastNumbers.size() &&
               log.compare(numbersEnd - lastNumbers.size(), lastNumbers.size(), lastNumbers) == 0);
  FUZZ_REQUIRE(log.find("  DPI    : " + std::to_string(record.dpi) + "\r\n") != std::string::npos);
  if (record.printer.find_first_of("\r\n") == std::string::npos &&
      record.iniPath.find_first_of("\r\n") == std::string::npos) {
    // Nine lines, each ending in CRLF, no bare CR or LF.
    size_t lines = 0;
    for (size_t i = 0; i < log.size(); ++i) {
      if (log[i] == '\r') {
        FUZZ_REQUIRE(i + 1 < log.size() && log[i + 1] == '\n');
      } else if (log[i] == '\n') {
        FUZZ_REQUIRE(i > 0 && log[i - 1] == '\r');
        ++lines;
      }
    }
    FUZZ_REQUIRE(lines == 9);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string_view> fields = SplitFields(input, '\n', 5);
  auto field = [&](size_t i) { return i < fields.size() ? fields[i] : std::string_view(); };
  const std::string_view numbers = field(3);

  FUZZ_REQUIRE(ParseResolution(field(0)) == ReferenceResolution(field(0)));

  const std::string_view name = field(1);
  const bool plain = !name.empty() && name != "." && name != ".." &&
                     name.find_first_of(std::string_view("\\/:\0", 4)) == std::string_view::npos &&
                     !IsReservedDeviceName(name);
  FUZZ_REQUIRE(IsPlainFileName(name) == plain);

  const int fileRotation = SignedWord(numbers, 5);
  const int printerDataRotation = SignedWord(numbers, 1);
  const int chosen = printerDataRotation >= 0 ? printerDataRotation : fileRotation;
  FUZZ_REQUIRE(ChooseRotation(fileRotation, printerDataRotation) == (chosen >= 0 && chosen <= 3 ? chosen : 0));

  std::optional<std::wstring> programData;
  if ((OptionByte(numbers, 24) & 1) != 0) programData = std::wstring(name.begin(), name.end());
  const std::wstring directory = DefaultDataDirectory(programData);
  if (programData && !programData->empty() && programData->size() < 512) {
    FUZZ_REQUIRE(directory == *programData + L"\\KELO");
  } else {
    FUZZ_REQUIRE(directory == L"C:\\ProgramData\\KELO");
  }

  CheckBlock(field(4));

  SyncRecord record;
  record.printer = std::string(name);
  record.iniPath = std::string(field(2));
  record.aclFix = SignedWord(numbers, 0);
  record.rotationPrinterData = printerDataRotation;
  record.dpi = SignedWord(numbers, 2);
  record.writeResult = SignedWord(numbers, 3);
  record.lastError = Word(numbers, 4);
  record.block = ConfigBlock::FromAnswer(reinterpret_cast<const uint8_t*>(field(4).data()), field(4).size());
  CheckSyncLog(record);
  return 0;
}
