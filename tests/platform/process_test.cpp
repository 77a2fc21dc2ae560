#include "process.h"
#include "scoped_env.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// Each line as Wine builds it for the same arguments: quoted and escaped in UTF-16, then
// converted, so that a character that best-fits to a quote becomes one.
TEST(CommandLine, BuiltAsWineBuildsIt) {
  const struct {
    const char* acp;
    std::vector<std::string> args;
    const char* line;
  } cases[] = {
      {"1252",
       {"/usr/bin/tavdump", "C:\\P\\A\xEF\xBC\x82 B\\p.exe", "o.reg", "x\xCA\xBAy", "caf\xC3\xA9"},
       "\"/usr/bin/tavdump\" \"C:\\P\\A\" B\\p.exe\" o.reg x\"y caf\xE9"},
      {"1252", {"p", "a\"b", "", "c d", "e\\\"f", "g\\\\", "h\\ i", "j k\\", "l\tm", "n\no"},
       "\"p\" a\\\"b \"\" \"c d\" e\\\\\\\"f g\\\\ \"h\\ i\" \"j k\\\\\" \"l\tm\" n\no"},
      {"932", {"p", "\xE8\xA1\xA8 x", "\xEF\xBC\x82"}, "\"p\" \"\x95\x5C x\" \xFA\x57"},
  };
  for (const auto& c : cases) {
    ScopedEnv acp("TAVDUMP_ACP", c.acp);
    EXPECT_EQ(tavplat::BuildCommandLine(c.args), c.line);
  }
  const char* line = GetCommandLineA();
  EXPECT_EQ(line, GetCommandLineA()) << "the line is built once and stays put";
}

TEST(ModuleFileName, TheExecutableWithBackslashes) {
  std::string expected = std::filesystem::read_symlink("/proc/self/exe").string();
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
}

}  // namespace
