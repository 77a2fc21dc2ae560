// The prefix pass and the contains pass over scan.reg, seen in the scripts they produce.
#include "E2e.h"

namespace e2e {
namespace {

class Scan : public E2eTest {
 protected:
  void SetUp() override {
    E2eTest::SetUp();
    UseRegistry("scan.reg");
    // Zed.Exp's command is stored as "%ZEDHOME%\zed.exe" /x "%1".
    SetVar("ZEDHOME", "C:\\Apps\\Zed");
  }
};

// The three lines of one file type without icon, and with the description given.
std::string TypeLines(const std::string& name, const std::string& command,
                      const std::string& description = "", const std::string& icon = "") {
  return "ftype " + name + "=" + command + "\r\n" + "reg add \"HKCR\\" + name + "\" /ve /d \"" +
         description + "\" /f\r\n" + "reg add \"HKCR\\" + name + "\\DefaultIcon\" /ve /d \"" +
         icon + "\" /f\r\n";
}

const std::string ZedDoc = TypeLines("Zed.Doc", "\"%systemdrive%\\Apps\\Zed\\zed.exe\" \"%%1\"",
                                     "Zed document", "%systemdrive%\\Apps\\Zed\\zed.exe,1");
const std::string ZedExp = TypeLines("Zed.Exp", "\"%systemdrive%\\Apps\\Zed\\zed.exe\" /x \"%%1\"");
const std::string ZedLaunch = TypeLines(
    "Zed.Launch", "%systemdrive%\\Launcher\\run.exe \"%systemdrive%\\Apps\\Zed\\zed.exe\" %%1",
    "Zed via launcher");
const std::string ZedPlain =
    TypeLines("zed.plain", "%systemdrive%\\apps\\zed\\ZED.EXE %%1", "Plain zed");
const std::string Zeta = TypeLines("Zeta.File", "%systemdrive%\\Apps\\Zeta\\zeta.exe \"%%1\"");

// Quoted and unquoted commands that start with the path match in either letter case, an
// expandable one through its expanded text; the launcher that only contains the path is
// left out because something matched by prefix. .zd2 names "zed.doc", which differs from
// Zed.Doc in letter case only, and is not collected.
TEST_F(Scan, PrefixPassWinsWhenAnyKeyStartsWithThePath) {
  const std::string expected =
      "assoc .zdp=zed.plain\r\n"
      "assoc .zed=Zed.Doc\r\n"
      "assoc .zedx=Zed.Doc\r\n" +
      ZedDoc + ZedExp + ZedPlain;
  ExpectSuccess(Run({"C:\\Apps\\Zed\\zed.exe", "a.cmd"}), "exact path");
  EXPECT_TRUE(SameBytes("a.cmd", expected, Output("a.cmd")));
  ExpectSuccess(Run({"c:\\APPS\\zed\\ZED.exe", "b.cmd"}), "path in other letter case");
  EXPECT_TRUE(SameBytes("b.cmd", expected, Output("b.cmd")));
}

// A path that is the leading part of longer folder names matches under each of them, and
// the key .zedcmd, whose command also starts with it, is no file type.
TEST_F(Scan, LeadingPartOfAFolderNameMatchesEveryFolderBelow) {
  ExpectSuccess(Run({"C:\\Apps\\Ze"}), "C:\\Apps\\Ze");
  EXPECT_TRUE(SameBytes("Ze.CMD",
                        "assoc .zdp=zed.plain\r\n"
                        "assoc .zed=Zed.Doc\r\n"
                        "assoc .zedx=Zed.Doc\r\n"
                        "assoc .zt=Zeta.File\r\n" +
                            ZedDoc + ZedExp + ZedPlain + Zeta,
                        Output("Ze.CMD")));
}

TEST_F(Scan, ContainsPassRunsOnlyWhenNoPrefixMatches) {
  ExpectSuccess(Run({"Launcher\\run.exe"}), "launcher");
  EXPECT_TRUE(SameBytes("run.CMD", "assoc .zlx=Zed.Launch\r\n" + ZedLaunch, Output("run.CMD")));

  // Every command holds Zed\zed.exe, none starts with it: all of them, in key order,
  // quoted commands included.
  ExpectSuccess(Run({"zed\\ZED.EXE", "all.cmd"}), "contained everywhere");
  EXPECT_TRUE(SameBytes("all.cmd",
                        "assoc .zdp=zed.plain\r\n"
                        "assoc .zed=Zed.Doc\r\n"
                        "assoc .zedx=Zed.Doc\r\n"
                        "assoc .zlx=Zed.Launch\r\n" +
                            ZedDoc + ZedExp + ZedLaunch + ZedPlain,
                        Output("all.cmd")));
}

// Without the variable the expandable command keeps its reference and no longer starts
// with the path; the contains pass does not run because other keys matched.
TEST_F(Scan, ExpandableCommandMatchesOnlyItsExpandedText) {
  tavtest::UnsetEnv(Env, "ZEDHOME");
  ExpectSuccess(Run({"C:\\Apps\\Zed\\zed.exe", "a.cmd"}), "without ZEDHOME");
  EXPECT_TRUE(SameBytes("a.cmd",
                        "assoc .zdp=zed.plain\r\n"
                        "assoc .zed=Zed.Doc\r\n"
                        "assoc .zedx=Zed.Doc\r\n" +
                            ZedDoc + ZedPlain,
                        Output("a.cmd")));
  ExpectSuccess(Run({"%ZEDHOME%", "ref.reg"}), "the reference itself");
  EXPECT_TRUE(SameBytes("ref.reg",
                        "REGEDIT4\r\n\r\n"
                        "[HKEY_CLASSES_ROOT\\Zed.Exp]\r\n@=\"\"\r\n\r\n"
                        "[HKEY_CLASSES_ROOT\\Zed.Exp\\DefaultIcon]\r\n@=\"\"\r\n\r\n"
                        "[HKEY_CLASSES_ROOT\\Zed.Exp\\shell]\r\n\r\n"
                        "[HKEY_CLASSES_ROOT\\Zed.Exp\\shell\\open]\r\n\r\n"
                        "[HKEY_CLASSES_ROOT\\Zed.Exp\\shell\\open\\command]\r\n"
                        "@=\"\\\"%ZEDHOME%\\\\zed.exe\\\" /x \\\"%1\\\"\"\r\n",
                        Output("ref.reg")));
}

}  // namespace
}  // namespace e2e
