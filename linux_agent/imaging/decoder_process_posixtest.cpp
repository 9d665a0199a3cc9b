// The agent's side of the decoder process: the real decoder, and stand-ins that
// crash, hang or lie, none of which may cost the agent more than a failed print.
#include "linux_agent/imaging/decoder_process_posix.h"

#include "linux_agent/file_read_posix.h"
#include "linux_agent/testing/image_encoder.h"
#include "linux_agent/testing/temp_dir_posix.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using std::chrono::milliseconds;

constexpr DecodeLimits kLimits{1u << 20, 16u << 20};

std::string Png(int w, int h) {
  std::vector<unsigned char> rgb(static_cast<size_t>(w) * h * 3);
  for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<unsigned char>(i * 7);
  int length = 0;
  unsigned char* data = TestEncodeImage('p', rgb.data(), w, h, 3, &length);
  std::string bytes(reinterpret_cast<char*>(data), static_cast<size_t>(length));
  std::free(data);
  return bytes;
}

UniqueFd Stored(const TempDir& dir, const std::string& bytes) {
  WriteTextFile(dir / "image", bytes);
  return UniqueFd(open((dir / "image").c_str(), O_RDONLY | O_CLOEXEC));
}

// A stand-in decoder: a shell script in the test's directory.
std::string Script(const TempDir& dir, const std::string& name, const std::string& body) {
  const std::string path = dir / name;
  WriteTextFile(path, "#!/bin/sh\n" + body + "\n");
  EXPECT_EQ(chmod(path.c_str(), 0700), 0);
  return path;
}

// printf text for a DecodedHeader: magic, result, width, height (little-endian).
std::string Header(uint32_t result, uint32_t w, uint32_t h) {
  std::string text = "KLBM";
  for (const uint32_t v : {result, w, h}) {
    for (int i = 0; i < 4; ++i) text += "\\" + std::to_string((v >> (8 * i) & 0xFF) / 64) +
                                        std::to_string((v >> (8 * i) & 0xFF) / 8 % 8) +
                                        std::to_string((v >> (8 * i) & 0xFF) % 8);
  }
  return "printf '" + text + "'";
}

TEST(DecoderProcess, TheDecoderAnswersWithTheBitmapOrWhyNot) {
  TempDir dir;
  const DecoderProcess decoder(KELO_TEST_DECODER_PATH);
  const std::string png = Png(5, 4);
  const struct {
    const char* name;
    std::string bytes;
    DecodeLimits limits;
    DecodeResult expected;
  } rows[] = {
      {"a png", png, kLimits, DecodeResult::kOk},
      {"not an image", "\x89PNG\r\n\x1a\n and then nothing", kLimits, DecodeResult::kNotAnImage},
      {"over the pixel bound", png, DecodeLimits{19, 16u << 20}, DecodeResult::kTooManyPixels},
      {"over the byte bound", png, DecodeLimits{1u << 20, 64}, DecodeResult::kOutOfMemory},
  };
  for (const auto& row : rows) {
    const UniqueFd image = Stored(dir, row.bytes);
    LabelBitmap bitmap;
    std::string detail;
    EXPECT_EQ(decoder.Decode(image.Get(), row.limits, bitmap, detail), row.expected) << row.name << ": " << detail;
    EXPECT_EQ(bitmap.pixels != nullptr, row.expected == DecodeResult::kOk) << row.name;
  }
  // The pixels are the decoder's: the third pixel of the first row is bytes 6, 7, 8 times 7.
  const UniqueFd image = Stored(dir, png);
  LabelBitmap bitmap;
  std::string detail;
  ASSERT_EQ(decoder.Decode(image.Get(), kLimits, bitmap, detail), DecodeResult::kOk);
  ASSERT_EQ(bitmap.width, 5u);
  ASSERT_EQ(bitmap.height, 4u);
  EXPECT_EQ(bitmap.pixels[2], (uint32_t{42} << 16) | (uint32_t{49} << 8) | 56u);
}

