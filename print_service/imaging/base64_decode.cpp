// Base64 decoding as the pages' data URLs need it.
#include "print_service/imaging/base64_decode.h"

#include <array>
#include <cstdint>

namespace {

// Values of "A".."Z", "a".."z", "0".."9", "+", "/"; 0 for every other byte.
constexpr std::array<uint8_t, 256> MakeDecodeTable() {
  std::array<uint8_t, 256> table{};
  for (int c = 'A'; c <= 'Z'; ++c) table[c] = static_cast<uint8_t>(c - 'A');
  for (int c = 'a'; c <= 'z'; ++c) table[c] = static_cast<uint8_t>(26 + c - 'a');
  for (int c = '0'; c <= '9'; ++c) table[c] = static_cast<uint8_t>(52 + c - '0');
  table['+'] = 62;
  table['/'] = 63;
  return table;
}
constexpr std::array<uint8_t, 256> kDecodeTable = MakeDecodeTable();

}  // namespace

std::string base64Decode(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3 + 3);
  const size_t length = text.size();
  size_t i = 0;    // counts toward the length: 1 per line break, 4 per group
  size_t pos = 0;  // read position; never ahead of i, and never moves past "="
  // A missing character (past the end) adds nothing and ends the group.
  auto at = [&](size_t p) -> int { return p < length ? static_cast<unsigned char>(text[p]) : -1; };
  while (i < length) {
    const int first = at(pos);
    if (first == '\r' || first == '\n') {
      ++pos;
      ++i;
      continue;
    }
    const int second = at(pos + 1);
    uint32_t v = static_cast<uint32_t>(kDecodeTable[static_cast<unsigned>(first)]) << 18;
    if (second >= 0) v += static_cast<uint32_t>(kDecodeTable[static_cast<unsigned>(second)]) << 12;
    pos += second >= 0 ? 2 : 1;
    out.push_back(static_cast<char>((v >> 16) & 0xFF));
    const int third = at(pos);
    if (third >= 0 && third != '=') {
      v += static_cast<uint32_t>(kDecodeTable[static_cast<unsigned>(third)]) << 6;
      ++pos;
      out.push_back(static_cast<char>((v >> 8) & 0xFF));
      const int fourth = at(pos);
      if (fourth >= 0 && fourth != '=') {
        v += kDecodeTable[static_cast<unsigned>(fourth)];
        ++pos;
        out.push_back(static_cast<char>(v & 0xFF));
      }
    }
    i += 4;
  }
  return out;
}

std::optional<std::string_view> DataUrlPayload(std::string_view body) {
  const size_t comma = body.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  std::string_view rest = body.substr(comma + 1);
  const size_t next = rest.find(',');
  return next == std::string_view::npos ? rest : rest.substr(0, next);
}
