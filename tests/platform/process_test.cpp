#include "process.h"
#include "scoped_env.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

namespace {

// Quotes cannot be carried through the program's splitting rule, and an empty argument
// vanishes under it as when typed on Windows.
TEST(CommandLine, QuotesWhatHoldsBlanksAndConvertsToAnsi) {
  const struct {
    const char* acp;
    std::vector<std::string> args;
    const char* line;
  } cases[] = {
      {"1252", {"/usr/bin/tavdump", "C:\\Program Files\\App\\app.exe", "caf\xC3\xA9", "tab\tx"},
       "/usr/bin/tavdump \"C:\\Program Files\\App\\app.exe\" caf\xE9 \"tab\tx\""},
      {"1252", {"prog", "say \"hi\" now", "q\"x", "", "last"}, "prog \"say hi now\" qx \"\" last"},
      {"932", {"prog", "\xE8\xA1\xA8 x", "\xE8\xA1\xA8"}, "prog \"\x95\x5C x\" \x95\x5C"},
  };
  for (const auto& c : cases) {
    ScopedEnv acp("TAVDUMP_ACP", c.acp);
    EXPECT_EQ(tavplat::BuildCommandLine(c.args), c.line);
  }
  const char* line = GetCommandLineA();
  EXPECT_EQ(line, GetCommandLineA()) << "the line is built once and stays put";
}

TEST(ModuleFileName, TheExecutableWithBackslashes) {
  std::vector<char> target(PATH_MAX);
  const ssize_t length = readlink("/proc/self/exe", target.data(), target.size());
  ASSERT_GT(length, 0);
  std::string expected(target.data(), static_cast<std::size_t>(length));
  std::replace(expected.begin(), expected.end(), '/', '\\');
  char full[PATH_MAX];
  EXPECT_EQ(GetModuleFileNameA(nullptr, full, sizeof full), expected.size());
  EXPECT_EQ(std::string(full), expected);

  // Too small: cut, zero-terminated, the size returned with the buffer error.
  std::string small(8, '\xAA');
  SetLastError(0);
  EXPECT_EQ(GetModuleFileNameA(nullptr, small.data(), 5), 5u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(small.substr(0, 6), expected.substr(0, 4) + '\0' + '\xAA');
  std::string exact(expected.size() + 1, '\xAA');
  EXPECT_EQ(GetModuleFileNameA(nullptr, exact.data(), static_cast<DWORD>(expected.size())),
            expected.size());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  SetLastError(0);
  EXPECT_EQ(GetModuleFileNameA(nullptr, full, 0), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(GetModuleFileNameA(reinterpret_cast<HMODULE>(0x1234), full, sizeof full), 0u);
  EXPECT_EQ(GetLastError(), 126u);
}

}  // namespace
