// What the agent and its decoder process say to each other (portable).
//   kelo-image-decoder <maxPixels> <maxBytes>
//   standard input: the stored image; standard output: one DecodedHeader, then,
//   when the result is kOk, width x height words of the bitmap; exit status 0.
#pragma once

#include "linux_agent/imaging/label_bitmap.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

inline constexpr char kDecodedMagic[4] = {'K', 'L', 'B', 'M'};

struct DecodedHeader {
  char magic[4];
  uint32_t result;  // a DecodeResult
  uint32_t width;
  uint32_t height;
};

// A decimal of digits only, without sign or spaces, that fits.
inline std::optional<uint64_t> ParseDecimal(std::string_view text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value;
}

inline std::optional<DecodeLimits> ParseDecoderArguments(int argc, const char* const* argv) {
  if (argc != 3) return std::nullopt;
  const std::optional<uint64_t> pixels = ParseDecimal(argv[1]);
  const std::optional<uint64_t> bytes = ParseDecimal(argv[2]);
  if (!pixels || !bytes || *pixels == 0 || *bytes == 0) return std::nullopt;
  return DecodeLimits{*pixels, *bytes};
}
