// The scan's edges that the end-to-end scripts do not reach: failed enumerations, records
// behind the counts, and matches that must not happen.
#include "Scan.h"

#include <windows.h>

#include "Fixture.h"

namespace {

using Names = std::vector<std::string>;

class ScanTest : public PlatformTest {
 protected:
  /// Lists the registry's root keys as the front end does.
  static TTavArrayOfString Keys() {
    DWORD count = 0, longest = 0;
    EXPECT_EQ(RegQueryInfoKeyA(HKEY_CLASSES_ROOT, nullptr, nullptr, nullptr, &count, &longest,
                               nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    TTavArrayOfString keys;
    EnumRootKeys(keys, count, longest);
    return keys;
  }

  /// The names of the file types found for `path`.
  static Names Found(const std::string& path) {
    TTavFTypes types;
    const TTavArrayOfString keys = Keys();
    const std::int32_t count = FindFileTypes(UpperCase(path), types, keys);
    EXPECT_EQ(types.size(), keys.size());
    Names names;
    for (std::int32_t i = 0; i < count; ++i) names.push_back(types[i].Name);
    return names;
  }
};

TEST_F(ScanTest, EnumRootKeysKeepsRegistryOrderAndLeavesFailuresEmpty) {
  for (const char* key : {"zeta", ".b", "Alpha", "_x"}) tavplat::AddRegKey(key);
  EXPECT_EQ(Keys(), (Names{".b", "Alpha", "zeta", "_x"}));
  tavplat::InjectedFaults().enumFailIndexes = {1};
  EXPECT_EQ(Keys(), (Names{".b", "", "zeta", "_x"}));
  tavplat::InjectedFaults().enumFailIndexes.clear();
  TTavArrayOfString keys;
  EnumRootKeys(keys, 4, 1);
  EXPECT_EQ(keys, (Names{".b", "Alpha", "zeta", "_x"})) << "names longer than the given length";
}

TEST_F(ScanTest, WhichCommandsMatch) {
  FileType("Quoted", "\"C:\\Program Files\\App\\app.exe\" \"%1\"");
  FileType("Bare", "c:\\program files\\app\\APP.EXE %1");
  FileType("Launcher", "C:\\Run.exe \"C:\\Program Files\\App\\app.exe\" %1");
  FileType("Other", "\"D:\\x.exe\" app.exe");
  FileType(".app", "C:\\Program Files\\App\\app.exe");  // an extension is no file type
  EXPECT_EQ(Found("C:\\Program Files\\Ap"), (Names{"Bare", "Quoted"}))
      << "a leading part of a folder name matches too";
  EXPECT_EQ(Found("app.exe"), (Names{"Bare", "Launcher", "Other", "Quoted"}));
  EXPECT_EQ(Found("\"D"), Names{}) << "the opening quote of a command is never part of a match";
  EXPECT_EQ(Found(""), Names{}) << "an empty path occurs nowhere";
  std::string command, description = "stale", icon = "stale";
  ASSERT_TRUE(MatchFileType("Bare", "APP.EXE", spContains, command, description, icon));
  EXPECT_EQ(description + icon, "") << "absent values are cleared";
}

TEST_F(ScanTest, FindExtensionsFillsOnlyTheLeadingRecords) {
  FileType("App.File", "C:\\App\\app.exe");
  FileType("App.Other", "C:\\App\\app.exe");
  FileType("Foreign", "C:\\Foreign\\f.exe");
  Def(".b", "App.File");
  Def(".a", "App.Other");
  Def(".d", "app.file");  // names no file type: letter case counts
  Def(".e", "Foreign");
  Def("Alias", "App.File");  // no extension
  tavplat::AddRegKey(".f");
  const TTavArrayOfString keys = Keys();
  TTavFTypes types;
  ASSERT_EQ(FindFileTypes(UpperCase("C:\\App"), types, keys), 2);
  TTavTavs exts;
  ASSERT_EQ(FindExtensions(exts, types, 2, keys), 2);
  ASSERT_EQ(exts.size(), keys.size());
  EXPECT_EQ(exts[0].Ext + "=" + types[exts[0].FType].Name, ".a=App.Other");
  EXPECT_EQ(exts[1].Ext + "=" + types[exts[1].FType].Name, ".b=App.File");
  for (std::size_t i = 2; i < exts.size(); ++i) EXPECT_EQ(exts[i].Ext, "") << i;
  for (std::size_t i = 2; i < types.size(); ++i) {
    EXPECT_EQ(types[i].Command + types[i].Description + types[i].Icon, "") << "record " << i;
  }
}

TEST_F(ScanTest, FindFTypeIndexGivesTheFirstOfEqualNames) {
  const TTavFTypes types{
      {"A", "c", "", ""}, {"B", "c", "", ""}, {"A", "c", "", ""}, {"C", "", "", ""}};
  const TFTypeIndex byName = IndexFTypes(types, 3);
  std::int32_t index = -1;
  EXPECT_TRUE(FindFTypeIndex("A", byName, index));
  EXPECT_EQ(index, 0);
  index = 7;
  EXPECT_FALSE(FindFTypeIndex("C", byName, index)) << "records behind the count are not searched";
  EXPECT_FALSE(FindFTypeIndex("a", byName, index));
  EXPECT_EQ(index, 7);
}

}  // namespace
