// Recording fakes of the print endpoint's ports.
#pragma once

#include "print_service/imaging/print_image.h"

#include <mutex>
#include <vector>

class FakeImageStore final : public ImageStore {
 public:
  bool Save(const std::string& fileName, std::string_view bytes) override {
    std::lock_guard<std::mutex> lock(mutex);
    saved.push_back({fileName, std::string(bytes)});
    return succeed;
  }
  struct Saved {
    std::string fileName;
    std::string bytes;
  };
  std::mutex mutex;
  std::vector<Saved> saved;
  bool succeed = true;
};

class FakeImagePrinter final : public ImagePrinter {
 public:
  PrintOutcome Print(const std::string& printName, const std::string& imageFileName) override {
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back(printName + " <- " + imageFileName);
    return outcome;
  }
  std::mutex mutex;
  std::vector<std::string> calls;
  PrintOutcome outcome = PrintOutcome::kPrinted;
};

class FakeRequestClock final : public RequestClock {
 public:
  uint32_t ThreadId() override { return 508; }
  uint32_t TickCount() override { return 977; }
};