TEST(DecoderProcess, ADecoderThatFailsCostsOnlyThePrint) {
  TempDir dir;
  const std::string png = Png(2, 1);
  const struct {
    const char* name;
    std::string body;
    const char* detail;
  } rows[] = {
      {"crashes", "kill -SEGV $$", "ended by signal 11"},
      {"hangs", "exec sleep 20", "no answer within the deadline"},
      {"answers nothing and exits", "exit 0", "no answer"},
      {"answers nonsense", "printf 'HTTP/1.1 200 OK\\r\\n\\r\\n'", "an answer that is not one"},
      {"claims a bitmap over its limits", Header(0, 2000, 2000), "a bitmap over its limits"},
      {"cuts its bitmap short", Header(0, 2, 1) + "; printf 'abcd'", "the bitmap was cut short"},
      {"answers, then fails", Header(1, 0, 0) + "; exit 3", "exit status 3"},
      {"answers, then hangs", Header(1, 0, 0) + "; exec sleep 20", "killed after the deadline"},
  };
  for (const auto& row : rows) {
    const DecoderProcess decoder(Script(dir, "decoder", row.body), milliseconds(500));
    const UniqueFd image = Stored(dir, png);
    LabelBitmap bitmap;
    std::string detail;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(decoder.Decode(image.Get(), kLimits, bitmap, detail), DecodeResult::kDecoderFailed) << row.name;
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(1500)) << row.name;
    EXPECT_NE(detail.find(row.detail), std::string::npos) << row.name << ": " << detail;
    EXPECT_EQ(bitmap.pixels, nullptr) << row.name;
  }
  LabelBitmap bitmap;
  std::string detail;
  const UniqueFd image = Stored(dir, png);
  EXPECT_EQ(DecoderProcess(dir / "missing").Decode(image.Get(), kLimits, bitmap, detail),
            DecodeResult::kDecoderFailed);
  EXPECT_NE(detail.find("cannot start"), std::string::npos) << detail;
}

TEST(DecoderProcess, TheDecoderGetsNothingOfTheAgentButItsInput) {
  TempDir dir;
  // A descriptor the agent has open, an environment variable it has, and a
  // signal it blocks (the agent takes SIGTERM by sigwait).
  const UniqueFd secret(open((dir / "secret").c_str(), O_CREAT | O_RDWR, 0600));
  ASSERT_GE(secret.Get(), 0);
  ASSERT_EQ(setenv("KELO_TEST_SECRET", "x", 1), 0);
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  sigset_t before;
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &term, &before), 0);
  const std::string report = dir / "report";
  const std::string body = "[ -e /proc/$$/fd/" + std::to_string(secret.Get()) + " ] && echo fd >> " + report +
                           "\n[ -n \"$KELO_TEST_SECRET\" ] && echo env >> " + report +
                           "\nread first; echo \"input $first\" >> " + report +
                           "\nkill -TERM $$\necho term-blocked >> " + report + "\nexit 0";
  const DecoderProcess decoder(Script(dir, "decoder", body), milliseconds(2000));
  const UniqueFd image = Stored(dir, "the image\n");
  LabelBitmap bitmap;
  std::string detail;
  EXPECT_EQ(decoder.Decode(image.Get(), kLimits, bitmap, detail), DecodeResult::kDecoderFailed);
  ASSERT_EQ(pthread_sigmask(SIG_SETMASK, &before, nullptr), 0);
  unsetenv("KELO_TEST_SECRET");
  EXPECT_NE(detail.find("ended by signal 15"), std::string::npos) << detail;
  const UniqueFd reportFd(open(report.c_str(), O_RDONLY | O_NONBLOCK));
  EXPECT_EQ(ReadRegularFile(reportFd.Get(), 4096).value_or("(none)"), "input the image\n");
}

TEST(DecoderProcess, TheDefaultPathIsBesideTheAgentsDirectory) {
  const std::string path = DefaultDecoderPath();
  EXPECT_NE(path.find("/../libexec/kelo-print-agent/kelo-image-decoder"), std::string::npos) << path;
}

}  // namespace
