// Timing of repeated provisioning passes, shared by the native and the Wine benchmark.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

struct PassTimes {
  double medianMs = 0;
  double meanMs = 0;
  double minMs = 0;
  double maxMs = 0;
};

// Runs prepare() untimed and then pass() timed, `passes` times.
template <typename Prepare, typename Pass>
PassTimes TimePasses(int passes, Prepare prepare, Pass pass) {
  std::vector<double> samples;
  for (int i = 0; i < passes; ++i) {
    prepare();
    const auto start = std::chrono::steady_clock::now();
    pass();
    const auto end = std::chrono::steady_clock::now();
    samples.push_back(std::chrono::duration<double, std::milli>(end - start).count());
  }
  PassTimes t;
  if (samples.empty()) return t;
  std::sort(samples.begin(), samples.end());
  t.medianMs = samples[samples.size() / 2];
  for (double s : samples) t.meanMs += s;
  t.meanMs /= static_cast<double>(samples.size());
  t.minMs = samples.front();
  t.maxMs = samples.back();
  return t;
}

inline void PrintPassRow(const char* where, const char* kind, int printers, int passes, const PassTimes& t) {
  std::printf("%-13s %-7s %8d %7d %11.4f %10.4f %9.4f %9.4f\n", where, kind, printers, passes, t.medianMs, t.meanMs,
              t.minMs, t.maxMs);
}

inline void PrintPassHeader() {
  std::printf("%-13s %-7s %8s %7s %11s %10s %9s %9s\n", "where", "pass", "printers", "passes", "median ms", "mean ms",
              "min ms", "max ms");
}

inline void PrintRatio(const char* where, const char* kind, const PassTimes& ten, const PassTimes& one) {
  std::printf("%-13s %-7s ratio 10/1 printers (median): %.2f\n", where, kind,
              one.medianMs > 0 ? ten.medianMs / one.medianMs : 0.0);
}
