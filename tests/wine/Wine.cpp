#include "Wine.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <system_error>

namespace fs = std::filesystem;

namespace winetest {

namespace {

const char* const WineProgram = TAVDUMP_WINE;
const char* const WineServerProgram = TAVDUMP_WINESERVER;
const char* const WineBootProgram = TAVDUMP_WINEBOOT;

fs::path PristineDir() { return WorkRoot() / "pristine"; }

std::vector<std::string> BaseEnvironment(const fs::path& prefix) {
  return {
      "PATH=/usr/local/bin:/usr/bin:/bin",
      "HOME=" + (WorkRoot() / "home").string(),
      // Wine takes its code pages from the Unix locale; C.UTF-8 exists everywhere and
      // gives code page 1252 and 437, and UTF-8 arguments for the command line.
      "LANG=C.UTF-8",
      "WINEARCH=win64",
      "WINEDEBUG=-all",
      "WINEPREFIX=" + prefix.string(),
  };
}

tavtest::ProcessResult RunIn(const fs::path& prefix, const std::string& binary,
                             const std::vector<std::string>& args, const fs::path& workDir,
                             int timeoutSeconds = 120) {
  tavtest::ProcessSpec spec;
  spec.Binary = binary;
  spec.Args = args;
  spec.Env = BaseEnvironment(prefix);
  spec.WorkDir = workDir.string();
  spec.TimeoutSeconds = timeoutSeconds;
  return tavtest::RunProcess(spec);
}

// Debian's Wine keeps the socket folder of a prefix's server in /tmp and names it in this
// file of the prefix; it outlives the server unless removed.
fs::path ServerSocketDir(const fs::path& prefix) {
  std::string name = tavtest::ReadFileBytes((prefix / "wineserver").string());
  while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
  if (name.empty() || name.find('/') != std::string::npos) return {};
  return fs::path("/tmp") / name;
}

void EndServer(const fs::path& prefix) {
  if (!fs::exists(prefix)) return;
  RunIn(prefix, WineServerProgram, {"-k"}, WorkRoot(), 30);
  fs::path sockets = ServerSocketDir(prefix);
  std::error_code error;
  if (!sockets.empty()) fs::remove_all(sockets, error);
}

// Removes `dir`, first giving write permission back to whatever a test took it from.
void RemoveTree(const fs::path& dir) {
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(dir, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    if (!it->is_symlink(error))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
  }
  fs::remove_all(dir, error);
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
  if (error) return "reading " + from.string() + ": " + error.message();
  return {};
}

std::string ShellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  return quoted + "'";
}

// The line of `bytes` that holds `offset` (at most 200 bytes of it, its line end included),
// with backslashes doubled and unprintable bytes written as \xNN.
std::string LineAround(const std::string& bytes, std::size_t offset) {
  std::size_t start = bytes.rfind('\n', offset == 0 ? 0 : offset - 1);
  start = start == std::string::npos || offset == 0 ? 0 : start + 1;
  std::size_t end = bytes.find('\n', offset);
  end = end == std::string::npos ? bytes.size() : end + 1;
  std::string visible;
  for (std::size_t i = start; i < end && i < start + 200; ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      visible += static_cast<char>(c);
    } else if (c == '\\') {
      visible += "\\\\";
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      visible += hex;
    }
  }
  return visible;
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
    RemoveTree(PristineDir());
    tavtest::ProcessResult boot = RunIn(PristineDir(), WineBootProgram, {"-i"}, WorkRoot(), 300);
    tavtest::ProcessResult wait = RunIn(PristineDir(), WineServerProgram, {"-w"}, WorkRoot(), 300);
    fs::path sockets = ServerSocketDir(PristineDir());
    if (!sockets.empty()) fs::remove_all(sockets, error);
    if (!fs::exists(PristineDir() / "system.reg")) {
      result = "wineboot did not make a prefix: " + tavtest::Describe(boot) + "\n" + boot.Stderr +
               tavtest::Describe(wait);
      RemoveTree(PristineDir());
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
  RemoveTree(WorkRoot());
}

WinePrefix::WinePrefix(const std::string& name)
    : Dir(WorkRoot() / "prefixes" / name), Files(WorkRoot() / "files" / name) {
  Error = EnsurePristinePrefix();
  if (!Error.empty()) return;
  EndServer(Dir);
  RemoveTree(Dir);
  RemoveTree(Files);
  Error = CopyPrefix(PristineDir(), Dir);
  // A server that outlives each program spares every run the start of Wine's services.
  if (Error.empty()) RunIn(Dir, WineServerProgram, {"-p"}, WorkRoot(), 30);
  std::error_code error;
  fs::create_directories(Files, error);
  if (Error.empty() && error) Error = "cannot create " + Files.string() + ": " + error.message();
}

WinePrefix::~WinePrefix() {
  EndServer(Dir);
  RemoveTree(Dir);
  RemoveTree(Files);
}

std::string TestPrefixName(const std::string& suffix) {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name =
      test == nullptr ? "prefix" : std::string(test->test_suite_name()) + "." + test->name();
  std::replace(name.begin(), name.end(), '/', '_');
  return suffix.empty() ? name : name + "-" + suffix;
}

std::vector<std::string> WineEnvironment(const WinePrefix& prefix) {
  return BaseEnvironment(prefix.Dir);
}

tavtest::ProcessSpec WineServerSpec(const WinePrefix& prefix,
                                    const std::vector<std::string>& args) {
  tavtest::ProcessSpec spec;
  spec.Binary = WineServerProgram;
  spec.Args = args;
  spec.Env = WineEnvironment(prefix);
  spec.WorkDir = WorkRoot().string();
  return spec;
}

void StopServer(const WinePrefix& prefix) {
  RunIn(prefix.Dir, WineServerProgram, {"-k"}, WorkRoot(), 30);
}

tavtest::ProcessSpec WineSpec(const WinePrefix& prefix, const std::vector<std::string>& args,
                              const fs::path& workDir) {
  tavtest::ProcessSpec spec;
  spec.Binary = WineProgram;
  spec.Args = args;
  spec.Env = WineEnvironment(prefix);
  spec.WorkDir = workDir.string();
  return spec;
}

tavtest::ProcessResult Wine(const WinePrefix& prefix, const std::vector<std::string>& args,
                            const fs::path& workDir) {
  return tavtest::RunProcess(WineSpec(prefix, args, workDir));
}

tavtest::ProcessSpec WindowsTavdumpSpec(const WinePrefix& prefix,
                                        const std::vector<std::string>& args,
                                        const fs::path& workDir) {
  std::vector<std::string> all = {TAVDUMP_WINDOWS_EXE};
  all.insert(all.end(), args.begin(), args.end());
  return WineSpec(prefix, all, workDir);
}

tavtest::ProcessResult WindowsTavdump(const WinePrefix& prefix,
                                      const std::vector<std::string>& args,
                                      const fs::path& workDir) {
  return tavtest::RunProcess(WindowsTavdumpSpec(prefix, args, workDir));
}

LinuxSide LinuxSideOf(const WinePrefix& prefix) {
  LinuxSide side;
  tavtest::ProcessResult set = Wine(prefix, {"cmd", "/c", "set"}, prefix.Files);
  if (set.ExitCode != 0) return side;
  std::istringstream lines(set.Stdout);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // Entries such as "=C:=C:\..." are the drives' current folders, not variables.
    if (line.find('=') != std::string::npos && line[0] != '=') side.Env.push_back(line);
  }
  const std::string key = "HKLM\\System\\CurrentControlSet\\Control\\Nls\\CodePage";
  for (auto [name, target] :
       {std::pair{"ACP", &side.AnsiCodePage}, std::pair{"OEMCP", &side.OemCodePage}}) {
    tavtest::ProcessResult query = Wine(prefix, {"reg", "query", key, "/v", name}, prefix.Files);
    std::istringstream words(query.Stdout);
    std::string word, last;
    while (words >> word) {
      if (last == "REG_SZ") *target = word;
      last = word;
    }
  }
  if (side.AnsiCodePage.empty() || side.OemCodePage.empty()) side.Env.clear();
  return side;
}

