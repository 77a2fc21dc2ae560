// The worked example (Quarvel.Sheet with .qvl and .qvt) through the whole program in each
// format, and the other programs of the same registry.
#include "E2e.h"

namespace e2e {
namespace {

using WorkedExample = E2eTest;

// The extension of the second parameter chooses the format in any letter case, and an
// existing output file is replaced.
TEST_F(WorkedExample, EachFormat) {
  ASSERT_TRUE(tavtest::WriteFileBytes(PathOf("qv.CMD"), std::string(1000, 'x')));
  ExpectRun({Quarvel});
  ExpectRun({Quarvel, "qv.Reg"});
  ExpectRun({Quarvel, "qv.iNF"});
  EXPECT_EQ(Files(), (std::set<std::string>{"qv.CMD", "qv.Reg", "qv.iNF"}));
  EXPECT_TRUE(SameBytes("qv.CMD", Expected("quarvel.CMD"), Output("qv.CMD")));
  EXPECT_TRUE(SameBytes("qv.Reg", Expected("quarvel.REG"), Output("qv.Reg")));
  EXPECT_TRUE(SameBytes("qv.iNF", Expected("quarvel.INF"), Output("qv.iNF")));
}

// The registry that the README's first command runs on holds the same associations.
TEST_F(WorkedExample, ExampleRegistryGivesTheDocumentedScript) {
  Set("TAVDUMP_REGISTRY", std::string(TAVDUMP_SOURCE_DIR) + "/examples/quarvel.reg");
  ExpectRun({Quarvel});
  EXPECT_TRUE(SameBytes("qv.CMD from examples/", Expected("quarvel.CMD"), Output("qv.CMD")));
}

// A file type that no extension names is still written, with empty description and icon.
// An open command stored as REG_EXPAND_SZ is matched by part of its path and written
// expanded, with the Windows folder again as %systemroot%.
TEST_F(WorkedExample, OtherPrograms) {
  ExpectRun({"C:\\Program Files\\Quarvel\\qview.exe"});
  EXPECT_TRUE(SameBytes("qview.CMD",
                        "ftype Quarvel.Viewer=\"%programfiles%\\Quarvel\\qview.exe\" /v \"%%1\"\r\n"
                        "reg add \"HKCR\\Quarvel.Viewer\" /ve /d \"\" /f\r\n"
                        "reg add \"HKCR\\Quarvel.Viewer\\DefaultIcon\" /ve /d \"\" /f\r\n",
                        Output("qview.CMD")));
  ExpectRun({"notepad"});
  EXPECT_TRUE(SameBytes("notepad.CMD",
                        "assoc .txt=txtfile\r\n"
                        "ftype txtfile=%systemroot%\\system32\\NOTEPAD.EXE %%1\r\n"
                        "reg add \"HKCR\\txtfile\" /ve /d \"Text Document\" /f\r\n"
                        "reg add \"HKCR\\txtfile\\DefaultIcon\" /ve /d "
                        "\"%systemroot%\\system32\\imageres.dll,-102\" /f\r\n",
                        Output("notepad.CMD")));
}

}  // namespace
}  // namespace e2e
