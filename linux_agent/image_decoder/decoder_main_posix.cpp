// kelo-image-decoder: decodes one stored image for the agent, confined, and
// ends. A decoder that faults or runs away costs this process, never the agent.
#include "linux_agent/file_read_posix.h"
#include "linux_agent/image_decoder/decode_label_bitmap.h"
#include "linux_agent/image_decoder/decoder_protocol.h"
#include "linux_agent/image_decoder/decoder_sandbox_linux.h"
#include "print_service/http_api/api_request.h"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

constexpr unsigned kCpuSeconds = 3;

enum ExitCode { kAnswered = 0, kBadArguments = 2, kInputUnreadable = 3, kNotConfined = 4, kOutputFailed = 5 };

bool WriteAll(const void* data, size_t length) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t n = write(STDOUT_FILENO, p, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<DecodeLimits> limits = ParseDecoderArguments(argc, argv);
  if (!limits) return kBadArguments;
  // The stored image, whole; nothing is parsed before the sandbox is in place.
  const std::optional<std::string> bytes = ReadRegularFile(STDIN_FILENO, kMaxImageBody);
  if (!bytes) return kInputUnreadable;
  if (!EnterDecoderSandbox(limits->maxBytes, kCpuSeconds)) return kNotConfined;

  LabelBitmap bitmap;
  const DecodeResult result = DecodeLabelBitmap(*bytes, *limits, bitmap);
  DecodedHeader header{};
  std::memcpy(header.magic, kDecodedMagic, sizeof header.magic);
  header.result = static_cast<uint32_t>(result);
  header.width = bitmap.width;
  header.height = bitmap.height;
  const bool written = WriteAll(&header, sizeof header) &&
                       (result != DecodeResult::kOk ||
                        WriteAll(bitmap.pixels.get(), size_t{bitmap.width} * bitmap.height * sizeof(uint32_t)));
  // _exit: nothing is left to flush, and the filter allows no more than that.
  _exit(written ? kAnswered : kOutputFailed);
}
