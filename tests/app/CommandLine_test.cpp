// The Linux layer hands the program no double quote, so their rules show only here (and
// under Wine); the case folders show the output names on disk.
#include "CommandLine.h"

#include <gtest/gtest.h>

#include "../platform/scoped_env.h"

namespace {

using Params = std::vector<std::string>;

TEST(CommandLine, SplitDropsQuotesAndJoinsTouchingStretches) {
  const struct {
    const char* acp;
    const char* line;
    Params params;
  } cases[] = {
      {"1252", "t\t\x01 a  b\t", {"t", "a", "b"}},
      {"1252", "t \"\"", {"t"}},  // a pair of quotes alone is no parameter
      {"1252", "t \"\" a", {"t", "a"}},
      {"1252", "t a \"", {"t", "a"}},  // a lone quote at the end is empty
      {"1252", "t \"a\"\"b\"", {"t", "ab"}},
      {"1252", "t \"unclosed stretch", {"t", "unclosed stretch"}},
      {"1252", "", {}},
      // 0x81 0x40 is the ideographic space, 0x81 0x22 a character whose trail byte is a quote's.
      {"932", "t a\x81\x40" "b c\x81\x22" "d e", {"t", "a\x81\x40" "b", "c\x81\x22" "d", "e"}},
  };
  for (const auto& c : cases) {
    ScopedEnv acp("TAVDUMP_ACP", c.acp);
    EXPECT_EQ(SplitParameters(c.line), c.params) << c.line;
  }
}

TEST(CommandLine, OutputNameAndFormat) {
  const struct {
    const char* acp;
    const char* path;
    const char* output;
    const char* fileName;
    TOutFormat format;
  } cases[] = {
      {"1252", "C:\\Tools\\run.Cmd", "", "run.Cmd.CMD", ofCmd},
      {"1252", "D:app.exe", "", "app.CMD", ofCmd},
      {"1252", "Tools/app.exe", "", "Tools/app.CMD", ofCmd},  // a slash is no separator
      {"1252", "app.exe", "out.", "out.CMD", ofCmd},
      {"1252", "app.exe", "back.reg.old", "back.reg.CMD", ofCmd},
      {"1252", "app.exe", "dir.d\\x", "dir.d\\x.CMD", ofCmd},
      {"1252", "app.exe", "a.b:x", "a.b:x.CMD", ofCmd},
      {"1252", "app.exe", "x.r\xC9G", "x.CMD", ofCmd},  // only a to z are folded
      {"932", "app.exe", "a.\x95\x5C", "a.CMD", ofCmd},  // one character, a trail byte like '\'
  };
  for (const auto& c : cases) {
    ScopedEnv acp("TAVDUMP_ACP", c.acp);
    std::string fileName;
    TOutFormat format = ofReg;
    ChooseOutput(c.path, c.output, fileName, format);
    EXPECT_EQ(fileName + " " + std::to_string(format), c.fileName + std::string(" ") + std::to_string(c.format))
        << c.path << " " << c.output;
  }
}

}  // namespace
