// Environment changes that last for one test.
#pragma once

#include "codepage.h"

#include <cstdlib>
#include <optional>
#include <string>

/// Sets (or, given nullopt, removes) an environment variable and puts the old state back
/// at the end of the scope; the code pages are read again on both occasions.
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
    if (value) {
      setenv(name_.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
    tavplat::ResetCodePages();
  }

  std::string name_;
  std::optional<std::string> old_;
};
