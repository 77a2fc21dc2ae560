// Values that each format must escape, and text outside ASCII in single-byte and
// double-byte code pages.
#include "E2e.h"

namespace e2e {
namespace {

using Escaping = E2eTest;

// escapes.reg holds % " & | < > ^ and backslashes (one at the end of a value, one before
// a quote) in names and values, a type without description or icon, and three
// extensions of one type.
TEST_F(Escaping, SpecialCharactersInEveryFormat) {
  UseRegistry("escapes.reg");
  for (const std::string format : {"CMD", "REG", "INF"}) {
    ExpectRun({"C:\\Odd\\odd.exe", "odd." + format});
    EXPECT_TRUE(SameBytes("odd." + format, Expected("escapes." + format), Output("odd." + format)));
  }
}

// Code page 1252 with OEM code page 850: é (E9) is 82 in the script, ü (FC) 81 and
// ø (F8) 9B, which code page 437 lacks; the REG file keeps the ANSI bytes, the INF file
// holds UTF-16, and file names are UTF-8 on disk. The path is given with É, which the
// upper-casing must match with é.
TEST_F(Escaping, AccentedTextInEachCodePage) {
  UseRegistry("accents.reg");
  Set("TAVDUMP_ACP", "1252");
  Set("TAVDUMP_OEMCP", "850");
  const std::string program = "C:\\CAF\xC3\x89\\caf\xC3\xA9.exe";
  ExpectRun({program});
  const std::string script = Output("caf\xC3\xA9.CMD");
  EXPECT_TRUE(SameBytes("caf\xC3\xA9.CMD", Expected("accents.CMD"), script));
  EXPECT_NE(script.find("Caf\x82 r\x82sum\x82 \x81 \x9B"), std::string::npos)
      << tavtest::Visible(script);
  for (const std::string format : {"REG", "INF"}) {
    const std::string out = "r\xC3\xA9sum\xC3\xA9." + format;
    ExpectRun({program, out});
    EXPECT_TRUE(SameBytes(out, Expected("accents." + format), Output(out)));
  }
}

// Shift-JIS: ポ is 83 7C and 表 95 5C, trail bytes that look like | and \. The file name
// part of C:\J\表.exe is 表.exe, the script is in Shift-JIS, and neither trail byte gets
// a caret or a doubled backslash.
TEST_F(Escaping, DoubleByteCodePage) {
  UseRegistry("japanese.reg");
  Set("TAVDUMP_ACP", "932");
  Set("TAVDUMP_OEMCP", "932");
  ExpectRun({"C:\\J\\\xE8\xA1\xA8.exe"});
  EXPECT_EQ(Files(), std::set<std::string>{"\xE8\xA1\xA8.CMD"});
  EXPECT_TRUE(SameBytes("表.CMD", Expected("japanese.CMD"), Output("\xE8\xA1\xA8.CMD")));
}

}  // namespace
}  // namespace e2e
