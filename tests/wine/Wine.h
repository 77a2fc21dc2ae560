// Running Tavdump.exe under Wine beside the Linux build: throwaway Wine prefixes below the
// build folder, the runs of both builds, and byte-exact comparison of what they leave.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "Process.h"

namespace winetest {

/// The folder below the build folder that holds the prefixes and every run's files.
std::filesystem::path WorkRoot();

/// Creates the pristine prefix (wineboot, then waits for its server to end) unless it is
/// already there; every other prefix is a copy of it. Safe against concurrent callers.
/// Returns an empty string on success, else what went wrong.
std::string EnsurePristinePrefix();

/// Ends the servers of prefixes that killed tests left behind, and removes the pristine
/// prefix and everything else below WorkRoot().
void RemoveWorkRoot();

/// A throwaway Wine prefix, copied from the pristine one. Its server is started by the
/// first Wine program run in it; the destructor ends that server and removes the prefix,
/// the folder its server used and everything below Dir.
struct WinePrefix {
  /// Copies the pristine prefix to WorkRoot()/prefixes/`name` (replacing leftovers of an
  /// earlier run); `Error` says why when that failed.
  explicit WinePrefix(const std::string& name);
  ~WinePrefix();
  WinePrefix(const WinePrefix&) = delete;
  WinePrefix& operator=(const WinePrefix&) = delete;