tavtest::ProcessSpec LinuxTavdumpSpec(const LinuxSide& side, const fs::path& registry,
                                      const std::vector<std::string>& args,
                                      const fs::path& workDir) {
  tavtest::ProcessSpec spec;
  spec.Binary = TAVDUMP_BINARY;
  spec.Args = args;
  spec.Env = side.Env;
  tavtest::SetEnv(spec.Env, "TAVDUMP_REGISTRY", registry.string());
  tavtest::SetEnv(spec.Env, "TAVDUMP_ACP", side.AnsiCodePage);
  tavtest::SetEnv(spec.Env, "TAVDUMP_OEMCP", side.OemCodePage);
  spec.WorkDir = workDir.string();
  return spec;
}

tavtest::ProcessResult LinuxTavdump(const LinuxSide& side, const fs::path& registry,
                                    const std::vector<std::string>& args, const fs::path& workDir) {
  return tavtest::RunProcess(LinuxTavdumpSpec(side, registry, args, workDir));
}

std::string ShellLine(const tavtest::ProcessSpec& spec, const fs::path& capture) {
  std::string line = "(cd " + ShellQuote(spec.WorkDir) + " && exec env -i";
  for (const std::string& entry : spec.Env) line += " " + ShellQuote(entry);
  line += " " + ShellQuote(spec.Binary);
  for (const std::string& arg : spec.Args) line += " " + ShellQuote(arg);
  const std::string base = capture.string();
  line += " >" + ShellQuote(base + ".out") + " 2>" + ShellQuote(base + ".err") + " </dev/null)";
  line += "; echo $? >" + ShellQuote(base + ".rc") + "\n";
  return line;
}

