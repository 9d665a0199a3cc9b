// Base64 decoding and the data-URL split.
#include "print_service/imaging/base64_decode.h"

#include <gtest/gtest.h>

#include <random>

namespace {

TEST(Base64Decode, DecodesTheExamples) {
  EXPECT_EQ(base64Decode("QUJD"), "ABC");
  EXPECT_EQ(base64Decode("QUI="), "AB");
  EXPECT_EQ(base64Decode("QQ=="), "A");
  EXPECT_EQ(base64Decode("QUJD\r\nREVG"), "ABCDEF");
  EXPECT_EQ(base64Decode(""), "");
}

TEST(Base64Decode, LineBreaksCountOnlyWhereAGroupStarts) {
  EXPECT_EQ(base64Decode("\nQUJD\n\r\nREVG\r\n"), "ABCDEF");
  // Inside a group a line break is data of value 0: Q=16, U=20, \n=0, J=9.
  EXPECT_EQ(base64Decode("QU\nJ"), std::string("A\x40\x09", 3));
  EXPECT_EQ(base64Decode("QU\nJD"), std::string("A\x40\x09\x0C", 4));
}

TEST(Base64Decode, MatchesAReferenceOnWrappedRandomData) {
  std::mt19937 random(1234);
  std::string bytes(30000, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string encoded;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = std::min<size_t>(3, bytes.size() - i);
    uint32_t v = 0;
    for (size_t k = 0; k < 3; ++k) v = (v << 8) | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    encoded += kAlphabet[(v >> 18) & 63];
    encoded += kAlphabet[(v >> 12) & 63];
    encoded += n > 1 ? kAlphabet[(v >> 6) & 63] : '=';
    encoded += n > 2 ? kAlphabet[v & 63] : '=';
  }
  EXPECT_EQ(base64Decode(encoded), bytes);
  std::string wrapped;  // MIME style: a line break every 76 characters
  for (size_t i = 0; i < encoded.size(); i += 76) wrapped += encoded.substr(i, 76) + "\r\n";
  EXPECT_EQ(base64Decode(wrapped), bytes);
}

TEST(Base64Decode, IncompleteGroupsDecodeWhatTheyHaveAndNeverReadPastTheText) {
  // Each input is copied into a buffer of its exact size so that AddressSanitizer
  // catches any read beyond it.
  auto decode = [](const std::string& text) {
    std::unique_ptr<char[]> exact(new char[text.size()]);
    std::copy(text.begin(), text.end(), exact.get());
    return base64Decode(std::string_view(exact.get(), text.size()));
  };
  EXPECT_EQ(decode("QUJ"), "AB");
  EXPECT_EQ(decode("QU"), "A");
  EXPECT_EQ(decode("Q").size(), 1u);
  EXPECT_EQ(decode("QUJDQQ"), "ABCA");
  EXPECT_EQ(decode("QUJD\r"), "ABC");
  EXPECT_EQ(decode("QUJD\n\n\nQ").size(), 4u);
}

TEST(Base64Decode, BytesOutsideTheAlphabetDecodeAsZero) {
  EXPECT_EQ(base64Decode("\xFF\xFF\xFF\xFF"), std::string(3, '\0'));
  EXPECT_EQ(base64Decode("\x80QJD"), base64Decode("AQJD"));
  EXPECT_EQ(base64Decode("{|}~"), std::string(3, '\0'));
  EXPECT_EQ(base64Decode("-_. "), std::string(3, '\0'));
  // "=" is tested only in the third and fourth place of a group.
  EXPECT_EQ(base64Decode("==QQ"), std::string("\x00\x04\x10", 3));
}

TEST(Base64Decode, PaddingIsNeverSteppedOver) {
  // After "QQ==" the read position stays at the first "=", so a following group
  // starts there; this is the decoder's long-standing behaviour.
  const std::string out = base64Decode("QQ==QUJD");
  ASSERT_GE(out.size(), 2u);
  EXPECT_EQ(out[0], 'A');
  EXPECT_EQ(out[1], '\0');
}

TEST(DataUrlPayload, IsTheTextBetweenTheFirstAndSecondComma) {
  EXPECT_EQ(DataUrlPayload("data:image/png;base64,QUJD"), std::string_view("QUJD"));
  EXPECT_EQ(DataUrlPayload("data:,QUJD,tail,more"), std::string_view("QUJD"));
  EXPECT_EQ(DataUrlPayload(",QUJD"), std::string_view("QUJD"));
  EXPECT_EQ(DataUrlPayload("data:image/png;base64,"), std::string_view(""));
  EXPECT_EQ(DataUrlPayload("a,,b"), std::string_view(""));
  EXPECT_FALSE(DataUrlPayload("QUJD").has_value());
  EXPECT_FALSE(DataUrlPayload("").has_value());
}

}  // namespace
