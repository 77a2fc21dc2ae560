// Shared pieces of the end-to-end tests: run the built tavdump in a fresh folder over a
// fixture export, and compare what it said and wrote byte for byte.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "Process.h"

namespace e2e {

using tavtest::SameBytes;

inline const std::string Banner =
    "Tavdump v0.1 beta\r\n"
    "Supported saving to CMD, REG and INF files\r\n"
    "Written by the Tavdump developers <tavdump@example.org>\r\n"
    "Help and news: https://example.org/tavdump\r\n"
    "\r\n";

inline const std::string Usage =
    "  Usage:\r\n"
    " Tavdump ProgramPath [filename[.CMD|.REG|.INF]]\r\n"
    "  or\r\n"
    " Tavdump PartOfProgramPath [filename[.CMD|.REG|.INF]]\r\n"
    "\r\n"
    "Default result is CMD-file.\r\n";

inline const std::string NoMatch = "Error: No associations found\r\n";

/// The program path of the worked example.
inline const std::string Quarvel = "C:\\Program Files\\Quarvel\\qv.exe";

/// A fixture export or expected output below tests/e2e/data.
inline std::string DataPath(const std::string& name) {
  return std::string(TAVDUMP_SOURCE_DIR) + "/tests/e2e/data/" + name;
}

/// The bytes of an expected output file in tests/e2e/data/expected.
inline std::string Expected(const std::string& name) {
  return tavtest::ReadFileBytes(DataPath("expected/" + name));
}

/// Each test runs tavdump in its own empty folder, with a controlled environment: the
/// folders of a standard Windows installation, the default code pages, quarvel.reg.
class E2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(Dir.Path.empty()) << "no temporary folder";
    for (const char* keep : {"PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
      if (const char* value = std::getenv(keep)) Set(keep, value);
    }
    Set("ProgramFiles", "C:\\Program Files");
    Set("SystemRoot", "C:\\Windows");
    Set("SystemDrive", "C:");
    UseRegistry("quarvel.reg");
  }

  void Set(const std::string& name, const std::string& value) { tavtest::SetEnv(Env, name, value); }
  void UseRegistry(const std::string& name) { Set("TAVDUMP_REGISTRY", DataPath(name)); }

  /// Runs tavdump with `args` in the test's folder; `setup` gives further settings.
  tavtest::ProcessResult Run(const std::vector<std::string>& args, tavtest::ProcessSpec setup = {}) {
    setup.Binary = TAVDUMP_BINARY;
    setup.Args = args;
    setup.Env = Env;
    setup.WorkDir = Dir.Path;
    tavtest::ProcessResult result = RunProcess(setup);
    EXPECT_TRUE(result.StartError.empty() && !result.TimedOut && result.Signal == 0)
        << Describe(args, result);
    return result;
  }

  /// Runs tavdump with `args` and expects it to end with `code`, having printed the banner
  /// followed by `message` on standard output and `errors` on standard error.
  void ExpectRun(const std::vector<std::string>& args, int code = 0,
                 const std::string& message = "", const std::string& errors = "") {
    const tavtest::ProcessResult result = Run(args);
    const std::string what = Describe(args, result);
    EXPECT_EQ(result.ExitCode, code) << what;
    EXPECT_TRUE(SameBytes(what + ": standard output", Banner + message, result.Stdout));
    EXPECT_TRUE(SameBytes(what + ": standard error", errors, result.Stderr));
  }

  /// The path of `name` in the test's folder.
  std::string PathOf(const std::string& name) const { return Dir.Path + "/" + name; }

  /// The content of the file `name` in the test's folder.
  std::string Output(const std::string& name) const { return tavtest::ReadFileBytes(PathOf(name)); }

  /// The entries of the test's folder and of its subfolders, as relative paths.
  std::set<std::string> Files() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(Dir.Path))
      names.insert(entry.path().lexically_relative(Dir.Path).string());
    return names;
  }

  tavtest::TempDir Dir;
  std::vector<std::string> Env;
};

}  // namespace e2e
