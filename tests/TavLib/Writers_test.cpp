// The three writers on the worked example and on values that need escaping.
#include "CmdWriter.h"
#include "InfWriter.h"
#include "PathVars.h"
#include "RegWriter.h"

#include "Fixture.h"

namespace {

class WritersTest : public PlatformTest {
 protected:
  TTavFTypes types{{"Quarvel.Sheet", "\"C:\\Program Files\\Quarvel\\qv.exe\" \"%1\"",
                    "Quarvel sheet", "C:\\Windows\\system32\\shell32.dll,3"}};
  TTavTavs exts{{".qvl", 0}, {".qvt", 0}};

  std::string Cmd(bool programFiles = true, bool systemRoot = true, bool systemDrive = true) {
    const std::string path = TempPath("out.cmd");
    SaveToCmd(path, exts, static_cast<std::int32_t>(exts.size()), types,
              static_cast<std::int32_t>(types.size()), programFiles, systemRoot, systemDrive);
    return ReadFile(path);
  }
  std::string Reg() {
    const std::string path = TempPath("out.reg");
    SaveToReg(path, exts, static_cast<std::int32_t>(exts.size()), types,
              static_cast<std::int32_t>(types.size()));
    return ReadFile(path);
  }
  std::string Inf(bool systemRoot = true, bool systemDrive = true) {
    const std::string path = TempPath("out.inf");
    SaveToInf(path, exts, static_cast<std::int32_t>(exts.size()), types,
              static_cast<std::int32_t>(types.size()), systemRoot, systemDrive);
    return ReadFile(path);
  }
};

/// The UTF-16LE bytes of ASCII `text`.
std::string Wide(const std::string& text) {
  std::string bytes;
  for (char c : text) {
    bytes += c;
    bytes += '\0';
  }
  return bytes;
}

const std::string InfHeader =
    "\xFF\xFE" + Wide("[version]\r\nsignature=\"$CHICAGO$\"\r\n"
                      "ClassGUID={00000000-0000-0000-0000-000000000000}\r\n\r\n"
                      "[DefaultInstall]\r\nAddReg=TavReg\r\n\r\n[TavReg]\r\n");

TEST_F(WritersTest, CmdWorkedExample) {
  const std::string expected =
      "assoc .qvl=Quarvel.Sheet\r\n"
      "assoc .qvt=Quarvel.Sheet\r\n"
      "ftype Quarvel.Sheet=\"%programfiles%\\Quarvel\\qv.exe\" \"%%1\"\r\n"
      "reg add \"HKCR\\Quarvel.Sheet\" /ve /d \"Quarvel sheet\" /f\r\n"
      "reg add \"HKCR\\Quarvel.Sheet\\DefaultIcon\" /ve /d "
      "\"%systemroot%\\system32\\shell32.dll,3\" /f\r\n";
  EXPECT_EQ(Cmd(), expected);
  EXPECT_EQ(expected.size(), 257u);
  EXPECT_EQ(tavplat::PlatformTrace().fileWrites, (std::vector<DWORD>{128, 128, 1}));
}

TEST_F(WritersTest, CmdWithoutSubstitutionOrExtensions) {
  exts.clear();
  types.push_back({"Quarvel.Blank", "C:\\Tools\\q.exe", "", ""});
  EXPECT_EQ(Cmd(false, false, false),
            "ftype Quarvel.Sheet=\"C:\\Program Files\\Quarvel\\qv.exe\" \"%%1\"\r\n"
            "reg add \"HKCR\\Quarvel.Sheet\" /ve /d \"Quarvel sheet\" /f\r\n"
            "reg add \"HKCR\\Quarvel.Sheet\\DefaultIcon\" /ve /d "
            "\"C:\\Windows\\system32\\shell32.dll,3\" /f\r\n"
            "ftype Quarvel.Blank=C:\\Tools\\q.exe\r\n"
            "reg add \"HKCR\\Quarvel.Blank\" /ve /d \"\" /f\r\n"
            "reg add \"HKCR\\Quarvel.Blank\\DefaultIcon\" /ve /d \"\" /f\r\n");
}

TEST_F(WritersTest, CmdEscapesWhatCmdAndRegWouldOtherwiseChange) {
  // Quotes decide what cmd sees outside quotes: `"Say \"hi\" & go"` keeps & inside.
  types = {{"50%.Type", "\"C:\\A&B\\a.exe\" \"%1\" | more", "Tom \"T & J <^>",
            "C:\\Icons\\"},
           {"Pair", "p.exe", "Say \"hi\" & go", ""}};
  exts = {{".x%y", 0}};
  EXPECT_EQ(Cmd(),
            "assoc .x%%y=50%%.Type\r\n"
            "ftype 50%%.Type=\"%systemdrive%\\A&B\\a.exe\" \"%%1\" ^| more\r\n"
            "reg add \"HKCR\\50%%.Type\" /ve /d \"Tom \\\"T ^& J ^<^^^>\" /f\r\n"
            "reg add \"HKCR\\50%%.Type\\DefaultIcon\" /ve /d \"%systemdrive%\\Icons\\\\\" /f\r\n"
            "ftype Pair=p.exe\r\n"
            "reg add \"HKCR\\Pair\" /ve /d \"Say \\\"hi\\\" & go\" /f\r\n"
            "reg add \"HKCR\\Pair\\DefaultIcon\" /ve /d \"\" /f\r\n");
}

TEST_F(WritersTest, CmdConvertsToTheOemCodePage) {
  setenv("TAVDUMP_OEMCP", "850", 1);
  tavplat::ResetCodePages();
  exts.clear();
  types = {{"T", "x.exe", "caf\xE9 \xFC", ""}};
  EXPECT_EQ(Cmd(), "ftype T=x.exe\r\nreg add \"HKCR\\T\" /ve /d \"caf\x82 \x81\" /f\r\n"
                   "reg add \"HKCR\\T\\DefaultIcon\" /ve /d \"\" /f\r\n");
}

TEST_F(WritersTest, CmdEscapesWhatTheOemConversionTurnsIntoSpecialCharacters) {
  // In 437 the curly quotes of 1252 become plain quotes and per mille a percent sign:
  // cmd and reg.exe read the converted text, so that is what gets escaped.
  exts.clear();
  types = {{"T", "x.exe \x89" "1 %1", "\x93" "a & b\x94", ""}};
  EXPECT_EQ(Cmd(), "ftype T=x.exe %%1 %%1\r\n"
                   "reg add \"HKCR\\T\" /ve /d \"\\\"a ^& b\\\"\" /f\r\n"
                   "reg add \"HKCR\\T\\DefaultIcon\" /ve /d \"\" /f\r\n");
}

TEST_F(WritersTest, QuoteRegArgDoublesBackslashesOnlyBeforeQuotes) {
  EXPECT_EQ(QuoteRegArg("a\\b"), "a\\b");
  EXPECT_EQ(QuoteRegArg("a\\\"b"), "a\\\\\\\"b");
  EXPECT_EQ(QuoteRegArg("end\\\\"), "end\\\\\\\\");
  EXPECT_EQ(QuoteRegArg("\"q\""), "\\\"q\\\"");
}

TEST_F(WritersTest, EscapingStepsOverDoubleByteCharacters) {
  setenv("TAVDUMP_ACP", "932", 1);
  tavplat::ResetCodePages();
  // 0x95 0x5C and 0x83 0x7C are single characters whose trail bytes look like \ and |.
  EXPECT_EQ(QuoteRegArg("\x95\x5C\""), "\x95\x5C\\\"");
  EXPECT_EQ(QuoteRegArg("\x95\x5C"), "\x95\x5C");
  EXPECT_EQ(EscapeCmdLine("a \x83\x7C | b"), "a \x83\x7C ^| b");
}

TEST_F(WritersTest, RegWorkedExample) {
  EXPECT_EQ(Reg(),
            "REGEDIT4\r\n\r\n"
            "[HKEY_CLASSES_ROOT\\.qvl]\r\n@=\"Quarvel.Sheet\"\r\n\r\n"
            "[HKEY_CLASSES_ROOT\\.qvt]\r\n@=\"Quarvel.Sheet\"\r\n\r\n"
            "[HKEY_CLASSES_ROOT\\Quarvel.Sheet]\r\n@=\"Quarvel sheet\"\r\n\r\n"
            "[HKEY_CLASSES_ROOT\\Quarvel.Sheet\\DefaultIcon]\r\n"
            "@=\"C:\\\\Windows\\\\system32\\\\shell32.dll,3\"\r\n\r\n"
            "[HKEY_CLASSES_ROOT\\Quarvel.Sheet\\shell]\r\n\r\n"
            "[HKEY_CLASSES_ROOT\\Quarvel.Sheet\\shell\\open]\r\n\r\n"
            "[HKEY_CLASSES_ROOT\\Quarvel.Sheet\\shell\\open\\command]\r\n"
            "@=\"\\\"C:\\\\Program Files\\\\Quarvel\\\\qv.exe\\\" \\\"%1\\\"\"\r\n");
}

TEST_F(WritersTest, RegEscapesValuesButNotKeyNames) {
  types = {{"A\"B", "x \xE9", "", ""}};
  exts = {{".a", 0}};
  const std::string reg = Reg();
  EXPECT_NE(reg.find("[HKEY_CLASSES_ROOT\\.a]\r\n@=\"A\\\"B\"\r\n"), std::string::npos) << reg;
  EXPECT_NE(reg.find("[HKEY_CLASSES_ROOT\\A\"B]\r\n@=\"\"\r\n"), std::string::npos) << reg;
  EXPECT_NE(reg.find("@=\"x \xE9\"\r\n"), std::string::npos) << "ANSI bytes stay as they are";

  exts.clear();
  types.clear();
  EXPECT_EQ(Reg(), "REGEDIT4\r\n");
}

TEST_F(WritersTest, InfWorkedExample) {
  const std::string inf = Inf();
  EXPECT_EQ(inf, InfHeader + Wide("HKCR,\".qvl\",,,\"Quarvel.Sheet\"\r\n"
                                  "HKCR,\".qvt\",,,\"Quarvel.Sheet\"\r\n"
                                  "HKCR,\"Quarvel.Sheet\",,,\"Quarvel sheet\"\r\n"
                                  "HKCR,\"Quarvel.Sheet\\shell\\open\\command\",,,"
                                  "\"\"\"%24%\\Program Files\\Quarvel\\qv.exe\"\" \"\"%%1\"\"\"\r\n"
                                  "HKCR,\"Quarvel.Sheet\\DefaultIcon\",,,"
                                  "\"%10%\\system32\\shell32.dll,3\"\r\n"));
  EXPECT_EQ(inf.size(), 782u);
}

TEST_F(WritersTest, InfEscapesNamesAndConvertsFromTheAnsiPage) {
  types = {{"50%\"T", "C:\\Windows\\x.exe", "d\xE9", ""}};
  exts = {{".%", 0}};
  EXPECT_EQ(Inf(false, true),
            InfHeader + Wide("HKCR,\".%%\",,,\"50%%\"\"T\"\r\n"
                             "HKCR,\"50%%\"\"T\",,,\"d") + std::string("\xE9\0", 2) +
                Wide("\"\r\nHKCR,\"50%%\"\"T\\shell\\open\\command\",,,\"%24%\\Windows\\x.exe\"\r\n"
                     "HKCR,\"50%%\"\"T\\DefaultIcon\",,,\"\"\r\n"));
  exts.clear();
  types.clear();
  EXPECT_EQ(Inf(), InfHeader);
  EXPECT_EQ(InfHeader.size(), 264u);
}

TEST_F(WritersTest, SubstPathVarsTriesEntriesInOrderAtEveryPosition) {
  PathVarTable expanded;
  ExpandPathVars(expanded);
  EXPECT_EQ(expanded, (PathVarTable{"C:\\PROGRAM FILES", "C:\\WINDOWS", "C:"}));
  struct Case {
    const char* text;
    const char* cmd;
    const char* inf;
  };
  for (const Case& c : std::vector<Case>{
           {"C:\\Program Files\\Example\\example.exe", "%programfiles%\\Example\\example.exe",
            "%24%\\Program Files\\Example\\example.exe"},
           {"c:\\windows\\system32\\shell32.dll,-152", "%systemroot%\\system32\\shell32.dll,-152",
            "%10%\\system32\\shell32.dll,-152"},
           {"D:\\Tools\\view.exe -in=c:\\data", "D:\\Tools\\view.exe -in=%systemdrive%\\data",
            "D:\\Tools\\view.exe -in=%24%\\data"},
           {"C:\\WINDOWSX\\a.exe", "%systemroot%X\\a.exe", "%10%X\\a.exe"},
           {"D:\\Apps\\a.exe", "D:\\Apps\\a.exe", "D:\\Apps\\a.exe"},
           {"X", "X", "X"},
           {"", "", ""}}) {
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
