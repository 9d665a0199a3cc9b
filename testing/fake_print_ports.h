// Recording fakes of the print endpoint's ports.
#pragma once

#include "print_service/imaging/print_image.h"

#include <functional>
#include <mutex>
#include <vector>

class FakeImageStore final : public ImageStore {
 public:
  bool Save(const std::string& fileName, std::string_view bytes) override {
    std::lock_guard<std::mutex> lock(mutex);
    saved.push_back({fileName, std::string(bytes)});
    return succeed;
  }
  void PruneOldImages() override {
    std::lock_guard<std::mutex> lock(mutex);
    prunedAfter.push_back(saved.empty() ? std::string() : saved.back().fileName);
  }
  struct Saved {
    std::string fileName;
    std::string bytes;
  };
  std::mutex mutex;
  std::vector<Saved> saved;
  std::vector<std::string> prunedAfter;  // the newest saved file at each prune
  bool succeed = true;
};

class FakeImagePrinter final : public ImagePrinter {
 public:
  bool MayOpen(const std::string& printName) override { return printName != refusedName; }
  PrintOutcome Print(const std::string& printName, const std::string& imageFileName, uint64_t) override {
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back(printName + " <- " + imageFileName);
    if (duringPrint) duringPrint(imageFileName);
    return outcome;
  }
  std::mutex mutex;
  std::vector<std::string> calls;
  PrintOutcome outcome = PrintOutcome::kPrinted;
  std::string refusedName = "no such queue";
  std::function<void(const std::string& imageFileName)> duringPrint;  // runs inside Print
};

class FakeRequestClock final : public RequestClock {
 public:
  uint32_t ThreadId() override { return 508; }
  uint32_t TickCount() override { return 977; }
};
