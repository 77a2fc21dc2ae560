// An environment variable set (or, given nullopt, removed) for one scope; the code pages are
// read again at both ends.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

#include "codepage.h"

struct ScopedEnv {
  ScopedEnv(const char* name, std::optional<std::string> value) : name(name) {
    if (const char* old = std::getenv(name)) before = old;
    Apply(value);
  }
  ~ScopedEnv() { Apply(before); }
  void Apply(const std::optional<std::string>& value) {
    value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
    tavplat::ResetCodePages();
  }
  std::string name;
  std::optional<std::string> before;
};
