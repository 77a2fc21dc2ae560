// Shared pieces of the end-to-end tests: run the built tavdump in a fresh folder over a
// fixture export, and compare what it said and wrote byte for byte.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "Process.h"

namespace e2e {

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
inline const std::string NoRegistry =
    "Error: Error calling RegQueryInfoKey(HKEY_CLASSES_ROOT,...\r\n";

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

/// The UTF-16LE bytes of ASCII `text`, as the INF writer stores it.
inline std::string Wide(const std::string& text) {
  std::string bytes;
  for (char c : text) {
    bytes += c;
    bytes += '\0';
  }
  return bytes;
}

/// The byte-order mark and the eight header lines of every INF file.
inline const std::string InfHeader =
    "\xFF\xFE" + Wide(
                     "[version]\r\nsignature=\"$CHICAGO$\"\r\n"
                     "ClassGUID={00000000-0000-0000-0000-000000000000}\r\n\r\n"
                     "[DefaultInstall]\r\nAddReg=TavReg\r\n\r\n[TavReg]\r\n");

/// `bytes` with everything outside printable ASCII written as \xNN, CR and LF as \r \n.
inline std::string Visible(const std::string& bytes) {
  std::string text;
  for (unsigned char c : bytes) {
    if (c == '\r') {
      text += "\\r";
    } else if (c == '\n') {
      text += "\\n";
    } else if (c == '\\') {
      text += "\\\\";
    } else if (c >= 0x20 && c < 0x7F) {
      text += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      text += hex;
    }
  }
  return text;
}

/// The arguments of a run as one label for messages: each in brackets.
inline std::string Label(const std::vector<std::string>& args) {
  std::string label = "tavdump";
  for (const std::string& arg : args) label += " [" + arg + "]";
  return label;
}

/// Succeeds when `actual` equals `expected`; otherwise names `what`, the sizes, the first
/// offset that differs and the bytes around it on both sides.
inline ::testing::AssertionResult SameBytes(const std::string& what, const std::string& expected,
                                            const std::string& actual) {
  if (expected == actual) return ::testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
  const std::size_t from = at < 24 ? 0 : at - 24;
  return ::testing::AssertionFailure()
         << what << " differs at byte " << at << " (expected " << expected.size() << " bytes, got "
         << actual.size() << ")\n  expected: ..."
         << Visible(expected.substr(std::min(from, expected.size()), 64)) << "\n  actual:   ..."
         << Visible(actual.substr(std::min(from, actual.size()), 64));
}

/// Succeeds when `text` is the failure report of an input/output failure with `message`:
/// the module tavdump, an address of 8 upper-case hex digits, and the closing empty line.
inline ::testing::AssertionResult IsIoReport(const std::string& text, const std::string& message) {
  const std::string head = "Exception EInOutError in module tavdump at ";
  const std::string tail = ".\r\n" + message + "\r\n\r\n";
  bool ok = text.size() == head.size() + 8 + tail.size() && text.starts_with(head) &&
            text.ends_with(tail);
  for (std::size_t i = head.size(); ok && i < head.size() + 8; ++i)
    ok = std::isdigit(static_cast<unsigned char>(text[i])) || (text[i] >= 'A' && text[i] <= 'F');
  if (ok) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "not the report \"" << Visible(head) << "XXXXXXXX"
                                       << Visible(tail) << "\": \"" << Visible(text) << "\"";
}

/// Each test runs tavdump in its own empty folder, with a controlled environment: the
/// folders of a standard Windows installation and the default code pages.
class E2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(Dir.Path.empty()) << "no temporary folder";
    for (const char* keep : {"PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
      if (const char* value = std::getenv(keep)) tavtest::SetEnv(Env, keep, value);
    }
    tavtest::SetEnv(Env, "ProgramFiles", "C:\\Program Files");
    tavtest::SetEnv(Env, "SystemRoot", "C:\\Windows");
    tavtest::SetEnv(Env, "SystemDrive", "C:");
    UseRegistry("quarvel.reg");
  }

  /// Makes TAVDUMP_REGISTRY name the fixture `name`.
  void UseRegistry(const std::string& name) {
    tavtest::SetEnv(Env, "TAVDUMP_REGISTRY", DataPath(name));
  }

  void SetVar(const std::string& name, const std::string& value) {
    tavtest::SetEnv(Env, name, value);
  }

  /// Runs tavdump with `args` in the test's folder; `spec` gives further settings.
  tavtest::ProcessResult Run(const std::vector<std::string>& args, tavtest::ProcessSpec spec = {}) {
    spec.Binary = TAVDUMP_BINARY;
    spec.Args = args;
    spec.Env = Env;
    spec.WorkDir = Dir.Path;
    tavtest::ProcessResult result = RunProcess(spec);
    EXPECT_TRUE(result.StartError.empty() && !result.TimedOut && result.Signal == 0)
        << Describe(result);
    return result;
  }

  /// The path of `name` in the test's folder.
  std::string PathOf(const std::string& name) const { return Dir.Path + "/" + name; }

  /// The content of the file `name` in the test's folder.
  std::string Output(const std::string& name) const { return tavtest::ReadFileBytes(PathOf(name)); }

  /// The entries of the test's folder and of its subfolders, as relative paths.
  std::set<std::string> Files() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(Dir.Path))
      names.insert(std::filesystem::relative(entry.path(), Dir.Path).string());
    return names;
  }

  /// Empties the test's folder, for tests that run several cases one after the other.
  void ClearDir() const {
    for (const auto& entry : std::filesystem::directory_iterator(Dir.Path))
      std::filesystem::remove_all(entry.path());
  }

  tavtest::TempDir Dir;
  std::vector<std::string> Env;
};

/// Expects the end of a successful run: the banner alone, nothing on standard error,
/// exit code 0.
inline void ExpectSuccess(const tavtest::ProcessResult& result, const std::string& what) {
  EXPECT_EQ(result.ExitCode, 0) << what << ": " << result.Stderr;
  EXPECT_TRUE(SameBytes(what + ": standard output", Banner, result.Stdout));
  EXPECT_TRUE(SameBytes(what + ": standard error", "", result.Stderr));
}

}  // namespace e2e
