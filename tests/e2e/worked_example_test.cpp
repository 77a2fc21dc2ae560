// The worked example (Quarvel.Sheet with .qvl and .qvt) through the whole program, in
// each format and from each kind of registry export.
#include "E2e.h"

namespace e2e {
namespace {

using WorkedExample = E2eTest;

TEST_F(WorkedExample, CmdScriptIsThe257ByteScript) {
  const auto result = Run({Quarvel});
  ExpectSuccess(result, "qv.exe");
  EXPECT_EQ(Files(), std::set<std::string>{"qv.CMD"});
  const std::string script = Output("qv.CMD");
  EXPECT_TRUE(SameBytes("qv.CMD", Expected("quarvel.CMD"), script));
  EXPECT_EQ(script.size(), 257u);
}

TEST_F(WorkedExample, RegFileHasTwentyLines) {
  ExpectSuccess(Run({Quarvel, "qv.reg"}), "qv.reg");
  const std::string reg = Output("qv.reg");
  EXPECT_TRUE(SameBytes("qv.reg", Expected("quarvel.REG"), reg));
  EXPECT_EQ(std::count(reg.begin(), reg.end(), '\n'), 20);
}

TEST_F(WorkedExample, InfFileIs782BytesOfUtf16) {
  ExpectSuccess(Run({Quarvel, "qv.inf"}), "qv.inf");
  const std::string inf = Output("qv.inf");
  EXPECT_TRUE(SameBytes("qv.inf", Expected("quarvel.INF"), inf));
  EXPECT_EQ(inf.size(), 782u);
  const std::string start(
      "\xFF\xFE\x5B\x00\x76\x00\x65\x00\x72\x00\x73\x00"
      "\x69\x00\x6F\x00\x6E\x00\x5D\x00\x0D\x00\x0A\x00",
      24);
  EXPECT_TRUE(SameBytes("the first 24 bytes of qv.inf", start, inf.substr(0, 24)));
}

// regedit writes version 5.00 exports in UTF-16LE, with its hex values broken over lines;
// the same keys in UTF-8 or in the ANSI REGEDIT4 form must give the same files.
TEST_F(WorkedExample, EveryExportEncodingGivesTheSameFiles) {
  for (const char* registry : {"quarvel-utf16.reg", "quarvel-utf8.reg"}) {
    UseRegistry(registry);
    for (const char* out : {"qv.cmd", "qv.reg", "qv.inf"}) {
      ExpectSuccess(Run({Quarvel, out}), std::string(registry) + " " + out);
    }
    EXPECT_TRUE(
        SameBytes(std::string(registry) + " CMD", Expected("quarvel.CMD"), Output("qv.cmd")));
    EXPECT_TRUE(
        SameBytes(std::string(registry) + " REG", Expected("quarvel.REG"), Output("qv.reg")));
    EXPECT_TRUE(
        SameBytes(std::string(registry) + " INF", Expected("quarvel.INF"), Output("qv.inf")));
  }
}

// The registry that the README's first command runs on holds the same associations.
TEST_F(WorkedExample, ExampleRegistryGivesTheDocumentedScript) {
  tavtest::SetEnv(Env, "TAVDUMP_REGISTRY",
                  std::string(TAVDUMP_SOURCE_DIR) + "/examples/quarvel.reg");
  ExpectSuccess(Run({Quarvel}), "examples/quarvel.reg");
  EXPECT_TRUE(SameBytes("qv.CMD from examples/", Expected("quarvel.CMD"), Output("qv.CMD")));
}

// A file type that no extension names is still written, with empty description and icon.
TEST_F(WorkedExample, FileTypeWithoutExtensionsInEveryFormat) {
  const std::string viewer = "C:\\Program Files\\Quarvel\\qview.exe";
  ExpectSuccess(Run({viewer}), "qview CMD");
  ExpectSuccess(Run({viewer, "v.reg"}), "qview REG");
  ExpectSuccess(Run({viewer, "v.inf"}), "qview INF");
  EXPECT_TRUE(SameBytes("qview.CMD",
                        "ftype Quarvel.Viewer=\"%programfiles%\\Quarvel\\qview.exe\" /v \"%%1\"\r\n"
                        "reg add \"HKCR\\Quarvel.Viewer\" /ve /d \"\" /f\r\n"
                        "reg add \"HKCR\\Quarvel.Viewer\\DefaultIcon\" /ve /d \"\" /f\r\n",
                        Output("qview.CMD")));
  EXPECT_TRUE(
      SameBytes("v.reg",
                "REGEDIT4\r\n\r\n"
                "[HKEY_CLASSES_ROOT\\Quarvel.Viewer]\r\n@=\"\"\r\n\r\n"
                "[HKEY_CLASSES_ROOT\\Quarvel.Viewer\\DefaultIcon]\r\n@=\"\"\r\n\r\n"
                "[HKEY_CLASSES_ROOT\\Quarvel.Viewer\\shell]\r\n\r\n"
                "[HKEY_CLASSES_ROOT\\Quarvel.Viewer\\shell\\open]\r\n\r\n"
                "[HKEY_CLASSES_ROOT\\Quarvel.Viewer\\shell\\open\\command]\r\n"
                "@=\"\\\"C:\\\\Program Files\\\\Quarvel\\\\qview.exe\\\" /v \\\"%1\\\"\"\r\n",
                Output("v.reg")));
  EXPECT_TRUE(SameBytes(
      "v.inf",
      InfHeader + Wide("HKCR,\"Quarvel.Viewer\",,,\"\"\r\n"
                       "HKCR,\"Quarvel.Viewer\\shell\\open\\command\",,,"
                       "\"\"\"%24%\\Program Files\\Quarvel\\qview.exe\"\" /v \"\"%%1\"\"\"\r\n"
                       "HKCR,\"Quarvel.Viewer\\DefaultIcon\",,,\"\"\r\n"),
      Output("v.inf")));
}

// An open command stored as REG_EXPAND_SZ is matched and written expanded, and the
// Windows folder in it becomes %systemroot% again.
TEST_F(WorkedExample, ExpandableCommandFoundByPartOfItsPath) {
  ExpectSuccess(Run({"notepad"}), "notepad");
  EXPECT_TRUE(SameBytes("notepad.CMD",
                        "assoc .txt=txtfile\r\n"
                        "ftype txtfile=%systemroot%\\system32\\NOTEPAD.EXE %%1\r\n"
                        "reg add \"HKCR\\txtfile\" /ve /d \"Text Document\" /f\r\n"
                        "reg add \"HKCR\\txtfile\\DefaultIcon\" /ve /d "
                        "\"%systemroot%\\system32\\imageres.dll,-102\" /f\r\n",
                        Output("notepad.CMD")));
}

// The folders come from the environment under any spelling of their names, and a
// machine with other folders gets its own variables substituted.
TEST_F(WorkedExample, FolderVariablesFollowTheEnvironment) {
  tavtest::UnsetEnv(Env, "ProgramFiles");
  tavtest::UnsetEnv(Env, "SystemRoot");
  tavtest::UnsetEnv(Env, "SystemDrive");
  SetVar("PROGRAMFILES", "C:\\Program Files");
  SetVar("systemroot", "C:\\WINDOWS");
  SetVar("SystemDrive", "C:");
  ExpectSuccess(Run({Quarvel}), "other spellings");
  EXPECT_TRUE(SameBytes("qv.CMD, other spellings", Expected("quarvel.CMD"), Output("qv.CMD")));

  SetVar("PROGRAMFILES", "D:\\Programs");
  SetVar("systemroot", "D:\\Win");
  SetVar("SystemDrive", "D:");
  ExpectSuccess(Run({Quarvel, "d.cmd"}), "other folders");
  EXPECT_TRUE(SameBytes("d.cmd",
                        "assoc .qvl=Quarvel.Sheet\r\n"
                        "assoc .qvt=Quarvel.Sheet\r\n"
                        "ftype Quarvel.Sheet=\"C:\\Program Files\\Quarvel\\qv.exe\" \"%%1\"\r\n"
                        "reg add \"HKCR\\Quarvel.Sheet\" /ve /d \"Quarvel sheet\" /f\r\n"
                        "reg add \"HKCR\\Quarvel.Sheet\\DefaultIcon\" /ve /d "
                        "\"%systemroot%\\system32\\shell32.dll,3\" /f\r\n",
                        Output("d.cmd")));
}

}  // namespace
}  // namespace e2e
