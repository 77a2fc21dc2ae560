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
  const std::string program = "C:\\Odd\\odd.exe";
  ExpectSuccess(Run({program}), "CMD");
  ExpectSuccess(Run({program, "odd.reg"}), "REG");
  ExpectSuccess(Run({program, "odd.inf"}), "INF");
  EXPECT_TRUE(SameBytes("odd.CMD", Expected("escapes.CMD"), Output("odd.CMD")));
  EXPECT_TRUE(SameBytes("odd.reg", Expected("escapes.REG"), Output("odd.reg")));
  EXPECT_TRUE(SameBytes("odd.inf", Expected("escapes.INF"), Output("odd.inf")));
}

// Code page 1252 with OEM code page 850: é (E9) is 82 in the script, ü (FC) 81 and
// ø (F8) 9B, which code page 437 lacks; the REG file keeps the ANSI bytes, the INF file
// holds UTF-16. The path is given with É, which the upper-casing must match with é.
TEST_F(Escaping, AccentedTextInEachCodePage) {
  UseRegistry("accents.reg");
  SetVar("TAVDUMP_ACP", "1252");
  SetVar("TAVDUMP_OEMCP", "850");
  const std::string program = "C:\\CAF\xC3\x89\\caf\xC3\xA9.exe";
  ExpectSuccess(Run({program}), "CMD");
  ExpectSuccess(Run({program, "r\xC3\xA9sum\xC3\xA9.reg"}), "REG");
  ExpectSuccess(Run({program, "r\xC3\xA9sum\xC3\xA9.inf"}), "INF");
  EXPECT_EQ(Files(), (std::set<std::string>{"caf\xC3\xA9.CMD", "r\xC3\xA9sum\xC3\xA9.reg",
                                            "r\xC3\xA9sum\xC3\xA9.inf"}));
  EXPECT_TRUE(SameBytes("caf\xC3\xA9.CMD", Expected("accents.CMD"), Output("caf\xC3\xA9.CMD")));
  EXPECT_TRUE(SameBytes("r\xC3\xA9sum\xC3\xA9.reg", Expected("accents.REG"),
                        Output("r\xC3\xA9sum\xC3\xA9.reg")));
  EXPECT_TRUE(SameBytes("r\xC3\xA9sum\xC3\xA9.inf", Expected("accents.INF"),
                        Output("r\xC3\xA9sum\xC3\xA9.inf")));
  const std::string script = Output("caf\xC3\xA9.CMD");
  EXPECT_NE(script.find("Caf\x82 r\x82sum\x82 \x81 \x9B"), std::string::npos) << Visible(script);
}

// Shift-JIS: ポ is 83 7C and 表 95 5C, trail bytes that look like | and \. The file name
// part of C:\J\表.exe is 表.exe, the script is in Shift-JIS, and neither trail byte gets
// a caret or a doubled backslash.
TEST_F(Escaping, DoubleByteCodePage) {
  UseRegistry("japanese.reg");
  SetVar("TAVDUMP_ACP", "932");
  SetVar("TAVDUMP_OEMCP", "932");
  ExpectSuccess(Run({"C:\\J\\\xE8\xA1\xA8.exe"}), "C:\\J\\表.exe");
  EXPECT_EQ(Files(), std::set<std::string>{"\xE8\xA1\xA8.CMD"});
  EXPECT_TRUE(SameBytes("表.CMD", Expected("japanese.CMD"), Output("\xE8\xA1\xA8.CMD")));
}

// RegQueryInfoKeyA counts the longest subkey name in UTF-16 characters, and RegEnumKeyExA
// needs room for its ANSI bytes (Wine with code page 932 does the same): when ポ.Doc, 5
// characters but 6 bytes, is the longest name, it cannot be listed and nothing matches.
TEST_F(Escaping, DoubleByteNameLongerThanTheLongestNameIsNotListed) {
  UseRegistry("japanese-short.reg");
  SetVar("TAVDUMP_ACP", "932");
  SetVar("TAVDUMP_OEMCP", "932");
  const auto result = Run({"C:\\J\\\xE8\xA1\xA8.exe"});
  EXPECT_EQ(result.ExitCode, 3);
  EXPECT_TRUE(SameBytes("standard output", Banner + NoMatch, result.Stdout));
  EXPECT_TRUE(Files().empty());
}

}  // namespace
}  // namespace e2e
