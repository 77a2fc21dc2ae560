// The Linux build from the outside: every folder below tests/cases is one run (the format is
// in docs/testing.md), and a table holds the runs that need what a folder cannot hold.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "Process.h"

namespace fs = std::filesystem;
using namespace tavtest;

namespace {

const fs::path Cases = TAVDUMP_SOURCE_DIR "/tests/cases";

std::string Text(const fs::path& path, const std::string& absent = "") {
  return fs::exists(path) ? ReadFileBytes(path) : absent;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
  return text;
}

// One entry per line; a final newline ends the last one rather than starting another.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// The environment of a case: PATH and the sanitizer options, the folders of a standard
// Windows installation, the case's registry, then its env file.
std::vector<std::string> Environment(const fs::path& dir) {
  std::vector<std::string> env;
  for (const char* keep : {"PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
    if (const char* value = std::getenv(keep)) SetEnv(env, keep, value);
  SetEnv(env, "ProgramFiles", "C:\\Program Files");
  SetEnv(env, "SystemRoot", "C:\\Windows");
  SetEnv(env, "SystemDrive", "C:");
  if (fs::exists(dir / "registry.reg")) SetEnv(env, "TAVDUMP_REGISTRY", dir / "registry.reg");
  for (const std::string& line : Lines(Text(dir / "env"))) {
    const std::size_t equals = line.find('=');
    if (line.starts_with("-"))
      UnsetEnv(env, line.substr(1));
    else if (equals != std::string::npos)
      SetEnv(env, line.substr(0, equals), Replace(line.substr(equals + 1), "{case}", dir));
  }
  return env;
}

// Every file below `dir` (links as themselves), by relative path.
std::map<std::string, std::string> Files(const fs::path& dir) {
  std::map<std::string, std::string> files;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(dir, error); !error && it != decltype(it)();
       it.increment(error)) {
    const std::string name = it->path().lexically_relative(dir).string();
    if (it->is_symlink()) files[name] = "-> " + fs::read_symlink(it->path()).string();
    else if (!it->is_directory()) files[name] = ReadFileBytes(it->path());
  }
  return files;
}

ProcessResult Tavdump(const std::vector<std::string>& args, std::vector<std::string> env,
                      const std::string& dir, ProcessSpec setup = {}) {
  setup.Binary = TAVDUMP_BINARY;
  setup.Args = args;
  setup.Env = std::move(env);
  setup.WorkDir = dir;
  return RunProcess(setup);
}

class Case : public ::testing::TestWithParam<std::string> {};

TEST_P(Case, Run) {
  const fs::path dir = Cases / GetParam(), expected = dir / "expected";
  TempDir work;
  ASSERT_FALSE(work.Path.empty());
  const std::vector<std::string> args = Lines(Text(dir / "args"));
  const ProcessResult result = Tavdump(args, Environment(dir), work.Path);
  const std::string what = Describe(args, result);
  EXPECT_EQ(result.ExitCode, std::stoi(Text(expected / "exit", "0"))) << what;
  EXPECT_TRUE(SameBytes("stdout", Replace(Text(expected / "stdout"), "{case}", dir), result.Stdout));
  EXPECT_TRUE(SameBytes("stderr", Replace(Text(expected / "stderr"), "{case}", dir), result.Stderr,
                        true));
  const auto want = Files(expected / "files"), got = Files(work.Path);
  for (const auto& [name, bytes] : want)
    EXPECT_TRUE(SameBytes(name, bytes, got.contains(name) ? got.at(name) : "(no such file)"));
  for (const auto& [name, bytes] : got) EXPECT_TRUE(want.contains(name)) << "left " << name;
}

std::vector<std::string> CaseNames() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(Cases)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

INSTANTIATE_TEST_SUITE_P(, Case, ::testing::ValuesIn(CaseNames()), [](const auto& info) {
  std::string name = info.param;
  for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
});

// Runs whose working folder holds something first, or whose output or files hit a wall: a
// read-only file (which root could write, but Windows would not), a link to a full device,
// standard output on a full device (the banner fails before the format is chosen, so the
// report comes instead and no file is made), and a file-size limit (WriteFile comes back short, as Wine's does on a
// full disk, and the file keeps what fitted).
TEST(Prepared, Runs) {
  const std::string quarvel = "C:\\Program Files\\Quarvel\\qv.exe", keep = "keep me",
                    old(1000, 'x'), full = "I/O error 112.";
  const auto golden = [](const std::string& name, std::size_t size = std::string::npos) {
    return Files(Cases / ("worked-example-" + name) / "expected/files").begin()->second.substr(0, size);
  };
  const struct {
    std::vector<std::string> args;
    std::string before;  // "ro NAME", "full NAME", "old NAME" (longer than any output) or "dir NAME"
    bool fullStdout;
    long long sizeLimit;
    int exit;
    std::string message;        // of the failure report; empty for none
    std::string file, content;  // the one file the run must leave, with this content
  } runs[] = {
      {{quarvel, "ro.cmd"}, "ro ro.cmd", false, -1, 1, "File access denied.", "ro.cmd", keep},
      {{quarvel, "ro.reg"}, "ro ro.reg", false, -1, 1, "File access denied.", "ro.reg", keep},
      {{quarvel, "ro.inf"}, "ro ro.inf", false, -1, 1, "File access denied.", "ro.inf", keep},
      {{quarvel, "f.cmd"}, "full f.cmd", false, -1, 1, full, "f.cmd", "-> /dev/full"},
      {{quarvel, "f.reg"}, "full f.reg", false, -1, 1, full, "f.reg", "-> /dev/full"},
      {{quarvel, "f.inf"}, "full f.inf", false, -1, 1, full, "f.inf", "-> /dev/full"},
      {{quarvel, "x.cmd"}, "", true, -1, 1, full, "", ""},
      {{}, "", true, -1, 1, full, "", ""},
      {{quarvel, "qv.CMD"}, "", false, 100, 1, "Disk full.", "qv.CMD", golden("CMD", 100)},
      {{quarvel, "qv.REG"}, "", false, 100, 1, "Disk full.", "qv.REG", golden("REG", 100)},
      {{quarvel, "qv.INF"}, "", false, 100, 1, "Disk full.", "qv.INF", golden("INF", 100)},
      {{quarvel}, "old qv.CMD", false, -1, 0, "", "qv.CMD", golden("CMD")},
      {{"C:\\Nowhere\\none.exe", "qv.reg"}, "old qv.reg", false, -1, 3, "", "qv.reg", old},
      {{quarvel, "sub.d\\x"}, "dir sub.d", false, -1, 0, "", "sub.d/x.CMD", golden("CMD")},
  };
  const fs::path example = Cases / "worked-example-CMD";
  const std::string banner = Text(example / "expected/stdout");
  for (const auto& run : runs) {
    TempDir work;
    const std::string kind = run.before.substr(0, run.before.find(' ')),
                      path = work.Path + "/" + run.before.substr(kind.size() + !kind.empty());
    if (kind == "ro" || kind == "old") std::ofstream(path) << (kind == "ro" ? keep : old);
    ASSERT_TRUE(kind != "ro" || chmod(path.c_str(), 0444) == 0);
    ASSERT_TRUE(kind != "full" || symlink("/dev/full", path.c_str()) == 0);
    ASSERT_TRUE(kind != "dir" || fs::create_directory(path));
    ProcessSpec setup;
    setup.StdoutPath = run.fullStdout ? "/dev/full" : "";
    setup.FileSizeLimit = run.sizeLimit;
    const ProcessResult result = Tavdump(run.args, Environment(example), work.Path, setup);
    SCOPED_TRACE(Describe(run.args, result) + " after \"" + run.before + "\"");
    EXPECT_EQ(result.ExitCode, run.exit);
    EXPECT_EQ(result.Stdout, run.fullStdout ? ""
                             : banner + (run.exit == 3 ? "Error: No associations found\r\n" : ""));
    EXPECT_TRUE(SameBytes("stderr", run.message.empty() ? "" : "Exception EInOutError in module tavdump at ########.\r\n" + run.message + "\r\n\r\n",
                          result.Stderr, true));
    using Files_ = std::map<std::string, std::string>;
    EXPECT_EQ(Files(work.Path), (run.file.empty() ? Files_{} : Files_{{run.file, run.content}}));
  }
}

}  // namespace
