// Diagnostic log for tests: keeps every line.
#pragma once

#include "common/diagnostic_log.h"

#include <mutex>
#include <string>
#include <vector>

class RecordingLog final : public DiagnosticLog {
 public:
  void Line(std::string_view text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.emplace_back(text);
  }
  // Wide lines are kept in the same list, marked with a leading "W:".
  void WideLine(std::string_view text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back("W:" + std::string(text));
  }
  // Printed text is kept marked with a leading "P:".
  void Print(std::string_view text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back("P:" + std::string(text));
  }
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};
