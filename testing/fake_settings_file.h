// A settings file in memory for the settings-file synchronisation: records what
// it was asked and fails or refuses on request.
#pragma once

#include "usb_service/provisioning/settings_file_sync.h"

#include <string>
#include <vector>

class FakeSettingsFile : public SettingsFile {
 public:
  explicit FakeSettingsFile(std::string text = std::string()) : text_(std::move(text)) {}

  StoreRefusal Open() override {
    calls_.push_back("open");
    return openRefusal;
  }
  std::optional<uint64_t> Size() override {
    calls_.push_back("size");
    if (failSize) return std::nullopt;
    return sizeOverride ? *sizeOverride : text_.size();
  }
  std::optional<std::string> Read(uint64_t size) override {
    calls_.push_back("read " + std::to_string(size));
    if (failRead) return std::nullopt;
    return text_.substr(0, static_cast<size_t>(size));
  }
  bool Replace(const std::string& text, uint32_t& error) override {
    calls_.push_back("replace");
    if (replaceError != 0) {
      error = replaceError;
      return false;
    }
    text_ = text;
    return true;
  }
  int GrantUsersAccess() override {
    calls_.push_back("grant");
    return grantResult;
  }

  const std::string& text() const { return text_; }
  const std::vector<std::string>& calls() const { return calls_; }

  StoreRefusal openRefusal = StoreRefusal::kNone;
  std::optional<uint64_t> sizeOverride;
  bool failSize = false;
  bool failRead = false;
  uint32_t replaceError = 0;
  int grantResult = 1;

 private:
  std::string text_;
  std::vector<std::string> calls_;
};