  /// The prefix folder (WINEPREFIX).
  std::filesystem::path Dir;
  /// A scratch folder for this prefix's runs, removed with it.
  std::filesystem::path Files;
  /// Empty when the prefix is ready.
  std::string Error;
};

/// A prefix name unique to the running test, with `suffix` appended when not empty.
std::string TestPrefixName(const std::string& suffix = "");

/// The environment every Wine program of `prefix` runs with, and nothing else inherited.
std::vector<std::string> WineEnvironment(const WinePrefix& prefix);

/// What runs `wineserver` with `args` for `prefix`.
tavtest::ProcessSpec WineServerSpec(const WinePrefix& prefix, const std::vector<std::string>& args);

/// Ends the server of `prefix` (and with it every Wine program running there) and waits
/// until it has gone; the next Wine program starts a new one.
void StopServer(const WinePrefix& prefix);

/// What runs `wine` with `args` in `prefix`, in the folder `workDir`.
tavtest::ProcessSpec WineSpec(const WinePrefix& prefix, const std::vector<std::string>& args,
                              const std::filesystem::path& workDir);

/// Runs `wine` with `args` in `prefix`, in the folder `workDir`.
tavtest::ProcessResult Wine(const WinePrefix& prefix, const std::vector<std::string>& args,
                            const std::filesystem::path& workDir);

/// What runs Tavdump.exe with `args` under Wine in `prefix`, in the folder `workDir`.
tavtest::ProcessSpec WindowsTavdumpSpec(const WinePrefix& prefix,
                                        const std::vector<std::string>& args,
                                        const std::filesystem::path& workDir);

/// Runs Tavdump.exe with `args` under Wine in `prefix`, in the folder `workDir`.
tavtest::ProcessResult WindowsTavdump(const WinePrefix& prefix,
                                      const std::vector<std::string>& args,
                                      const std::filesystem::path& workDir);

/// The Linux build's surroundings that stand for a prefix: its environment variables and
/// its code pages, read from the running prefix.
struct LinuxSide {
  std::vector<std::string> Env;
  std::string AnsiCodePage;
  std::string OemCodePage;
};

/// Reads the environment (as `cmd /c set` lists it) and the ANSI and OEM code pages of
/// `prefix`. An empty Env means they could not be read.
LinuxSide LinuxSideOf(const WinePrefix& prefix);

/// What runs the Linux tavdump with `args` in `workDir`, over the registry export
/// `registry`, with the environment and code pages of `side` and nothing else.
tavtest::ProcessSpec LinuxTavdumpSpec(const LinuxSide& side, const std::filesystem::path& registry,
                                      const std::vector<std::string>& args,
                                      const std::filesystem::path& workDir);

/// Runs what LinuxTavdumpSpec describes.
tavtest::ProcessResult LinuxTavdump(const LinuxSide& side, const std::filesystem::path& registry,
                                    const std::vector<std::string>& args,
                                    const std::filesystem::path& workDir);

/// A line of a POSIX shell script that runs `spec` (its folder, exactly its environment,
/// its arguments) and leaves its standard output, standard error and exit code in the
/// files `capture`.out, `capture`.err and `capture`.rc.
std::string ShellLine(const tavtest::ProcessSpec& spec, const std::filesystem::path& capture);

/// What a ShellLine run left in its three files; StartError is set when they are missing.
tavtest::ProcessResult ReadCapture(const std::filesystem::path& capture);

/// Runs the shell `script` with the environment `env`, under `unshare` with `unshareArgs`
/// unless they are empty: the way to a small file system or an unprivileged user without
/// privileges.
tavtest::ProcessResult RunScript(const std::vector<std::string>& unshareArgs,
                                 const std::string& script, const std::vector<std::string>& env);

/// Imports the registry file `file` into `prefix` with regedit; regedit's exit code says
/// nothing, so callers check the registry through Tavdump.exe itself.
tavtest::ProcessResult ImportRegFile(const WinePrefix& prefix, const std::filesystem::path& file);

/// Exports HKEY_CLASSES_ROOT of `prefix` to `file` with regedit.
tavtest::ProcessResult ExportClassesRoot(const WinePrefix& prefix,
                                         const std::filesystem::path& file);

/// `path` as Wine's drive Z: names it.
std::string WinePath(const std::filesystem::path& path);

/// A fixture file of tests/wine/data.
std::filesystem::path DataFile(const std::string& name);

/// Every regular file directly in `dir`, by name, with its bytes.
std::map<std::string, std::string> FilesIn(const std::filesystem::path& dir);

/// An empty folder `dir` (emptied when it exists).
void MakeEmptyDir(const std::filesystem::path& dir);

/// Empty when `actual` equals `expected` byte for byte; else a message naming `what`, the
/// sizes, the first differing offset and the lines around it with unprintable bytes shown
/// as \xNN.
std::string CompareBytes(const std::string& what, const std::string& expected,
                         const std::string& actual);

/// The same over two folders' files: names first, then each file's bytes.
std::string CompareFiles(const std::string& what,
                         const std::map<std::string, std::string>& expected,
                         const std::map<std::string, std::string>& actual);

/// Expects `actual` to equal `expected` byte for byte; a failure names `what` and shows
/// the first difference.
#define EXPECT_SAME_BYTES(what, expected, actual)                                     \
  do {                                                                                \
    const std::string difference_ = ::winetest::CompareBytes(what, expected, actual); \
    EXPECT_TRUE(difference_.empty()) << difference_;                                  \
  } while (false)

/// The same for two folders' files, as CompareFiles compares them.
#define EXPECT_SAME_FILES(what, expected, actual)                                     \
  do {                                                                                \
    const std::string difference_ = ::winetest::CompareFiles(what, expected, actual); \
    EXPECT_TRUE(difference_.empty()) << difference_;                                  \
  } while (false)

/// The top-level keys (extensions and file types) named in a REG file that Tavdump wrote.
std::vector<std::string> KeysOfRegOutput(const std::string& regFile);

/// A REGEDIT4 file that deletes each of `keys` below HKEY_CLASSES_ROOT with its subkeys.
std::string DeletionRegFile(const std::vector<std::string>& keys);

/// The Windows build's lines on standard error for an input/output failure, with the
/// module name and the address (the parts that differ between builds) replaced by
/// <module> and <address>; the text as is when it has not that form.
std::string NormalizedReport(const std::string& stderrText);

/// A one-line description of a run for failure messages: the arguments and the outcome.
std::string RunLabel(const std::vector<std::string>& args, const tavtest::ProcessResult& result);

}  // namespace winetest
