// Runs a function at scope exit unless dismissed: the second half of paired calls.
#pragma once

#include <utility>

template <typename F>
class ScopeGuard {
 public:
  explicit ScopeGuard(F f) : f_(std::move(f)) {}
  ScopeGuard(const ScopeGuard&) = delete;
  ScopeGuard& operator=(const ScopeGuard&) = delete;
  ~ScopeGuard() {
    if (active_) f_();
  }
  void Dismiss() { active_ = false; }

 private:
  F f_;
  bool active_ = true;
};
