// A clean platform for each logic test: an empty registry, no injected faults, the
// English code pages and the folder variables of a standard Windows installation.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include "OutFile.h"
#include "codepage.h"
#include "faults.h"
#include "registry.h"

class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tavplat::ResetRegistry();
    tavplat::ResetFaults();
    unsetenv("TAVDUMP_ACP");
    unsetenv("TAVDUMP_OEMCP");
    tavplat::ResetCodePages();
    setenv("ProgramFiles", "C:\\Program Files", 1);
    setenv("SystemRoot", "C:\\Windows", 1);
    setenv("SystemDrive", "C:", 1);
    IoFailureCode = 0;
  }
  void TearDown() override { tavplat::ResetFaults(); }

  /// Sets the default value of `path` to a terminated UTF-8 string.
  static void Def(const std::string& path, const std::string& text, DWORD type = REG_SZ) {
    tavplat::SetRegString(path, "", text, type);
  }

  /// A file type `name` with an open command, a description and an icon ("" leaves it out).
  static void FileType(const std::string& name, const std::string& command,
                       const std::string& description = "", const std::string& icon = "") {
    tavplat::AddRegKey(name);
    Def(name + "\\shell\\open\\command", command);
    if (!description.empty()) Def(name, description);
    if (!icon.empty()) Def(name + "\\DefaultIcon", icon);
  }

  /// A fresh output path in the test's temporary folder.
  static std::string TempPath(const std::string& leaf) {
    return ::testing::TempDir() + "tavlib-" + std::to_string(getpid()) + "-" + leaf;
  }

  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
};
