#include "Scan.h"

#include <windows.h>

#include "Fixture.h"

namespace {

class ScanTest : public PlatformTest {
 protected:
  /// Lists the registry's root keys as the front end does.
  TTavArrayOfString Keys() {
    DWORD count = 0, longest = 0;
    EXPECT_EQ(RegQueryInfoKeyA(HKEY_CLASSES_ROOT, nullptr, nullptr, nullptr, &count, &longest,
                               nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    TTavArrayOfString keys;
    EnumRootKeys(keys, count, longest);
    return keys;
  }

  /// The names of the file types found for `path`.
  std::vector<std::string> Found(const std::string& path) {
    TTavFTypes types;
    TTavArrayOfString keys = Keys();
    std::int32_t count = FindFileTypes(UpperCase(path), types, keys);
    EXPECT_EQ(types.size(), keys.size());
    std::vector<std::string> names;
    for (std::int32_t i = 0; i < count; ++i) names.push_back(types[i].Name);
    return names;
  }
};

using Names = std::vector<std::string>;

TEST_F(ScanTest, EnumRootKeysKeepsRegistryOrderAndLeavesFailuresEmpty) {
  for (const char* key : {"zeta", ".b", "Alpha", "_x"}) tavplat::AddRegKey(key);
  EXPECT_EQ(Keys(), (Names{".b", "Alpha", "zeta", "_x"}));

  tavplat::InjectedFaults().enumFailIndexes = {1};
  EXPECT_EQ(Keys(), (Names{".b", "", "zeta", "_x"}));

  tavplat::InjectedFaults().enumFailIndexes.clear();
  TTavArrayOfString keys;
  EnumRootKeys(keys, 4, 4);
  EXPECT_EQ(keys, (Names{".b", "", "zeta", "_x"})) << "Alpha is longer than the given length";
}

TEST_F(ScanTest, PrefixPassTakesQuotedAndUnquotedCommandsInAnyLetterCase) {
  FileType("Quoted", "\"C:\\Program Files\\App\\app.exe\" \"%1\"");
  FileType("Bare", "c:\\program files\\app\\APP.EXE %1");
  FileType("Launcher", "C:\\Run.exe C:\\Program Files\\App\\app.exe %1");
  FileType("Other", "C:\\Other\\other.exe");
  EXPECT_EQ(Found("C:\\Program Files\\App\\app.exe"), (Names{"Bare", "Quoted"}))
      << "a command that only contains the path is left out once one starts with it";
  EXPECT_EQ(Found("C:\\Program Files\\Ap"), (Names{"Bare", "Quoted"}))
      << "a leading part of a folder name matches too";
}

TEST_F(ScanTest, ContainsPassRunsOnlyWhenNoCommandStartsWithThePath) {
  FileType("Launcher", "C:\\Run.exe \"C:\\Tools\\view.exe\" %1");
  FileType("Quoted", "\"C:\\Tools\\view.exe\"");
  FileType("Other", "\"D:\\x.exe\" view.exe");
  EXPECT_EQ(Found("view.exe"), (Names{"Launcher", "Other", "Quoted"}));
  EXPECT_EQ(Found("\"D"), Names{}) << "the opening quote of a command is never part of a match";
  EXPECT_EQ(Found("nowhere"), Names{});
  EXPECT_EQ(Found(""), Names{}) << "an empty path occurs nowhere";
}

TEST_F(ScanTest, ExpandableCommandsMatchTheirExpandedPath) {
  Def("Pad\\shell\\open\\command", "%SystemRoot%\\notepad.exe %1", REG_EXPAND_SZ);
  EXPECT_EQ(Found("C:\\WINDOWS\\NOTEPAD.EXE"), Names{"Pad"});
}

TEST_F(ScanTest, KeysBeginningWithAPeriodAreNeverFileTypes) {
  FileType(".app", "C:\\App\\app.exe");
  FileType("App.File", "C:\\App\\app.exe");
  EXPECT_EQ(Found("C:\\App\\"), Names{"App.File"});
}

TEST_F(ScanTest, MatchFillsDescriptionAndIconOrLeavesThemEmpty) {
  FileType("Full", "C:\\App\\app.exe", "App file", "C:\\App\\app.exe,1");
  FileType("Bare", "C:\\App\\app.exe");
  Def("Bare\\DefaultIcon", "");
  std::string command, description = "stale", icon = "stale";
  ASSERT_TRUE(MatchFileType("Full", "C:\\APP", spPrefix, command, description, icon));
  EXPECT_EQ(description, "App file");
  EXPECT_EQ(icon, "C:\\App\\app.exe,1");
  ASSERT_TRUE(MatchFileType("Bare", "C:\\APP", spPrefix, command, description, icon));
  EXPECT_EQ(command, "C:\\App\\app.exe");
  EXPECT_EQ(description, "");
  EXPECT_EQ(icon, "");
}

TEST_F(ScanTest, FindExtensionsCollectsExactNamesInKeyOrder) {
  FileType("App.File", "C:\\App\\app.exe");
  FileType("App.Other", "C:\\App\\app.exe");
  FileType("Foreign", "C:\\Foreign\\f.exe");
  Def(".b", "App.File");
  Def(".a", "App.Other");
  Def(".c", "App.File");
  Def(".d", "app.file");
  Def(".e", "Foreign");
  tavplat::AddRegKey(".f");
  TTavArrayOfString keys = Keys();
  TTavFTypes types;
  std::int32_t typeCount = FindFileTypes(UpperCase("C:\\App"), types, keys);
  ASSERT_EQ(typeCount, 2);
  TTavTavs exts;
  std::int32_t count = FindExtensions(exts, types, typeCount, keys);
  ASSERT_EQ(count, 3);
  EXPECT_EQ(exts.size(), keys.size());
  EXPECT_EQ(exts[0].Ext, ".a");
  EXPECT_EQ(types[exts[0].FType].Name, "App.Other");
  EXPECT_EQ(exts[1].Ext, ".b");
  EXPECT_EQ(exts[2].Ext, ".c");
  EXPECT_EQ(exts[1].FType, exts[2].FType);
  for (std::size_t i = 3; i < exts.size(); ++i) EXPECT_EQ(exts[i].Ext, "") << i;
  for (std::size_t i = 2; i < types.size(); ++i) EXPECT_EQ(types[i].Command, "") << i;
}

TEST_F(ScanTest, FindFTypeIndexGivesTheFirstOfEqualNames) {
  TTavFTypes types{{"A", "c", "", ""}, {"B", "c", "", ""}, {"A", "c", "", ""}, {"C", "", "", ""}};
  TFTypeIndex byName = IndexFTypes(types, 3);
  std::int32_t index = -1;
  EXPECT_TRUE(FindFTypeIndex("A", byName, index));
  EXPECT_EQ(index, 0);
  index = 7;
  EXPECT_FALSE(FindFTypeIndex("C", byName, index)) << "records behind the count are not searched";
  EXPECT_FALSE(FindFTypeIndex("a", byName, index));
  EXPECT_EQ(index, 7);
}

TEST_F(ScanTest, EmptyRegistryGivesEmptyLists) {
  TTavArrayOfString keys = Keys();
  TTavFTypes types{{"x", "y", "", ""}};
  TTavTavs exts{{".x", 0}};
  EXPECT_EQ(FindFileTypes("X", types, keys), 0);
  EXPECT_EQ(FindExtensions(exts, types, 0, keys), 0);
  EXPECT_TRUE(types.empty());
  EXPECT_TRUE(exts.empty());
}

TEST_F(ScanTest, UpperCaseFollowsTheAnsiCodePage) {
  EXPECT_EQ(UpperCase("c:\\caf\xE9\\x.exe"), "C:\\CAF\xC9\\X.EXE");
  EXPECT_EQ(UpperCase(""), "");
}

}  // namespace
