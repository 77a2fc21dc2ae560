// Running Tavdump.exe under Wine beside the Linux build: throwaway Wine prefixes below the
// build folder, and the runs of both builds.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "Process.h"

namespace winetest {

namespace fs = std::filesystem;
using tavtest::Describe;
using tavtest::ProcessResult;
using tavtest::ProcessSpec;
using tavtest::SameBytes;

/// The folder below the build folder that holds the prefixes and every run's files.
fs::path WorkRoot();

/// Creates the pristine prefix (wineboot, then waits for its server to end) unless it is
/// already there; every other prefix is a copy of it. Safe against concurrent callers.
/// Returns an empty string on success, else what went wrong.
std::string EnsurePristinePrefix();

/// Ends the servers of prefixes that killed tests left behind, and removes the pristine
/// prefix and everything else below WorkRoot().
void RemoveWorkRoot();

/// A throwaway Wine prefix of the running test, copied from the pristine one, with a
/// server of its own running from construction. The destructor ends that server and
/// removes the prefix, the folder its server used and everything below Files.
struct WinePrefix {
  /// Copies the pristine prefix to a folder named after the running test and `suffix`
  /// (replacing leftovers of an earlier run) and imports the files `fixtures` of
  /// tests/wine/data into it; `Error` says why when that failed.
  explicit WinePrefix(const std::vector<std::string>& fixtures = {},
                      const std::string& suffix = "");
  ~WinePrefix();
  WinePrefix(const WinePrefix&) = delete;
  WinePrefix& operator=(const WinePrefix&) = delete;

  /// The prefix folder (WINEPREFIX).
  fs::path Dir;
  /// A scratch folder for this prefix's runs, removed with it.
  fs::path Files;
  /// Empty when the prefix is ready.
  std::string Error;
};

/// What runs `wine` with `args` in `prefix`, in the folder `workDir`, with the prefix's
/// environment and nothing else inherited.
ProcessSpec WineSpec(const WinePrefix& prefix, const std::vector<std::string>& args,
                     const fs::path& workDir);

/// What runs Tavdump.exe with `args` under Wine in `prefix`, in the folder `workDir`.
ProcessSpec WindowsSpec(const WinePrefix& prefix, const std::vector<std::string>& args,
                        const fs::path& workDir);

/// What runs `wineserver` with `arg` (-p to start a persistent server, -k to end it) for
/// `prefix`; ending it ends every Wine program running there.
ProcessSpec ServerSpec(const WinePrefix& prefix, const std::string& arg);

/// The Linux build's surroundings that stand for a prefix.
struct LinuxSide {
  /// The prefix's environment (as `cmd /c set` lists it) with its ANSI and OEM code pages
  /// (TAVDUMP_ACP and TAVDUMP_OEMCP); empty when they could not be read.
  std::vector<std::string> Env;
  /// The prefix's export of HKEY_CLASSES_ROOT (regedit /e), in its Files folder.
  fs::path Registry;
};

/// Reads the environment and code pages of `prefix` and exports its HKEY_CLASSES_ROOT.
LinuxSide LinuxSideOf(const WinePrefix& prefix);

/// What runs the Linux tavdump with `args` in `workDir`, with the environment of `side`
/// and nothing else, over `registry` (the export of `side` when empty).
ProcessSpec LinuxSpec(const LinuxSide& side, const std::vector<std::string>& args,
                      const fs::path& workDir, const fs::path& registry = {});

/// A line of a POSIX shell script that runs `setup` (its folder, exactly its environment,
/// its arguments) and leaves its standard output, standard error and exit code in the
/// files `capture`.out, `capture`.err and `capture`.rc.
std::string ShellLine(const ProcessSpec& setup, const fs::path& capture);

/// What a ShellLine run left in its three files; StartError is set when they are missing.
ProcessResult ReadCapture(const fs::path& capture);

/// Runs the shell `script` with the environment of `prefix`, under `unshare` with
/// `unshareArgs` unless they are empty: the way to a small file system or an unprivileged
/// user without privileges.
ProcessResult RunScript(const WinePrefix& prefix, const std::vector<std::string>& unshareArgs,
                        const std::string& script);

/// Imports the registry file `file` into `prefix` with regedit, whose exit code says
/// nothing: callers check the registry through Tavdump.exe itself.
ProcessResult ImportRegFile(const WinePrefix& prefix, const fs::path& file);

/// `path` as Wine's drive Z: names it.
std::string WinePath(const fs::path& path);

/// A fixture file of tests/wine/data.
fs::path DataFile(const std::string& name);

/// An empty folder `dir` (emptied when it exists).
void MakeEmptyDir(const fs::path& dir);

/// The top-level keys (extensions and file types) named in a REG file that Tavdump wrote,
/// in the order of their first appearance.
std::vector<std::string> KeysOfRegOutput(const std::string& regFile);

}  // namespace winetest
