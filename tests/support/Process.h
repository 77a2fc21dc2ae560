// Runs a program as a child process and captures what it says, for tests that look at a
// whole program from the outside (the Linux build directly, or a Windows build under Wine).
#pragma once

#include <string>
#include <vector>

namespace tavtest {

/// What to run and in which surroundings.
struct ProcessSpec {
  /// Path of the executable; it is run directly, without a shell or a PATH search.
  std::string Binary;
  /// argv[0]; the binary's path when empty.
  std::string Arg0;
  /// The arguments after argv[0], passed exactly, one element each (empty ones too).
  std::vector<std::string> Args;
  /// The child's whole environment, "NAME=value" each; nothing else is inherited.
  std::vector<std::string> Env;
  /// Working folder of the child; the parent's when empty.
  std::string WorkDir;
  /// When not empty, standard output goes to this file (opened for writing, not created)
  /// instead of being captured; `Stdout` of the result is then empty.
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
  /// Why the child could not be started (fork or exec failed); empty when it ran.
  std::string StartError;
};

/// Runs `spec` to its end, reading standard output and standard error concurrently so
/// that neither pipe can fill up and stall the child. Standard input is /dev/null.
ProcessResult RunProcess(const ProcessSpec& spec);

/// The current process's environment as "NAME=value" entries.
std::vector<std::string> CurrentEnvironment();

/// Sets `name` to `value` in `env`, replacing an entry whose name is exactly `name`.
void SetEnv(std::vector<std::string>& env, const std::string& name, const std::string& value);

/// Removes every entry named exactly `name` from `env`.
void UnsetEnv(std::vector<std::string>& env, const std::string& name);

/// A one-line account of a result (exit code or signal, sizes, start error) for messages.
std::string Describe(const ProcessResult& result);

/// A fresh, empty folder below the system's temporary folder, removed with everything in
/// it (read-only entries included) when the object goes.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  /// The folder's absolute path, without a trailing slash.
  std::string Path;
};

/// The whole content of the file `path`; empty when it cannot be read.
std::string ReadFileBytes(const std::string& path);

/// Creates or replaces the file `path` with exactly `bytes`; false on failure.
bool WriteFileBytes(const std::string& path, const std::string& bytes);

}  // namespace tavtest
