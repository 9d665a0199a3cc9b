// Decoding a stored image in a process of its own (kelo-image-decoder).
#pragma once

#include "linux_agent/imaging/label_bitmap.h"

#include <chrono>
#include <string>

// Where the agent finds its decoder: ../libexec/kelo-print-agent/kelo-image-decoder
// from the agent's own directory (/usr/bin in the package, the build tree's
// preset directory in a build).
std::string DefaultDecoderPath();

class DecoderProcess {
 public:
  explicit DecoderProcess(std::string path, std::chrono::milliseconds deadline = std::chrono::seconds(10))
      : path_(std::move(path)), deadline_(deadline) {}

  // The image behind imageFd, decoded by a new decoder process with the limits.
  // kDecoderFailed, with what happened in detail, when the process cannot be
  // started, ends other than by answering, takes longer than the deadline, or
  // answers anything but a bitmap within the limits. The process is always
  // reaped before this returns.
  DecodeResult Decode(int imageFd, const DecodeLimits& limits, LabelBitmap& out, std::string& detail) const;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::chrono::milliseconds deadline_;
};
