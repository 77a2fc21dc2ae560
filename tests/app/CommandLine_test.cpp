#include "CommandLine.h"

#include <gtest/gtest.h>

#include "../platform/scoped_env.h"

namespace {

using Params = std::vector<std::string>;

TEST(CommandLine, SplitDropsQuotesAndJoinsTouchingStretches) {
  ScopedEnv acp("TAVDUMP_ACP", std::nullopt);
  const struct {
    const char* line;
    Params params;
  } cases[] = {
      {"t\t\x01 a  b\t", {"t", "a", "b"}},
      {"t \"\"", {"t"}},  // a pair of quotes alone is no parameter
      {"t \"\" a", {"t", "a"}},
      {"t a \"", {"t", "a"}},  // a lone quote at the end is empty
      {"t \"a\"\"b\"", {"t", "ab"}},
      {"t \"unclosed stretch", {"t", "unclosed stretch"}},
      {"", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitParameters(c.line), c.params) << c.line;

  // In code page 932, 0x81 0x40 is the ideographic space and 0x81 0x22 a character whose
  // trail byte is a double quote in single-byte text: neither separates or quotes.
  ScopedEnv japanese("TAVDUMP_ACP", "932");
  EXPECT_EQ(SplitParameters("t a\x81\x40" "b c\x81\x22" "d e"),
            (Params{"t", "a\x81\x40" "b", "c\x81\x22" "d", "e"}));
}

TEST(CommandLine, OutputNameAndFormat) {
  const struct {
    const char* acp;
    const char* path;
    const char* output;
    const char* fileName;
    TOutFormat format;
  } cases[] = {
      {"1252", "C:\\Program Files\\App\\app.exe", "", "app.CMD", ofCmd},
      {"1252", "notepad", "", "notepad.CMD", ofCmd},
      {"1252", "C:\\Tools\\run.Cmd", "", "run.Cmd.CMD", ofCmd},
      {"1252", "D:app.exe", "", "app.CMD", ofCmd},
      {"1252", "Tools/app.exe", "", "Tools/app.CMD", ofCmd},  // a slash is no separator
      {"1252", "app.exe", "out", "out.CMD", ofCmd},
      {"1252", "app.exe", "out.", "out.CMD", ofCmd},
      {"1252", "app.exe", "back.reg.old", "back.reg.CMD", ofCmd},
      {"1252", "app.exe", "out.cmd", "out.cmd", ofCmd},
      {"1252", "app.exe", "D:\\save\\x.inf", "D:\\save\\x.inf", ofInf},
      {"1252", "app.exe", "a.b:x", "a.b:x.CMD", ofCmd},
      {"1252", "app.exe", "x.r\xC9G", "x.CMD", ofCmd},  // only a to z are folded
      // 0x95 0x5C is one character whose trail byte is a backslash's.
      {"932", "C:\\J\\\x95\x5C.exe", "", "\x95\x5C.CMD", ofCmd},
      {"932", "app.exe", "a.\x95\x5C", "a.CMD", ofCmd},
  };
  for (const auto& c : cases) {
    ScopedEnv acp("TAVDUMP_ACP", c.acp);
    std::string fileName;
    TOutFormat format = ofReg;
    ChooseOutput(c.path, c.output, fileName, format);
    EXPECT_EQ(fileName, c.fileName) << c.path << " " << c.output;
    EXPECT_EQ(format, c.format) << c.path << " " << c.output;
  }
}

}  // namespace