tavtest::ProcessResult ReadCapture(const fs::path& capture) {
  tavtest::ProcessResult result;
  const std::string base = capture.string();
  std::ifstream rc(base + ".rc");
  if (!(rc >> result.ExitCode)) {
    result.StartError = "no exit code in " + base + ".rc";
    return result;
  }
  result.Stdout = tavtest::ReadFileBytes(base + ".out");
  result.Stderr = tavtest::ReadFileBytes(base + ".err");
  return result;
}

tavtest::ProcessResult RunScript(const std::vector<std::string>& unshareArgs,
                                 const std::string& script, const std::vector<std::string>& env) {
  tavtest::ProcessSpec spec;
  spec.Binary = unshareArgs.empty() ? "/bin/sh" : TAVDUMP_UNSHARE;
  spec.Args = unshareArgs;
  if (!unshareArgs.empty()) spec.Args.insert(spec.Args.end(), {"--", "/bin/sh"});
  spec.Args.insert(spec.Args.end(), {"-c", script});
  spec.Env = env;
  spec.WorkDir = WorkRoot().string();
  spec.TimeoutSeconds = 240;
  return tavtest::RunProcess(spec);
}

tavtest::ProcessResult ImportRegFile(const WinePrefix& prefix, const fs::path& file) {
  return Wine(prefix, {"regedit", "/s", WinePath(file)}, prefix.Files);
}

tavtest::ProcessResult ExportClassesRoot(const WinePrefix& prefix, const fs::path& file) {
  return Wine(prefix, {"regedit", "/e", WinePath(file), "HKEY_CLASSES_ROOT"}, prefix.Files);
}

std::string WinePath(const fs::path& path) {
  std::string text = fs::absolute(path).lexically_normal().string();
  std::replace(text.begin(), text.end(), '/', '\\');
  return "Z:" + text;
}

fs::path DataFile(const std::string& name) { return fs::path(TAVDUMP_WINE_DATA_DIR) / name; }

