// Formats and rules of the printer settings store.
#include "common/settings_store.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>

ConfigBlock ConfigBlock::FromAnswer(const uint8_t* answer, size_t delivered) {
  ConfigBlock block;
  const size_t length = delivered < block.bytes.size() ? delivered : block.bytes.size();
  if (answer != nullptr) std::memcpy(block.bytes.data(), answer, length);
  return block;
}

int ResolutionDpi(const ConfigBlock& block) { return block.ResolutionClass() < 2 ? 203 : 306; }

int ChooseRotation(int fileRotation, int printerDataRotation) {
  int rotation = fileRotation;
  if (printerDataRotation >= 0) rotation = printerDataRotation;
  return rotation < 0 || rotation > 3 ? 0 : rotation;
}

std::wstring DefaultDataDirectory(const std::optional<std::wstring>& programData) {
  if (programData && !programData->empty() && programData->size() < 512) return *programData + L"\\KELO";
  return kFixedDataDirectory;
}

std::optional<int> ParseResolution(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > INT_MAX || value < INT_MIN) return std::nullopt;
  return static_cast<int>(value);
}

bool IsReservedDeviceName(std::string_view name) {
  // Windows opens the device for "CON", "con.txt" and "COM1 .ini" alike: what
  // counts is the part before the first dot, without trailing spaces.
  std::string_view base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  std::string upper(base);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (upper == device) return true;
  }
  if (upper.size() < 4 || (upper.compare(0, 3, "COM") != 0 && upper.compare(0, 3, "LPT") != 0)) return false;
  const std::string_view number = std::string_view(upper).substr(3);
  // COM1..COM9, and the superscripts 1, 2 and 3 in UTF-8 and in the Latin-1 code pages.
  if (number.size() == 1) return (number[0] >= '1' && number[0] <= '9') || number == "\xB9" || number == "\xB2" || number == "\xB3";
  return number == "\xC2\xB9" || number == "\xC2\xB2" || number == "\xC2\xB3";
}

bool IsPlainFileName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  // A NUL would cut the path short in every Windows call that takes it.
  if (name.find('\0') != std::string_view::npos) return false;
  return name.find_first_of("\\/:") == std::string_view::npos && !IsReservedDeviceName(name);
}

std::string FormatSyncLog(const SyncRecord& r) {
  std::string out = "SyncPrinterIni called\r\n  printer : " + r.printer + "\r\n  INIFile : (see wide path)\r\n";
  char fields[256];
  const int n = std::snprintf(fields, sizeof fields,
                              "  ACL fix : %d\r\n  RotationPD: %d\r\n  data[8..11]: %d %d %d %d\r\n  DPI    : %d\r\n"
                              "  WriteResult: %d  LastError: %d\r\n",
                              r.aclFix, r.rotationPrinterData, r.block.PrintType(), r.block.Thickness(),
                              r.block.Speed(), r.block.ResolutionClass(), r.dpi, r.writeResult,
                              static_cast<int>(r.lastError));
  if (n > 0) out.append(fields, static_cast<size_t>(n) < sizeof fields ? static_cast<size_t>(n) : sizeof fields - 1);
  out += "  INI path: " + r.iniPath + "\r\n";
  for (const std::string& refusal : r.refusals) out += "  Refused : " + refusal + "\r\n";
  return out;
}
