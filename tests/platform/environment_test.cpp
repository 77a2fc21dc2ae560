// ExpandEnvironmentStringsA against what it gives under Wine 8 with the same variables.
#include "scoped_env.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace {

TEST(ExpandEnvironment, AnswersOfWindows) {
  ScopedEnv alpha{"TAVA", "alpha"}, empty{"TAVEMPTY", ""}, spaced{"TAV SP", "space"},
      accented{"TAVHI", "caf\xC3\xA9"}, one{"1", "one"}, undefined{"undefined", std::nullopt},
      table{"TAVTABLE", "\xE8\xA1\xA8"};
  const DWORD none = 0xDEAD, small = ERROR_INSUFFICIENT_BUFFER;
  const struct {
    const char* acp;
    const char* source;
    DWORD size, result;
    const char* text;  // the buffer up to its first zero
    DWORD error;
  } cases[] = {
      {"1252", "%undefined%TAVA%", 100, 17, "%undefined%TAVA%", none},
      {"1252", "%%", 100, 3, "%%", none},
      {"1252", "50% off", 100, 8, "50% off", none},
      {"1252", "%1", 100, 3, "%1", none},
      {"1252", "%TAVA", 100, 6, "%TAVA", none},
      {"1252", "%tava%", 100, 6, "alpha", none},
      {"1252", "x%TAVEMPTY%y", 100, 3, "xy", none},
      {"1252", "%TAVA%%TAVA%", 100, 11, "alphaalpha", none},
      {"1252", "%%TAVA%%", 100, 9, "%%TAVA%%", none},
      {"1252", "%TAV SP%", 100, 6, "space", none},
      {"1252", "", 100, 1, "", none},
      {"1252", "%=%", 100, 4, "%=%", none},
      {"1252", "%TAVA%%undefined", 100, 16, "alpha%undefined", none},
      {"1252", "100%%TAVA%", 100, 11, "100%%TAVA%", none},
      {"1252", "%%%TAVA%", 100, 8, "%%alpha", none},
      {"1252", "%TAVHI%", 100, 5, "caf\xE9", none},
      {"932", "%tavtable%\\", 100, 4, "\x95\x5C\\", none},
      {"1252", "%TAVA%", 0, 6, "", small},
      {"1252", "%TAVA%", 1, 6, "", small},
      {"1252", "%TAVA%", 5, 6, "alph", small},
      {"1252", "%TAVA%", 6, 6, "alpha", none},
      {"1252", "abc", 3, 4, "ab", small},
      {"1252", "%TAVHI%", 4, 5, "caf", small},
  };
  for (const auto& c : cases) {
    ScopedEnv acp("TAVDUMP_ACP", c.acp);
    std::string buffer(c.size + 4, '\xAA');  // handed over from its second byte on
    SetLastError(none);
    const DWORD result = ExpandEnvironmentStringsA(c.source, buffer.data() + 1, c.size);
    EXPECT_EQ(result, c.result) << c.source << " in " << c.size;
    EXPECT_EQ(c.size ? buffer.substr(1, buffer.find('\0') - 1) : "", c.text) << c.source << " in " << c.size;
    EXPECT_EQ(buffer[0] + buffer.substr(c.size + 1), std::string(4, '\xAA')) << "nothing outside the buffer";
    EXPECT_EQ(GetLastError(), c.error) << c.source << " in " << c.size;
  }
}

}  // namespace
