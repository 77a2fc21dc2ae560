// What the end-to-end files cannot show: the folder switches turned off, key names that
// need escaping in REG, and characters that only the OEM conversion makes special.
#include "CmdWriter.h"
#include "InfWriter.h"
#include "PathVars.h"
#include "RegWriter.h"

#include "Fixture.h"

namespace {

class WritersTest : public PlatformTest {
 protected:
  TTavFTypes types{{"Q", "\"C:\\Program Files\\Q\\q.exe\" \"%1\"", "", "C:\\Windows\\q.dll,3"}};
  TTavTavs exts;

  std::string Cmd(bool programFiles, bool systemRoot, bool systemDrive) {
    SaveToCmd(TempPath("out.cmd"), exts, static_cast<std::int32_t>(exts.size()), types,
              static_cast<std::int32_t>(types.size()), programFiles, systemRoot, systemDrive);
    return ReadFile(TempPath("out.cmd"));
  }
};

// The UTF-16LE bytes of ASCII `text`.
std::string Wide(const std::string& text) {
  std::string bytes;
  for (char c : text) bytes += {c, '\0'};
  return bytes;
}

TEST_F(WritersTest, EachFolderSwitchTurnsOnlyItsOwnFolderOff) {
  const std::string middle = "\"%%1\"\r\nreg add \"HKCR\\Q\" /ve /d \"\" /f\r\n"
                             "reg add \"HKCR\\Q\\DefaultIcon\" /ve /d ";
  EXPECT_EQ(Cmd(false, true, true), "ftype Q=\"%systemdrive%\\Program Files\\Q\\q.exe\" " + middle +
                                        "\"%systemroot%\\q.dll,3\" /f\r\n");
  EXPECT_EQ(Cmd(true, false, true), "ftype Q=\"%programfiles%\\Q\\q.exe\" " + middle +
                                        "\"%systemdrive%\\Windows\\q.dll,3\" /f\r\n");
  // The INF file has no token for the program-files folder; here the Windows folder is off.
  const std::string path = TempPath("out.inf");
  SaveToInf(path, exts, 0, types, 1, false, true);
  const std::string inf = ReadFile(path);
  const std::string lines = Wide(
      "HKCR,\"Q\\shell\\open\\command\",,,\"\"\"%24%\\Program Files\\Q\\q.exe\"\" \"\"%%1\"\"\"\r\n"
      "HKCR,\"Q\\DefaultIcon\",,,\"%24%\\Windows\\q.dll,3\"\r\n");
  EXPECT_EQ(inf.substr(inf.size() - std::min(inf.size(), lines.size())), lines) << "INF";
}

TEST_F(WritersTest, CmdEscapesWhatTheOemConversionTurnsIntoSpecialCharacters) {
  // In 437 the curly quotes of 1252 become plain quotes and per mille a percent sign:
  // cmd and reg.exe read the converted text, so that is what gets escaped.
  types = {{"T", "x.exe \x89" "1 %1", "\x93" "a & b\x94", ""}};
  EXPECT_EQ(Cmd(true, true, true), "ftype T=x.exe %%1 %%1\r\n"
                                   "reg add \"HKCR\\T\" /ve /d \"\\\"a ^& b\\\"\" /f\r\n"
                                   "reg add \"HKCR\\T\\DefaultIcon\" /ve /d \"\" /f\r\n");
}

TEST_F(WritersTest, RegEscapesValuesButNotKeyNames) {
  types = {{"A\"B", "x", "", ""}};
  exts = {{".a", 0}};
  const std::string path = TempPath("out.reg");
  SaveToReg(path, exts, 1, types, 1);
  const std::string head = "REGEDIT4\r\n\r\n[HKEY_CLASSES_ROOT\\.a]\r\n@=\"A\\\"B\"\r\n\r\n"
                           "[HKEY_CLASSES_ROOT\\A\"B]\r\n@=\"\"\r\n";
  EXPECT_EQ(ReadFile(path).substr(0, head.size()), head);
}

TEST_F(WritersTest, SubstPathVarsTriesEntriesInOrderAtEveryPosition) {
  PathVarTable expanded;
  ExpandPathVars(expanded);
  EXPECT_EQ(expanded, (PathVarTable{"C:\\PROGRAM FILES", "C:\\WINDOWS", "C:"}));
  const struct {
    const char* text;
    const char* cmd;
    const char* inf;
  } cases[] = {
      {"C:\\Program Files\\Example\\example.exe", "%programfiles%\\Example\\example.exe",
       "%24%\\Program Files\\Example\\example.exe"},
      {"c:\\windows\\system32\\shell32.dll,-152", "%systemroot%\\system32\\shell32.dll,-152",
       "%10%\\system32\\shell32.dll,-152"},
      {"D:\\Tools\\view.exe -in=c:\\data", "D:\\Tools\\view.exe -in=%systemdrive%\\data",
       "D:\\Tools\\view.exe -in=%24%\\data"},
      {"C:\\WINDOWSX\\a.exe", "%systemroot%X\\a.exe", "%10%X\\a.exe"},
      {"X", "X", "X"},
      {"", "", ""}};
  for (const auto& c : cases) {
    std::string result;
    SubstPathVars(c.text, true, true, true, PathVarNames, expanded, result);
    EXPECT_EQ(result, c.cmd) << c.text;
    SubstPathVars(c.text, false, true, true, InfDirIds, expanded, result);
    EXPECT_EQ(result, c.inf) << c.text;
  }
}

TEST_F(WritersTest, EmptyOrUndefinedFoldersMatchNothingButTheirReference) {
  setenv("SystemDrive", "", 1);
  unsetenv("ProgramFiles");
  PathVarTable expanded;
  ExpandPathVars(expanded);
  std::string result;
  SubstPathVars("C:\\Tools\\view.exe %ProgramFiles%\\x", true, true, true, PathVarNames, expanded,
                result);
  EXPECT_EQ(result, "C:\\Tools\\view.exe %programfiles%\\x");
}

}  // namespace
