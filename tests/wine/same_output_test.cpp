// The Windows build under Wine and the Linux build, given the same registry, environment
// and code pages, print the same, end with the same code and write the same files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>

#include "Wine.h"

using namespace winetest;

namespace {

// Every regular file directly in `dir`, by name, with its bytes.
std::map<std::string, std::string> FilesIn(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
    if (entry.is_regular_file())
      files[entry.path().filename().string()] = tavtest::ReadFileBytes(entry.path().string());
  }
  return files;
}

// Imports `fixture` (none when empty) into a prefix and runs the Windows build there and
// the Linux build over the prefix's export and over the fixture itself, each in a folder
// of its own: for a wrong parameter count, a path that matches nothing, and each program
// with the default output name and each format.
void ExpectSameAsLinux(const std::string& fixture, const std::vector<std::string>& programs) {
  WinePrefix prefix(fixture.empty() ? std::vector<std::string>{} : std::vector{fixture});
  ASSERT_EQ(prefix.Error, "");
  const LinuxSide side = LinuxSideOf(prefix);
  ASSERT_FALSE(side.Env.empty()) << "cannot read the prefix's environment, code pages and keys";
  std::vector<fs::path> registries = {side.Registry};
  if (!fixture.empty()) registries.push_back(DataFile(fixture));
  std::vector<std::vector<std::string>> runs = {
      {}, {"notepad.exe", "one", "two"}, {"C:\\No Such Folder\\none.exe", "none.reg"}};
  for (const std::string& program : programs) {
    for (const char* out : {"", "out.cmd", "Out.Reg", "out.INF"})
      runs.push_back(*out ? std::vector<std::string>{program, out}
                          : std::vector<std::string>{program});
  }
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const fs::path windowsDir = prefix.Files / ("windows" + std::to_string(i));
    const fs::path linuxDir = prefix.Files / "linux";
    MakeEmptyDir(windowsDir);
    const ProcessResult windows = RunProcess(WindowsSpec(prefix, runs[i], windowsDir));
    const std::map<std::string, std::string> wineFiles = FilesIn(windowsDir);
    for (const fs::path& registry : registries) {
      MakeEmptyDir(linuxDir);
      const ProcessResult linux = RunProcess(LinuxSpec(side, runs[i], linuxDir, registry));
      SCOPED_TRACE(registry.filename().string() + ": Wine: " + Describe(runs[i], windows) +
                   "\n  Linux: " + Describe(runs[i], linux));
      EXPECT_EQ(windows.ExitCode, linux.ExitCode);
      EXPECT_TRUE(SameBytes("standard output", windows.Stdout, linux.Stdout));
      EXPECT_TRUE(SameBytes("standard error", windows.Stderr, linux.Stderr));
      std::map<std::string, std::string> ours = FilesIn(linuxDir);
      for (const auto& [name, bytes] : wineFiles) EXPECT_TRUE(SameBytes(name, bytes, ours[name]));
      EXPECT_EQ(ours.size(), wineFiles.size()) << "the Linux build wrote other files";
    }
  }
}

TEST(SameOutput, SpecialCharactersInValues) {
  ExpectSameAsLinux("specials.reg",
                    {"C:\\Program Files\\TavTest\\tav.exe", "c:\\program files\\tavtest",
                     "TavTest\\tav.exe", "c:\\program files\\TÄVÉ\\tävé.exe"});
}

TEST(SameOutput, SpecialCharactersInNames) {
  ExpectSameAsLinux("names.reg", {"C:\\Program Files\\TavName\\nm.exe"});
}

TEST(SameOutput, CharactersTheOemCodePageLacks) {
  ExpectSameAsLinux("limits.reg", {"C:\\Program Files\\TavFit\\fit.exe"});
}

// The associations Wine registers for its own programs.
TEST(SameOutput, WinesOwnAssociations) {
  ExpectSameAsLinux(
      "", {"notepad.exe", "winebrowser.exe", "wordpad.exe", "iexplore.exe", "C:\\windows"});
}

// `keys` sorted by their names with every byte folded by `fold`.
std::vector<std::string> SortedFolded(std::vector<std::string> keys, int (*fold)(int)) {
  auto folded = [fold](std::string key) {
    for (char& c : key) c = static_cast<char>(fold(static_cast<unsigned char>(c)));
    return key;
  };
  std::stable_sort(keys.begin(), keys.end(), [&](const std::string& a, const std::string& b) {
    return folded(a) < folded(b);
  });
  return keys;
}

// The output follows the registry's enumeration order. Windows keeps subkeys sorted by
// their upper-cased names, and so does the Linux build; Wine 8 sorts by lower-cased names,
// which puts [ \ ] ^ _ ` before the letters instead of after them. Both builds list the
// same keys, each in its platform's order.
TEST(SameOutput, KeyOrderFollowsWindowsWhereWineDiffers) {
  WinePrefix prefix({"order.reg"});
  ASSERT_EQ(prefix.Error, "");
  const LinuxSide side = LinuxSideOf(prefix);
  ASSERT_FALSE(side.Env.empty()) << "cannot read the prefix's environment, code pages and keys";
  const std::vector<std::string> args = {"C:\\Program Files\\TavOrder\\ord.exe", "out.reg"};
  std::vector<std::string> keys[2];  // Wine's, then the Linux build's
  for (int linux = 0; linux < 2; ++linux) {
    const fs::path dir = prefix.Files / std::to_string(linux);
    MakeEmptyDir(dir);
    const ProcessResult run =
        RunProcess(linux ? LinuxSpec(side, args, dir) : WindowsSpec(prefix, args, dir));
    ASSERT_EQ(run.ExitCode, 0) << Describe(args, run);
    // Letters above 7F sort behind all of these on both platforms; the ASCII names show
    // the difference.
    keys[linux] = KeysOfRegOutput(tavtest::ReadFileBytes((dir / "out.reg").string()));
    std::erase_if(keys[linux], [](const std::string& key) {
      return std::any_of(key.begin(), key.end(), [](char c) { return c & 0x80; });
    });
  }
  ASSERT_EQ(keys[0].size(), 22u) << "eleven extensions and eleven file types";
  EXPECT_EQ(keys[0], SortedFolded(keys[0], [](int c) { return std::tolower(c); }));
  EXPECT_EQ(keys[1], SortedFolded(keys[0], [](int c) { return std::toupper(c); }));
  EXPECT_NE(keys[1], keys[0]) << "the fixture no longer shows the difference";
}

}  // namespace
