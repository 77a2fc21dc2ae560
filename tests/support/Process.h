// Runs a whole program as a child process (the Linux build directly, or a Windows build
// under Wine) and compares what it wrote byte for byte.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tavtest {

struct ProcessSpec {
  std::string Binary;             // run directly, no shell or PATH search; also argv[0]
  std::vector<std::string> Args;  // after argv[0], passed exactly, empty ones too
  std::vector<std::string> Env;   // the whole environment, "NAME=value" each
  std::string WorkDir;            // the parent's folder when empty
  std::string StdoutPath;         // an existing file for standard output instead of a pipe
  long long FileSizeLimit = -1;   // RLIMIT_FSIZE with SIGXFSZ ignored: writes come back short
  int TimeoutSeconds = 120;       // then the child is killed and TimedOut set
};

struct ProcessResult {
  std::string Stdout, Stderr;
  int ExitCode = -1;  // 128 + the signal when one ended the child
  bool TimedOut = false;
  std::string StartError;  // why the child did not start; empty when it ran
};

/// Runs the child to its end, reading both streams at once so neither pipe stalls it.
ProcessResult RunProcess(const ProcessSpec& setup);
void SetEnv(std::vector<std::string>& env, const std::string& name, const std::string& value);
void UnsetEnv(std::vector<std::string>& env, const std::string& name);
/// "run [arg]...: " how it ended, the size of stdout and all of stderr, for failure messages.
std::string Describe(const std::vector<std::string>& args, const ProcessResult& result);
/// Removes `path` and everything below it, giving back write permissions tests took away.
void RemoveTree(const std::string& path);

/// A fresh empty folder below the temporary folder, removed with its content at the end.
struct TempDir {
  TempDir();
  ~TempDir() { RemoveTree(Path); }
  TempDir(const TempDir&) = delete;  // a copy would remove the folder early
  std::string Path;  // absolute, no trailing slash; empty when none could be made
};

std::string ReadFileBytes(const std::string& path);  // empty when unreadable
/// Printable ASCII as is, \r \n \\ escaped, every other byte as \xNN.
std::string Visible(const std::string& bytes);
/// Equal bytes, or a failure naming `what`, both sizes and the first difference in context.
/// With `address`, "########" in `expected` stands for eight upper-case hex digits.
::testing::AssertionResult SameBytes(const std::string& what, std::string expected,
                                     const std::string& actual, bool address = false);

}  // namespace tavtest
