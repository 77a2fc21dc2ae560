// Expected values come from ExpandEnvironmentStringsA under Wine 8 with the same variables.
#include "scoped_env.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace {

struct Expansion {
  DWORD result;
  std::string text;  // the buffer up to its first zero
};

Expansion Expand(const char* source, DWORD size = 100) {
  std::string buffer(size + 4, '\xAA');
  const DWORD result = ExpandEnvironmentStringsA(source, size ? buffer.data() : nullptr, size);
  return {result, buffer.substr(0, buffer.find('\0'))};
}

class ExpandEnvironment : public ::testing::Test {
 protected:
  ScopedEnv acp_{"TAVDUMP_ACP", std::nullopt};
  ScopedEnv alpha_{"TAVA", "alpha"};
  ScopedEnv empty_{"TAVEMPTY", ""};
  ScopedEnv spaced_{"TAV SP", "space"};
  ScopedEnv accented_{"TAVHI", "caf\xC3\xA9"};
  ScopedEnv one_{"1", "one"};
  ScopedEnv undefined_{"undefined", std::nullopt};
};

TEST_F(ExpandEnvironment, ReferencesAndWhatStaysAsWritten) {
  const struct {
    const char* source;
    DWORD result;
    const char* text;
  } cases[] = {
      {"%undefined%TAVA%", 17, "%undefined%TAVA%"},
      {"%%", 3, "%%"},
      {"50% off", 8, "50% off"},
      {"%1", 3, "%1"},
      {"%TAVA", 6, "%TAVA"},
      {"%tava%", 6, "alpha"},
      {"x%TAVEMPTY%y", 3, "xy"},
      {"%TAVA%%TAVA%", 11, "alphaalpha"},
      {"%%TAVA%%", 9, "%%TAVA%%"},
      {"%TAV SP%", 6, "space"},
      {"", 1, ""},
      {"%=%", 4, "%=%"},
      {"%TAVA%%undefined", 16, "alpha%undefined"},
      {"100%%TAVA%", 11, "100%%TAVA%"},
  };
  for (const auto& c : cases) {
    const Expansion e = Expand(c.source);
    EXPECT_EQ(e.result, c.result) << c.source;
    EXPECT_EQ(e.text, c.text) << c.source;
  }
}

TEST_F(ExpandEnvironment, ValuesArriveInTheAnsiPage) {
  const Expansion western = Expand("%TAVHI%");
  EXPECT_EQ(western.result, 5u);
  EXPECT_EQ(western.text, "caf\xE9");

  ScopedEnv acp("TAVDUMP_ACP", "932");
  ScopedEnv table("TAVTABLE", "\xE8\xA1\xA8");
  const Expansion japanese = Expand("%tavtable%\\");
  EXPECT_EQ(japanese.result, 4u);
  EXPECT_EQ(japanese.text, "\x95\x5C\\");
}

TEST_F(ExpandEnvironment, TooSmallBuffers) {
  const struct {
    const char* source;
    DWORD size;
    DWORD result;
    const char* text;
    DWORD error;
  } cases[] = {
      {"%TAVA%", 0, 6, "", ERROR_INSUFFICIENT_BUFFER},
      {"%TAVA%", 1, 6, "", ERROR_INSUFFICIENT_BUFFER},
      {"%TAVA%", 5, 6, "alph", ERROR_INSUFFICIENT_BUFFER},
      {"%TAVA%", 6, 6, "alpha", 0xDEAD},
      {"abc", 3, 4, "ab", ERROR_INSUFFICIENT_BUFFER},
      {"%TAVHI%", 4, 5, "caf", ERROR_INSUFFICIENT_BUFFER},
  };
  for (const auto& c : cases) {
    SetLastError(0xDEAD);
    const Expansion e = Expand(c.source, c.size);
    EXPECT_EQ(e.result, c.result) << c.source << " in " << c.size;
    if (c.size > 0) {
      EXPECT_EQ(e.text, c.text) << c.source << " in " << c.size;
    }
    EXPECT_EQ(GetLastError(), c.error) << c.source << " in " << c.size;
  }
}

}  // namespace
