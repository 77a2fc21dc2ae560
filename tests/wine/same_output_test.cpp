// The Windows build under Wine and the Linux build, given the same registry, environment
// and code pages, print the same, end with the same code and write the same files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "Wine.h"

namespace fs = std::filesystem;
using namespace winetest;

namespace {

// Every way of calling the tool that these tests try for one program path: the default
// output name and each format, with the extension in various letter cases.
std::vector<std::vector<std::string>> RunsFor(const std::vector<std::string>& programs) {
  std::vector<std::vector<std::string>> runs = {
      {},
      {"notepad.exe", "one", "two"},
      {"C:\\No Such Folder\\none.exe", "none.reg"},
  };
  for (const std::string& program : programs) {
    runs.push_back({program});
    runs.push_back({program, "out.cmd"});
    runs.push_back({program, "Out.Reg"});
    runs.push_back({program, "out.INF"});
  }
  return runs;
}

// A registry export for the Linux build and what it stands for.
struct Registry {
  std::string Label;
  fs::path File;
};

// Runs the Windows build once and the Linux build over each of `registries` for each of
// `runs`, each in a folder of its own, and compares everything they print and write.
void ExpectSameAsLinux(const WinePrefix& prefix, const LinuxSide& side,
                       const std::vector<Registry>& registries,
                       const std::vector<std::vector<std::string>>& runs) {
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const fs::path windowsDir = prefix.Files / ("windows" + std::to_string(i));
    MakeEmptyDir(windowsDir);
    const tavtest::ProcessResult windows = WindowsTavdump(prefix, runs[i], windowsDir);
    ASSERT_TRUE(windows.StartError.empty() && !windows.TimedOut) << RunLabel(runs[i], windows);
    for (const Registry& registry : registries) {
      const fs::path linuxDir = prefix.Files / ("linux" + std::to_string(i));
      MakeEmptyDir(linuxDir);
      const tavtest::ProcessResult linux = LinuxTavdump(side, registry.File, runs[i], linuxDir);
      SCOPED_TRACE(registry.Label + ": Wine: " + RunLabel(runs[i], windows) +
                   "\n  Linux: " + RunLabel(runs[i], linux));
      EXPECT_EQ(windows.ExitCode, linux.ExitCode);
      EXPECT_SAME_BYTES("standard output", windows.Stdout, linux.Stdout);
      EXPECT_SAME_BYTES("standard error", windows.Stderr, linux.Stderr);
      EXPECT_SAME_FILES("files written", FilesIn(windowsDir), FilesIn(linuxDir));
    }
  }
}

// The fixture's associations in a prefix of their own, compared over the fixture file
// itself and over the prefix's export of HKEY_CLASSES_ROOT.
void ExpectFixtureSameAsLinux(const std::string& fixture,
                              const std::vector<std::string>& programs) {
  WinePrefix prefix(TestPrefixName());
  ASSERT_EQ(prefix.Error, "");
  ImportRegFile(prefix, DataFile(fixture));
  const LinuxSide side = LinuxSideOf(prefix);
  ASSERT_FALSE(side.Env.empty()) << "cannot read the prefix's environment and code pages";
  const fs::path exported = prefix.Files / "classes.reg";
  ExportClassesRoot(prefix, exported);
  ASSERT_TRUE(fs::exists(exported));

  // The fixture must have arrived: its first program is found under Wine.
  const tavtest::ProcessResult probe =
      WindowsTavdump(prefix, {programs[0], "probe.reg"}, prefix.Files);
  ASSERT_EQ(probe.ExitCode, 0) << RunLabel({programs[0]}, probe);

  ExpectSameAsLinux(prefix, side,
                    {{"fixture file", DataFile(fixture)}, {"exported classes", exported}},
                    RunsFor(programs));
}

TEST(SameOutput, SpecialCharactersInValues) {
  ExpectFixtureSameAsLinux("specials.reg", {
                                               "C:\\Program Files\\TavTest\\tav.exe",
                                               "c:\\program files\\tavtest",
                                               "TavTest\\tav.exe",
                                               "c:\\program files\\TÄVÉ\\tävé.exe",
                                           });
}

TEST(SameOutput, SpecialCharactersInNames) {
  ExpectFixtureSameAsLinux("names.reg", {"C:\\Program Files\\TavName\\nm.exe"});
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
  WinePrefix prefix(TestPrefixName());
  ASSERT_EQ(prefix.Error, "");
  ImportRegFile(prefix, DataFile("order.reg"));
  const LinuxSide side = LinuxSideOf(prefix);
  ASSERT_FALSE(side.Env.empty()) << "cannot read the prefix's environment and code pages";
  const std::vector<std::string> args = {"C:\\Program Files\\TavOrder\\ord.exe", "out.reg"};
  const fs::path windowsDir = prefix.Files / "windows";
  const fs::path linuxDir = prefix.Files / "linux";
  MakeEmptyDir(windowsDir);
  MakeEmptyDir(linuxDir);
  const tavtest::ProcessResult windows = WindowsTavdump(prefix, args, windowsDir);
  const tavtest::ProcessResult linux = LinuxTavdump(side, DataFile("order.reg"), args, linuxDir);
  ASSERT_EQ(windows.ExitCode, 0) << RunLabel(args, windows);
  ASSERT_EQ(linux.ExitCode, 0) << RunLabel(args, linux);

  // Letters above 7F sort behind all of these on both platforms; the ASCII names show
  // the difference.
  auto asciiKeys = [](const std::string& reg) {
    std::vector<std::string> keys = KeysOfRegOutput(reg);
    std::erase_if(keys, [](const std::string& key) {
      return std::any_of(key.begin(), key.end(), [](char c) { return c & 0x80; });
    });
    return keys;
  };
  const std::vector<std::string> wine = asciiKeys(FilesIn(windowsDir)["out.reg"]);
  const std::vector<std::string> ours = asciiKeys(FilesIn(linuxDir)["out.reg"]);
  ASSERT_EQ(wine.size(), 22u) << "eleven extensions and eleven file types";
  EXPECT_EQ(wine, SortedFolded(wine, [](int c) { return std::tolower(c); }));
  EXPECT_EQ(ours, SortedFolded(wine, [](int c) { return std::toupper(c); }));
  EXPECT_NE(ours, wine) << "the fixture no longer shows the difference";
}

TEST(SameOutput, CharactersTheOemCodePageLacks) {
  ExpectFixtureSameAsLinux("limits.reg", {"C:\\Program Files\\TavFit\\fit.exe"});
}

// The associations Wine registers for its own programs, read by the Linux build from the
// prefix's export of HKEY_CLASSES_ROOT.
TEST(SameOutput, WinesOwnAssociations) {
  WinePrefix prefix(TestPrefixName());
  ASSERT_EQ(prefix.Error, "");
  const LinuxSide side = LinuxSideOf(prefix);
  ASSERT_FALSE(side.Env.empty()) << "cannot read the prefix's environment and code pages";
  const fs::path exported = prefix.Files / "classes.reg";
  ExportClassesRoot(prefix, exported);
  ASSERT_TRUE(fs::exists(exported));
  ExpectSameAsLinux(
      prefix, side, {{"exported classes", exported}},
      RunsFor({"notepad.exe", "winebrowser.exe", "wordpad.exe", "iexplore.exe", "C:\\windows"}));
}

}  // namespace
