// How the parameters name the output file and choose its format, seen on disk.
#include "E2e.h"

namespace e2e {
namespace {

using FileNames = E2eTest;

// A backslash separates folders on disk too, and a period in a folder name is no
// extension, while a forward slash is no separator when the extension is sought. A
// character that becomes a double quote in the ANSI page (U+FF02) is a quote that
// vanishes, and a parameter with a blank stays one.
TEST_F(FileNames, OutputNameAndFormatOnDisk) {
  const std::string cmd = "assoc .qvl=", reg = "REGEDIT4\r\n", inf("\xFF\xFE[\0v\0", 6);
  const struct {
    std::vector<std::string> args;
    std::string folder;  // made before the run when not empty
    std::string file;    // the one file the run must leave, relative to the test's folder
    std::string starts;  // the first bytes of that file
  } cases[] = {
      {{"Quarvel\\"}, "", ".CMD", cmd},
      {{Quarvel, "out.txt"}, "", "out.CMD", cmd},
      {{Quarvel, "dir.d\\x"}, "dir.d", "dir.d/x.CMD", cmd},
      {{Quarvel, "save\\x.REG"}, "save", "save/x.REG", reg},
      {{Quarvel, "dir.d/x"}, "", "dir.CMD", cmd},
      {{Quarvel, "o\xEF\xBC\x82u\xEF\xBC\x82t.reg"}, "", "out.reg", reg},
      {{Quarvel, "my out.inf"}, "", "my out.inf", inf},
  };
  for (const auto& c : cases) {
    tavtest::RemoveTree(Dir.Path);
    std::filesystem::create_directories(Dir.Path + "/" + c.folder);
    ExpectRun(c.args);
    std::set<std::string> expected{c.file};
    if (!c.folder.empty()) expected.insert(c.folder);
    EXPECT_EQ(Files(), expected) << c.file;
    EXPECT_TRUE(Output(c.file).starts_with(c.starts))
        << c.file << " starts with " << tavtest::Visible(Output(c.file).substr(0, 12));
  }
}

}  // namespace
}  // namespace e2e