std::map<std::string, std::string> FilesIn(const fs::path& dir) {
  std::map<std::string, std::string> files;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir, error)) {
    if (entry.is_regular_file(error))
      files[entry.path().filename().string()] = tavtest::ReadFileBytes(entry.path().string());
  }
  return files;
}

void MakeEmptyDir(const fs::path& dir) {
  RemoveTree(dir);
  std::error_code error;
  fs::create_directories(dir, error);
}

std::string CompareBytes(const std::string& what, const std::string& expected,
                         const std::string& actual) {
  if (expected == actual) return {};
  std::size_t offset = 0;
  while (offset < expected.size() && offset < actual.size() && expected[offset] == actual[offset])
    ++offset;
  std::ostringstream message;
  message << what << " differ: " << expected.size() << " bytes expected, " << actual.size()
          << " bytes actual, first difference at offset " << offset
          << "\n  expected line: " << LineAround(expected, std::min(offset, expected.size()))
          << "\n  actual line:   " << LineAround(actual, std::min(offset, actual.size()));
  return message.str();
}

std::string CompareFiles(const std::string& what,
                         const std::map<std::string, std::string>& expected,
                         const std::map<std::string, std::string>& actual) {
  std::string names[2];
  for (int side = 0; side < 2; ++side) {
    for (const auto& [name, bytes] : side == 0 ? expected : actual) names[side] += " " + name;
  }
  if (names[0] != names[1])
    return what + ": files differ: expected {" + names[0] + " }, actual {" + names[1] + " }";
  std::string messages;
  for (const auto& [name, bytes] : expected) {
    std::string message = CompareBytes(what + ": file " + name, bytes, actual.at(name));
    if (!message.empty()) messages += message + "\n";
  }
  return messages;
}

std::vector<std::string> KeysOfRegOutput(const std::string& regFile) {
  const std::string root = "[HKEY_CLASSES_ROOT\\";
  std::vector<std::string> keys;
  std::istringstream lines(regFile);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind(root, 0) != 0 || line.back() != ']') continue;
    // Key names may hold a closing bracket but never a backslash.
    std::string key = line.substr(root.size(), line.size() - root.size() - 1);
    key = key.substr(0, key.find('\\'));
    if (std::find(keys.begin(), keys.end(), key) == keys.end()) keys.push_back(key);
  }
  return keys;
}

std::string DeletionRegFile(const std::vector<std::string>& keys) {
  std::string file = "REGEDIT4\r\n";
  for (const std::string& key : keys) file += "\r\n[-HKEY_CLASSES_ROOT\\" + key + "]\r\n";
  return file;
}

std::string NormalizedReport(const std::string& stderrText) {
  const std::string head = "Exception ";
  const std::string module = " in module ";
  const std::string at = " at ";
  std::size_t moduleAt = stderrText.find(module);
  std::size_t atAt =
      moduleAt == std::string::npos ? moduleAt : stderrText.find(at, moduleAt + module.size());
  std::size_t lineEnd = stderrText.find(".\r\n", atAt == std::string::npos ? 0 : atAt);
  if (stderrText.rfind(head, 0) != 0 || atAt == std::string::npos ||
      lineEnd != atAt + at.size() + 8)
    return stderrText;
  for (std::size_t i = atAt + at.size(); i < lineEnd; ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(stderrText[i])) ||
        std::islower(static_cast<unsigned char>(stderrText[i])))
      return stderrText;
  }
  return stderrText.substr(0, moduleAt) + " in module <module> at <address>" +
         stderrText.substr(lineEnd);
}

std::string RunLabel(const std::vector<std::string>& args, const tavtest::ProcessResult& result) {
  std::string label = "tavdump";
  for (const std::string& arg : args) label += " [" + arg + "]";
  return label + ": " + tavtest::Describe(result) +
         (result.Stderr.empty() ? "" : "; stderr: " + result.Stderr);
}

}  // namespace winetest
