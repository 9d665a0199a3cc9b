// Checks and input splitting shared by the fuzz targets.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

// Stays on in optimised builds (unlike assert); the abort is what libFuzzer reports.
#define FUZZ_REQUIRE(...)                                                                   \
  do {                                                                                      \
    if (!(__VA_ARGS__)) {                                                                   \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #__VA_ARGS__); \
      std::abort();                                                                         \
    }                                                                                       \
  } while (0)

// Fields between separators; the last of maxFields takes the rest, separators and all.
inline std::vector<std::string_view> SplitFields(std::string_view input, char separator, size_t maxFields) {
  std::vector<std::string_view> fields;
  while (fields.size() + 1 < maxFields) {
    const size_t at = input.find(separator);
    if (at == std::string_view::npos) break;
    fields.push_back(input.substr(0, at));
    input.remove_prefix(at + 1);
  }
  fields.push_back(input);
  return fields;
}

// Option bytes of a field: 0 past its end, so that short inputs stay meaningful.
inline unsigned char OptionByte(std::string_view options, size_t index) {
  return index < options.size() ? static_cast<unsigned char>(options[index]) : 0;
}
