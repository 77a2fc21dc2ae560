// An environment variable set (or, given nullopt, removed) for one scope; the code pages are
// read again at both ends.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

#include "codepage.h"

class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    Apply(value);
  }
  ~ScopedEnv() { Apply(old_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void Apply(const std::optional<std::string>& value) {
    value ? setenv(name_.c_str(), value->c_str(), 1) : unsetenv(name_.c_str());
    tavplat::ResetCodePages();
  }
  std::string name_;
  std::optional<std::string> old_;
};
