// Fuzzes the Base64 decoder and the data-URL split of a print body.
#include "print_service/imaging/base64_decode.h"

#include "tests/fuzz/fuzz_check.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Standard padded Base64; lineLength (a multiple of 4, 0 for none) puts a break
// between lines but none after the last, where it would follow the padding.
std::string Encode(std::string_view bytes, size_t lineLength, std::string_view lineBreak) {
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    if (lineLength != 0 && !out.empty() && i / 3 * 4 % lineLength == 0) out += lineBreak;
    const size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
    uint32_t v = 0;
    for (size_t k = 0; k < 3; ++k) v = (v << 8) | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += n > 1 ? kAlphabet[(v >> 6) & 63] : '=';
    out += n > 2 ? kAlphabet[v & 63] : '=';
  }
  return out;
}

// From a heap block of exactly the text's size, so that AddressSanitizer sees a
// read past the end (a view into the body would end at a readable comma).
std::string DecodeExact(std::string_view text) {
  std::unique_ptr<char[]> exact(new char[text.size()]);
  if (!text.empty()) std::memcpy(exact.get(), text.data(), text.size());
  return base64Decode(std::string_view(exact.get(), text.size()));
}

void CheckDecoding(std::string_view text) {
  const std::string out = DecodeExact(text);
  const size_t groups = (text.size() + 3) / 4;
  FUZZ_REQUIRE(out.size() <= groups * 3);
  if (text.find_first_of("\r\n") == std::string_view::npos) {
    // Every group, the short last one too, gives at least one byte.
    FUZZ_REQUIRE(out.size() >= groups);
    if (text.find('=') == std::string_view::npos) {
      static const size_t kShortGroup[4] = {0, 1, 1, 2};
      FUZZ_REQUIRE(out.size() == text.size() / 4 * 3 + kShortGroup[text.size() % 4]);
    }
  }
  FUZZ_REQUIRE(base64Decode(text) == out);
}

void CheckDataUrl(std::string_view body) {
  const std::optional<std::string_view> payload = DataUrlPayload(body);
  const size_t comma = body.find(',');
  if (comma == std::string_view::npos) {
    FUZZ_REQUIRE(!payload.has_value());
    return;
  }
  FUZZ_REQUIRE(payload.has_value());
  // A view into the body from just after the first comma to the next comma or the end.
  FUZZ_REQUIRE(payload->data() == body.data() + comma + 1);
  const size_t end = comma + 1 + payload->size();
  FUZZ_REQUIRE(end <= body.size());
  FUZZ_REQUIRE(payload->find(',') == std::string_view::npos);
  FUZZ_REQUIRE(end == body.size() || body[end] == ',');
  CheckDecoding(*payload);
}

void CheckRoundTrip(std::string_view bytes, unsigned char style) {
  static const size_t kLineLengths[4] = {0, 76, 64, 4};
  const std::string_view lineBreak = (style & 4) != 0 ? "\n" : "\r\n";
  const std::string encoded = Encode(bytes, kLineLengths[style & 3], lineBreak);
  FUZZ_REQUIRE(DecodeExact(encoded) == bytes);
  const std::string body = "data:image/png;base64," + encoded;
  const std::optional<std::string_view> payload = DataUrlPayload(body);
  FUZZ_REQUIRE(payload.has_value() && *payload == encoded);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  CheckDataUrl(input);
  CheckDecoding(input);
  CheckRoundTrip(input, size > 0 ? data[0] : 0);
  return 0;
}
