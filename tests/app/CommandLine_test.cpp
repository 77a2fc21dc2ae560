#include "CommandLine.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "codepage.h"

namespace {

using Params = std::vector<std::string>;

class CommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override { UseCodePage(nullptr); }
  void TearDown() override { UseCodePage(nullptr); }
  static void UseCodePage(const char* acp) {
    if (acp)
      setenv("TAVDUMP_ACP", acp, 1);
    else
      unsetenv("TAVDUMP_ACP");
    tavplat::ResetCodePages();
  }
};

TEST_F(CommandLineTest, SplitDropsQuotesAndJoinsTouchingStretches) {
  EXPECT_EQ(SplitParameters("t \"C:\\Program Files\\App\\app.exe\" out"),
            (Params{"t", "C:\\Program Files\\App\\app.exe", "out"}));
  EXPECT_EQ(SplitParameters("t C:\\\"Program Files\"\\App\\app.exe"),
            (Params{"t", "C:\\Program Files\\App\\app.exe"}));
  EXPECT_EQ(SplitParameters("t\t\x01 a  b\t"), (Params{"t", "a", "b"}));
  EXPECT_EQ(SplitParameters("t \"\""), Params{"t"}) << "a pair of quotes alone is no parameter";
  EXPECT_EQ(SplitParameters("t \"\" a"), (Params{"t", "a"}));
  EXPECT_EQ(SplitParameters("t a \""), (Params{"t", "a"})) << "a lone quote at the end is empty";
  EXPECT_EQ(SplitParameters("t \"a\"\"b\""), (Params{"t", "ab"}));
  EXPECT_EQ(SplitParameters("t \"unclosed stretch"), (Params{"t", "unclosed stretch"}));
  EXPECT_EQ(SplitParameters(""), Params{});
}

TEST_F(CommandLineTest, SplitStepsOverDoubleByteCharacters) {
  UseCodePage("932");
  // 0x81 0x40 is the ideographic space and 0x81 0x22 a character whose trail byte is
  // a double quote in single-byte text: neither separates or quotes.
  EXPECT_EQ(SplitParameters("t a\x81\x40" "b c\x81\x22" "d e"),
            (Params{"t", "a\x81\x40" "b", "c\x81\x22" "d", "e"}));
}

TEST_F(CommandLineTest, FileNamePartsFollowBackslashesColonsAndPeriods) {
  EXPECT_EQ(ExtractExt("dir.d\\x"), "");
  EXPECT_EQ(ExtractExt("a.b.c"), ".c");
  EXPECT_EQ(ExtractExt("out."), ".");
  EXPECT_EQ(ExtractExt("D:x"), "");
  EXPECT_EQ(ExtractExt("x.d/y"), ".d/y") << "a forward slash is no separator";
  EXPECT_EQ(FileNamePart("D:app.exe"), "app.exe");
  EXPECT_EQ(FileNamePart("C:\\Windows\\"), "");
  EXPECT_EQ(FileNamePart("a/b"), "a/b");
  EXPECT_EQ(UpperAscii("out.r\xE9g"), "OUT.R\xE9G");
}

TEST_F(CommandLineTest, TrailBytesAreNeitherPeriodsNorSeparators) {
  UseCodePage("932");
  // 0x95 0x5C ends in the byte of a backslash; 0x81 0x2E does not exist, so use a
  // name whose only backslash-looking byte is a trail byte.
  EXPECT_EQ(FileNamePart("C:\\J\\\x95\x5C.exe"), "\x95\x5C.exe");
  EXPECT_EQ(ExtractExt("\x95\x5C" "x"), "");
}

TEST_F(CommandLineTest, OutputNameAndFormat) {
  struct Case {
    const char* path;
    const char* output;
    const char* fileName;
    TOutFormat format;
  };
  for (const Case& c : std::vector<Case>{
           {"C:\\Program Files\\App\\app.exe", "", "app.CMD", ofCmd},
           {"notepad", "", "notepad.CMD", ofCmd},
           {"C:\\Tools\\run.cmd", "", "run.cmd.CMD", ofCmd},
           {"C:\\Tools\\run.Cmd", "", "run.Cmd.CMD", ofCmd},
           {"D:app.exe", "", "app.CMD", ofCmd},
           {"C:\\Windows\\", "", ".CMD", ofCmd},
           {"app.exe", "out", "out.CMD", ofCmd},
           {"app.exe", "out.txt", "out.CMD", ofCmd},
           {"app.exe", "out.", "out.CMD", ofCmd},
           {"app.exe", "back.reg.old", "back.reg.CMD", ofCmd},
           {"app.exe", "dir.d\\x", "dir.d\\x.CMD", ofCmd},
           {"app.exe", "out.cmd", "out.cmd", ofCmd},
           {"app.exe", "Out.Reg", "Out.Reg", ofReg},
           {"app.exe", "D:\\save\\x.inf", "D:\\save\\x.inf", ofInf},
           {"app.exe", "x.r\xC9G", "x.CMD", ofCmd},
       }) {
    std::string fileName;
    TOutFormat format = ofInf;
    ChooseOutput(c.path, c.output, fileName, format);
    EXPECT_EQ(fileName, c.fileName) << c.path << " " << c.output;
    EXPECT_EQ(format, c.format) << c.path << " " << c.output;
  }
}

}  // namespace
