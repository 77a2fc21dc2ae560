#include "Wine.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace winetest {

namespace {

fs::path PristineDir() { return WorkRoot() / "pristine"; }

ProcessSpec WineProcess(const fs::path& prefix, const std::string& program,
                 const std::vector<std::string>& args, const fs::path& workDir,
                 int timeoutSeconds = 120) {
  ProcessSpec setup;
  setup.Binary = program;
  setup.Args = args;
  // Wine takes its code pages from the Unix locale; C.UTF-8 exists everywhere and gives
  // code page 1252 and 437, and UTF-8 arguments for the command line.
  setup.Env = {"PATH=/usr/local/bin:/usr/bin:/bin",
              "HOME=" + (WorkRoot() / "home").string(),
              "LANG=C.UTF-8",
              "WINEARCH=win64",
              "WINEDEBUG=-all",
              "WINEPREFIX=" + prefix.string()};
  setup.WorkDir = workDir.string();
  setup.TimeoutSeconds = timeoutSeconds;
  return setup;
}

// Debian's Wine keeps the socket folder of a prefix's server in /tmp and names it in this
// file of the prefix; it outlives the server unless removed.
fs::path ServerSocketDir(const fs::path& prefix) {
  std::string name = tavtest::ReadFileBytes((prefix / "wineserver").string());
  while (name.ends_with('\n') || name.ends_with('\r')) name.pop_back();
  if (name.empty() || name.find('/') != std::string::npos) return {};
  return fs::path("/tmp") / name;
}

void EndServer(const fs::path& prefix) {
  if (!fs::exists(prefix)) return;
  RunProcess(WineProcess(prefix, TAVDUMP_WINESERVER, {"-k"}, WorkRoot(), 30));
  if (const fs::path sockets = ServerSocketDir(prefix); !sockets.empty())
    tavtest::RemoveTree(sockets);
}

// The system folder is most of a prefix and Wine only reads it once the prefix exists, so
// copies share its files through hard links; the rest is copied, so that the registry and
// everything Wine writes stay each prefix's own.
std::string CopyPrefix(const fs::path& from, const fs::path& to) {
  const fs::path system = fs::path("drive_c") / "windows" / "system32";
  std::error_code error;
  fs::create_directories(to, error);
  for (auto it = fs::recursive_directory_iterator(from, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    const fs::path relative = it->path().lexically_relative(from);
    if (relative == "wineserver") continue;  // the socket folder of the pristine server
    const fs::path target = to / relative;
    if (relative == system) {
      fs::copy(it->path(), target,
               fs::copy_options::recursive | fs::copy_options::create_hard_links, error);
      it.disable_recursion_pending();
    } else if (it->is_symlink()) {
      fs::copy_symlink(it->path(), target, error);
    } else if (it->is_directory()) {
      fs::create_directory(target, error);
    } else {
      fs::copy_file(it->path(), target, error);
    }
    if (error) return "copying " + it->path().string() + ": " + error.message();
  }
  return error ? "reading " + from.string() + ": " + error.message() : "";
}

std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

fs::path WorkRoot() { return fs::path(TAVDUMP_WINE_WORK_DIR); }

std::string EnsurePristinePrefix() {
  std::error_code error;
  fs::create_directories(WorkRoot() / "home", error);
  if (error) return "cannot create " + WorkRoot().string() + ": " + error.message();
  // Concurrent tests wait for one of them to make the prefix.
  int lock = open((WorkRoot() / "pristine.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock < 0 || flock(lock, LOCK_EX) != 0) return "cannot lock the pristine prefix";
  std::string result;
  if (!fs::exists(PristineDir() / "system.reg")) {
    tavtest::RemoveTree(PristineDir());
    const ProcessResult boot =
        RunProcess(WineProcess(PristineDir(), TAVDUMP_WINEBOOT, {"-i"}, WorkRoot(), 300));
    RunProcess(WineProcess(PristineDir(), TAVDUMP_WINESERVER, {"-w"}, WorkRoot(), 300));
    if (const fs::path sockets = ServerSocketDir(PristineDir()); !sockets.empty())
      tavtest::RemoveTree(sockets);
    if (!fs::exists(PristineDir() / "system.reg")) {
      result = "wineboot did not make a prefix: " + Describe({"-i"}, boot);
      tavtest::RemoveTree(PristineDir());
    }
  }
  close(lock);
  return result;
}

void RemoveWorkRoot() {
  // A test that was killed leaves its prefix with a running server.
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(WorkRoot() / "prefixes", error))
    EndServer(entry.path());
  tavtest::RemoveTree(WorkRoot());
}

WinePrefix::WinePrefix(const std::vector<std::string>& fixtures, const std::string& suffix) {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name =
      test == nullptr ? "prefix" : std::string(test->test_suite_name()) + "." + test->name();
  if (!suffix.empty()) name += "-" + suffix;
  Dir = WorkRoot() / "prefixes" / name;
  Files = WorkRoot() / "files" / name;
  Error = EnsurePristinePrefix();
  if (!Error.empty()) return;
  EndServer(Dir);
  tavtest::RemoveTree(Dir);
  MakeEmptyDir(Files);
  Error = CopyPrefix(PristineDir(), Dir);
  if (!fs::is_directory(Files)) Error = "cannot create " + Files.string();
  if (!Error.empty()) return;
  // A server that outlives each program spares every run the start of Wine's services.
  RunProcess(ServerSpec(*this, "-p"));
  for (const std::string& fixture : fixtures) ImportRegFile(*this, DataFile(fixture));
}

WinePrefix::~WinePrefix() {
  EndServer(Dir);
  tavtest::RemoveTree(Dir);
  tavtest::RemoveTree(Files);
}

ProcessSpec WineSpec(const WinePrefix& prefix, const std::vector<std::string>& args,
                     const fs::path& workDir) {
  return WineProcess(prefix.Dir, TAVDUMP_WINE, args, workDir);
}

ProcessSpec WindowsSpec(const WinePrefix& prefix, const std::vector<std::string>& args,
                        const fs::path& workDir) {
  std::vector<std::string> all = {TAVDUMP_WINDOWS_EXE};
  all.insert(all.end(), args.begin(), args.end());
  return WineSpec(prefix, all, workDir);
}

ProcessSpec ServerSpec(const WinePrefix& prefix, const std::string& arg) {
  return WineProcess(prefix.Dir, TAVDUMP_WINESERVER, {arg}, WorkRoot(), 30);
}

LinuxSide LinuxSideOf(const WinePrefix& prefix) {
  LinuxSide side;
  side.Registry = prefix.Files / "classes.reg";
  RunProcess(WineSpec(prefix, {"regedit", "/e", WinePath(side.Registry), "HKEY_CLASSES_ROOT"},
                      prefix.Files));
  const ProcessResult set = RunProcess(WineSpec(prefix, {"cmd", "/c", "set"}, prefix.Files));
  std::istringstream lines(set.Stdout);
  for (std::string line; std::getline(lines, line);) {
    if (line.ends_with('\r')) line.pop_back();
    // Entries such as "=C:=C:\..." are the drives' current folders, not variables.
    if (line.find('=') != std::string::npos && line[0] != '=') side.Env.push_back(line);
  }
  bool pagesKnown = true;
  for (const std::string name : {"ACP", "OEMCP"}) {
    const ProcessResult query = RunProcess(WineSpec(
        prefix,
        {"reg", "query", "HKLM\\System\\CurrentControlSet\\Control\\Nls\\CodePage", "/v", name},
        prefix.Files));
    std::istringstream words(query.Stdout);
    std::string word, last, page;
    for (; words >> word; last = word)
      if (last == "REG_SZ") page = word;
    tavtest::SetEnv(side.Env, "TAVDUMP_" + name, page);
    pagesKnown = pagesKnown && !page.empty();
  }
  if (set.ExitCode != 0 || !pagesKnown || !fs::exists(side.Registry)) side.Env.clear();
  return side;
}

ProcessSpec LinuxSpec(const LinuxSide& side, const std::vector<std::string>& args,
                      const fs::path& workDir, const fs::path& registry) {
  ProcessSpec setup;
  setup.Binary = TAVDUMP_BINARY;
  setup.Args = args;
  setup.Env = side.Env;
  tavtest::SetEnv(setup.Env, "TAVDUMP_REGISTRY",
                  (registry.empty() ? side.Registry : registry).string());
  setup.WorkDir = workDir.string();
  return setup;
}

std::string ShellLine(const ProcessSpec& setup, const fs::path& capture) {
  std::string line = "(cd " + ShellQuote(setup.WorkDir) + " && exec env -i";
  for (const std::string& entry : setup.Env) line += " " + ShellQuote(entry);
  line += " " + ShellQuote(setup.Binary);
  for (const std::string& arg : setup.Args) line += " " + ShellQuote(arg);
  const std::string base = capture.string();
  return line + " >" + ShellQuote(base + ".out") + " 2>" + ShellQuote(base + ".err") +
         " </dev/null); echo $? >" + ShellQuote(base + ".rc") + "\n";
}

ProcessResult ReadCapture(const fs::path& capture) {
  ProcessResult result;
  const std::string base = capture.string();
  std::ifstream rc(base + ".rc");
  if (!(rc >> result.ExitCode)) result.StartError = "no exit code in " + base + ".rc";
  result.Stdout = tavtest::ReadFileBytes(base + ".out");
  result.Stderr = tavtest::ReadFileBytes(base + ".err");
  return result;
}

ProcessResult RunScript(const WinePrefix& prefix, const std::vector<std::string>& unshareArgs,
                        const std::string& script) {
  std::vector<std::string> args = unshareArgs;
  if (!unshareArgs.empty()) args.insert(args.end(), {"--", "/bin/sh"});
  args.insert(args.end(), {"-c", script});
  return RunProcess(
      WineProcess(prefix.Dir, unshareArgs.empty() ? "/bin/sh" : TAVDUMP_UNSHARE, args, WorkRoot(), 240));
}

ProcessResult ImportRegFile(const WinePrefix& prefix, const fs::path& file) {
  return RunProcess(WineSpec(prefix, {"regedit", "/s", WinePath(file)}, prefix.Files));
}

std::string WinePath(const fs::path& path) {
  std::string text = fs::absolute(path).lexically_normal().string();
  std::replace(text.begin(), text.end(), '/', '\\');
  return "Z:" + text;
}

fs::path DataFile(const std::string& name) { return fs::path(TAVDUMP_WINE_DATA_DIR) / name; }

void MakeEmptyDir(const fs::path& dir) {
  tavtest::RemoveTree(dir.string());
  std::error_code error;
  fs::create_directories(dir, error);
}

std::vector<std::string> KeysOfRegOutput(const std::string& regFile) {
  const std::string root = "[HKEY_CLASSES_ROOT\\";
  std::vector<std::string> keys;
  std::istringstream lines(regFile);
  for (std::string line; std::getline(lines, line);) {
    if (line.ends_with('\r')) line.pop_back();
    if (!line.starts_with(root) || !line.ends_with(']')) continue;
    // Key names may hold a closing bracket but never a backslash.
    const std::string key = line.substr(root.size(), line.size() - root.size() - 1);
    const std::string top = key.substr(0, key.find('\\'));
    if (std::find(keys.begin(), keys.end(), top) == keys.end()) keys.push_back(top);
  }
  return keys;
}

}  // namespace winetest
