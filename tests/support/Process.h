// Runs a program as a child process and captures what it says, for tests that look at a
// whole program from the outside (the Linux build directly, or a Windows build under Wine),
// and compares what it wrote byte for byte.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tavtest {

/// What to run and in which surroundings.
struct ProcessSpec {
  /// Path of the executable; it is run directly, without a shell or a PATH search.
  std::string Binary;
  /// The arguments after argv[0] (which is `Binary`), passed exactly, empty ones too.
  std::vector<std::string> Args;
  /// The child's whole environment, "NAME=value" each; nothing else is inherited.
  std::vector<std::string> Env;
  /// Working folder of the child; the parent's when empty.
  std::string WorkDir;
  /// When not empty, standard output goes to this existing file instead of being captured.
  std::string StdoutPath;
  /// When not negative, the child's largest writable file size in bytes (RLIMIT_FSIZE),
  /// with SIGXFSZ ignored, so that a write across the limit comes back short.
  long long FileSizeLimit = -1;
  /// Seconds after which the child is killed; the result then says TimedOut.
  int TimeoutSeconds = 120;
};

/// How the child ended and what it wrote.
struct ProcessResult {
  std::string Stdout;
  std::string Stderr;
  /// The exit status when the child exited; -1 when a signal ended it.
  int ExitCode = -1;
  /// The signal that ended the child, 0 when it exited.
  int Signal = 0;
  bool TimedOut = false;
  /// Why the child could not be started; empty when it ran.
  std::string StartError;
};

/// Runs `setup` to its end, reading standard output and standard error concurrently so
/// that neither pipe can fill up and stall the child. Standard input is /dev/null.
ProcessResult RunProcess(const ProcessSpec& setup);

/// Sets `name` to `value` in `env`, replacing an entry whose name is exactly `name`.
void SetEnv(std::vector<std::string>& env, const std::string& name, const std::string& value);

/// Removes every entry named exactly `name` from `env`.
void UnsetEnv(std::vector<std::string>& env, const std::string& name);

/// "run [arg]..." and the outcome of `result` (start error, time-out, signal or exit
/// code, sizes of both streams, standard error), for failure messages.
std::string Describe(const std::vector<std::string>& args, const ProcessResult& result);

/// Removes `path` with everything below it, giving back the write permission tests took.
void RemoveTree(const std::string& path);

/// A fresh, empty folder below the system's temporary folder, removed with everything in
/// it when the object goes.
struct TempDir {
  TempDir();
  ~TempDir() { RemoveTree(Path); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  /// The folder's absolute path, without a trailing slash; empty when none could be made.
  std::string Path;
};

/// The whole content of the file `path`; empty when it cannot be read.
std::string ReadFileBytes(const std::string& path);

/// Creates or replaces the file `path` with exactly `bytes`; false on failure.
bool WriteFileBytes(const std::string& path, const std::string& bytes);

/// `bytes` with everything outside printable ASCII written as \xNN, CR and LF as \r \n
/// and a backslash doubled.
std::string Visible(const std::string& bytes);

/// Succeeds when `actual` equals `expected`; otherwise names `what`, both sizes, the first
/// offset that differs and the bytes around it on both sides.
::testing::AssertionResult SameBytes(const std::string& what, const std::string& expected,
                                     const std::string& actual);

/// Succeeds when `text` is the failure report of an input/output failure with `message`:
/// "Exception EInOutError in module `module` at " an address of eight upper-case hex
/// digits, ".", the message and an empty line, each line ended by CR LF.
::testing::AssertionResult IsIoReport(const std::string& text, const std::string& module,
                                      const std::string& message);

}  // namespace tavtest
