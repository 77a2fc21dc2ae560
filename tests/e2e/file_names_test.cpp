// How the parameters name the output file and choose its format, seen on disk.
#include "E2e.h"

namespace e2e {
namespace {

struct NameCase {
  std::vector<std::string> args;
  std::string folder;  // made before the run when not empty
  std::string file;    // the one file the run must leave, relative to the test's folder
  std::string starts;  // the first bytes of that file
};

const std::string Assoc = "assoc ";
const std::string Ftype = "ftype ";
const std::string RegStart = "REGEDIT4\r\n";
const std::string InfStart("\xFF\xFE[\0v\0", 6);

class FileNames : public E2eTest {
 protected:
  /// Runs each case in the emptied folder and expects exactly its file (and folder).
  void RunCases(const std::vector<NameCase>& cases) {
    for (const NameCase& c : cases) {
      const std::string what = Label(c.args);
      ClearDir();
      std::set<std::string> expected{c.file};
      if (!c.folder.empty()) {
        std::filesystem::create_directory(PathOf(c.folder));
        expected.insert(c.folder);
      }
      ExpectSuccess(Run(c.args), what);
      EXPECT_EQ(Files(), expected) << what;
      EXPECT_TRUE(Output(c.file).starts_with(c.starts))
          << what << ": " << c.file << " starts with " << Visible(Output(c.file).substr(0, 12));
    }
  }
};

TEST_F(FileNames, OneParameterNamesTheScriptAfterTheProgram) {
  UseRegistry("names.reg");
  RunCases({
      {{"C:\\Program Files\\App\\app.exe"}, "", "app.CMD", Assoc + ".app=AppFile"},
      {{"C:\\Tools\\run.cmd"}, "", "run.cmd.CMD", Assoc + ".run=RunFile"},
      {{"D:app.exe"}, "", "app.CMD", Ftype + "DriveApp="},
  });
  UseRegistry("quarvel.reg");
  RunCases({
      {{"notepad"}, "", "notepad.CMD", Assoc + ".txt=txtfile"},
      {{"C:\\Windows\\"}, "", ".CMD", Assoc + ".txt=txtfile"},
      {{"C:\\Program Files\\Quarvel\\"}, "", ".CMD", Assoc + ".qvl=Quarvel.Sheet"},
  });
}

TEST_F(FileNames, SecondParameterKeepsOrReplacesItsExtension) {
  UseRegistry("names.reg");
  const std::string app = Assoc + ".app=AppFile";
  RunCases({
      {{"app.exe", "out"}, "", "out.CMD", app},
      {{"app.exe", "out.txt"}, "", "out.CMD", app},
      {{"app.exe", "out."}, "", "out.CMD", app},
      {{"app.exe", "back.reg.old"}, "", "back.reg.CMD", app},
      {{"app.exe", "out.cmd"}, "", "out.cmd", app},
      {{"app.exe", "Out.Reg"}, "", "Out.Reg", RegStart},
      {{"app.exe", "x.rEG"}, "", "x.rEG", RegStart},
      {{"app.exe", "x.Inf"}, "", "x.Inf", InfStart},
      {{"app.exe", "x.CmD"}, "", "x.CmD", app},
      // Only a to z are folded: an accented letter makes another extension.
      {{"app.exe", "x.R\xC3\x89G"}, "", "x.CMD", app},
  });
}

// A backslash separates folders on disk too; a period in a folder name is no extension,
// while a forward slash is no separator when the extension is sought.
TEST_F(FileNames, FoldersInTheSecondParameter) {
  UseRegistry("names.reg");
  const std::string app = Assoc + ".app=AppFile";
  RunCases({
      {{"app.exe", "dir.d\\x"}, "dir.d", "dir.d/x.CMD", app},
      {{"app.exe", "save\\x.inf"}, "save", "save/x.inf", InfStart},
      {{"app.exe", "save\\x.REG"}, "save", "save/x.REG", RegStart},
      {{"app.exe", "dir.d/x"}, "", "dir.CMD", app},
  });
}

// Double quotes group blanks into one parameter and vanish; quoted and unquoted stretches
// that touch make one parameter.
TEST_F(FileNames, QuotedStretchesJoin) {
  RunCases({
      {{"C:\\\"Program Files\"\\Quarvel\\qv.exe"}, "", "qv.CMD", Assoc + ".qvl="},
      {{"\"C:\\Program Files\\Quarvel\\qv.exe\"", "o\"u\"t.reg"}, "", "out.reg", RegStart},
      {{"C:\\Program Files\\Quarvel\\qv.exe", "my out.inf"}, "", "my out.inf", InfStart},
  });
}

}  // namespace
}  // namespace e2e
