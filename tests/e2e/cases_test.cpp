// The Linux build from the outside: every folder below tests/cases is one run (the format is
// in docs/testing.md).
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
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

class Case : public ::testing::TestWithParam<std::string> {};

TEST_P(Case, Run) {
  const fs::path dir = Cases / GetParam(), expected = dir / "expected";
  TempDir work;
  ASSERT_FALSE(work.Path.empty());
  // What the run meets: the working folder's content (links stay links) and the limits of setup.
  std::error_code none;
  fs::copy(dir / "before", work.Path, fs::copy_options::recursive | fs::copy_options::copy_symlinks, none);
  ProcessSpec setup{TAVDUMP_BINARY, Lines(Text(dir / "args")), Environment(dir), work.Path, ""};
  for (const std::string& line : Lines(Text(dir / "setup"))) {
    if (line.starts_with("read-only ")) chmod((work.Path + "/" + line.substr(10)).c_str(), 0444);
    if (line == "stdout /dev/full") setup.StdoutPath = "/dev/full";
    if (line.starts_with("file-size-limit ")) setup.FileSizeLimit = std::stoll(line.substr(16));
  }
  const ProcessResult result = RunProcess(setup);
  const std::string what = Describe(setup.Args, result);
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

// A named pipe as the registry, which a case folder cannot hold: one line and exit code 2,
// where opening it used to wait for a writer for ever.
TEST(Sources, ANamedPipe) {
  TempDir work;
  const std::string pipe = work.Path + "/pipe.reg";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  const ProcessResult result =
      RunProcess({TAVDUMP_BINARY, {"qv.exe"}, {"TAVDUMP_REGISTRY=" + pipe}, work.Path, "", -1, 20});
  EXPECT_EQ(result.ExitCode, 2);
  EXPECT_TRUE(result.Stderr.ends_with(
      pipe + ": a registry cannot be read from a pipe; save it to a file and name that\n"))
      << result.Stderr;
}

}  // namespace
