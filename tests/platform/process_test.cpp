#include "process.h"
#include "scoped_env.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

// The program's rule for cutting its command line into parameters, single-byte form:
// leading codes 1..32 and pairs of double quotes are skipped, a parameter runs to the
// first code 0..32 outside double quotes, and the quotes are dropped.
std::vector<std::string> SplitByTheProgramsRule(const std::string& line) {
  std::vector<std::string> params;
  std::size_t i = 0;
  while (true) {
    while (i < line.size()) {
      if (static_cast<unsigned char>(line[i]) >= 1 && static_cast<unsigned char>(line[i]) <= 32) {
        ++i;
      } else if (line.compare(i, 2, "\"\"") == 0) {
        i += 2;
      } else {
        break;
      }
    }
    std::string param;
    bool quoted = false;
    while (i < line.size() && (quoted || static_cast<unsigned char>(line[i]) > 32)) {
      if (line[i] == '"') {
        quoted = !quoted;
      } else {
        param += line[i];
      }
      ++i;
    }
    if (param.empty()) return params;
    params.push_back(param);
  }
}

TEST(CommandLine, QuotesWhatHoldsBlanksAndConvertsToAnsi) {
  ScopedEnv acp("TAVDUMP_ACP", std::nullopt);
  const std::string line = tavplat::BuildCommandLine(
      {"/usr/bin/tavdump", "C:\\Program Files\\App\\app.exe", "caf\xC3\xA9", "tab\tx", "plain"});
  EXPECT_EQ(line, "/usr/bin/tavdump \"C:\\Program Files\\App\\app.exe\" caf\xE9 \"tab\tx\" plain");
  EXPECT_EQ(SplitByTheProgramsRule(line),
            (std::vector<std::string>{"/usr/bin/tavdump", "C:\\Program Files\\App\\app.exe",
                                      "caf\xE9", "tab\tx", "plain"}));
}

TEST(CommandLine, QuotesAndEmptyArgumentsCannotBeCarried) {
  const std::string line = tavplat::BuildCommandLine({"prog", "say \"hi\" now", "q\"x", "", "last"});
  EXPECT_EQ(line, "prog \"say hi now\" qx \"\" last");
  // The empty argument vanishes under the rule, as when typed on Windows.
  EXPECT_EQ(SplitByTheProgramsRule(line),
            (std::vector<std::string>{"prog", "say hi now", "qx", "last"}));
}

TEST(CommandLine, DoubleBytePage) {
  ScopedEnv acp("TAVDUMP_ACP", "932");
  EXPECT_EQ(tavplat::BuildCommandLine({"prog", "\xE8\xA1\xA8 x", "\xE8\xA1\xA8"}),
            "prog \"\x95\x5C x\" \x95\x5C");
}

TEST(CommandLine, TheProcessArgumentsAsStarted) {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> expected;
  for (std::size_t start = 0; start < all.size();) {
    const std::size_t end = all.find('\0', start);
    expected.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  EXPECT_EQ(tavplat::ProcessArguments(), expected);
  const std::string line = GetCommandLineA();
  EXPECT_EQ(line, tavplat::BuildCommandLine(expected));
  EXPECT_EQ(GetCommandLineA(), GetCommandLineA()) << "the line is built once and stays put";
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

TEST(ExitProcessDeathTest, EndsWithTheCode) {
  EXPECT_EXIT(ExitProcess(7), ::testing::ExitedWithCode(7), "");
  EXPECT_EXIT(ExitProcess(0), ::testing::ExitedWithCode(0), "");
}

}  // namespace
