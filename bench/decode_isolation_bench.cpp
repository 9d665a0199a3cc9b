// What decoding in kelo-image-decoder costs beside decoding in the agent itself:
// the same stored image decoded both ways, alternately, ROUNDS times each.
//   decode_isolation_bench IMAGE [ROUNDS]
#include "linux_agent/image_decoder/decode_label_bitmap.h"
#include "linux_agent/imaging/decoder_process_posix.h"
#include "print_service/imaging/image_header.h"
#include "print_service/imaging/print_image.h"

#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

std::string CpuModel() {
  std::ifstream cpu("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpu, line)) {
    if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
  }
  return "unknown cpu";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s IMAGE [ROUNDS]\n", argv[0]);
    return 2;
  }
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 200;
  std::ifstream file(argv[1], std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
  if (bytes.empty() || fd < 0) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }
  const DecodeLimits limits{kMaxImagePixels, PrintMemoryFor(ReadImageSize(bytes), kImageMemoryBudget)};
  const DecoderProcess decoder(DefaultDecoderPath());

  std::vector<double> inProcess, isolated;
  for (int i = 0; i < rounds; ++i) {
    // Alternating, and in both orders, so that drift and caches hit both alike.
    for (int turn = 0; turn < 2; ++turn) {
      LabelBitmap bitmap;
      const auto start = Clock::now();
      DecodeResult result;
      if ((turn == 0) == (i % 2 == 0)) {
        result = DecodeLabelBitmap(bytes, limits, bitmap);
        inProcess.push_back(Ms(Clock::now() - start));
      } else {
        std::string detail;
        (void)lseek(fd, 0, SEEK_SET);
        result = decoder.Decode(fd, limits, bitmap, detail);
        isolated.push_back(Ms(Clock::now() - start));
        if (result == DecodeResult::kDecoderFailed) std::fprintf(stderr, "decoder failed: %s\n", detail.c_str());
      }
      if (result != DecodeResult::kOk) {
        std::fprintf(stderr, "%s does not decode\n", argv[1]);
        return 1;
      }
    }
  }
  close(fd);

  utsname system{};
  (void)uname(&system);
  std::printf("== build\ndecode_isolation_bench: %s, %s; decoder %s\n", __VERSION__,
#ifdef NDEBUG
              "optimised, NDEBUG",
#else
              "with assertions",
#endif
              decoder.path().c_str());
  std::printf("== machine\n%s, %u cores, %s %s\n", CpuModel().c_str(), std::thread::hardware_concurrency(),
              system.sysname, system.release);
  std::printf("== %s: %zu bytes, %d decodes each way\n", argv[1], bytes.size(), rounds);
  std::printf("%-28s %9s %9s %9s\n", "", "p50 ms", "p90 ms", "max ms");
  std::printf("%-28s %9.3f %9.3f %9.3f\n", "in the process", Percentile(inProcess, 0.5), Percentile(inProcess, 0.9),
              Percentile(inProcess, 1.0));
  std::printf("%-28s %9.3f %9.3f %9.3f\n", "in kelo-image-decoder", Percentile(isolated, 0.5),
              Percentile(isolated, 0.9), Percentile(isolated, 1.0));
  std::printf("%-28s %8.2fx %8.2fx\n", "decoder process / in process",
              Percentile(isolated, 0.5) / Percentile(inProcess, 0.5),
              Percentile(isolated, 0.9) / Percentile(inProcess, 0.9));
  std::printf("isolation adds %.3f ms at the median\n", Percentile(isolated, 0.5) - Percentile(inProcess, 0.5));
  return 0;
}
