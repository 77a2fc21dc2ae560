// The Windows build under Wine and the Linux build, given the same registry, environment
// and code pages, print the same, end with the same code and write the same files.
#include <gtest/gtest.h>

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

// Names whose order differs between comparing upper-cased and lower-cased characters: the
// registry's enumeration order is the order of the output.
TEST(SameOutput, KeyOrder) {
  ExpectFixtureSameAsLinux("order.reg", {"C:\\Program Files\\TavOrder\\ord.exe"});
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
