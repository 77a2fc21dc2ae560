// Every way a run can end: what it prints, its exit code, and which files it leaves.
#include "E2e.h"

namespace e2e {
namespace {

using ExitCodes = E2eTest;

TEST_F(ExitCodes, WrongParameterCountShowsUsage) {
  const std::vector<std::vector<std::string>> cases = {
      {}, {Quarvel, "qv.cmd", "third"}, {""}, {"", ""}};
  for (const auto& args : cases) {
    const std::string what = Label(args);
    const auto result = Run(args);
    EXPECT_EQ(result.ExitCode, 1) << what;
    EXPECT_TRUE(SameBytes(what + ": standard output", Banner + Usage, result.Stdout));
    EXPECT_TRUE(SameBytes(what + ": standard error", "", result.Stderr));
  }
  EXPECT_TRUE(Files().empty());
}

// The parameter count is settled before the registry is read: without a registry the
// usage text still comes, and no line about the registry.
TEST_F(ExitCodes, UsageNeedsNoRegistry) {
  tavtest::UnsetEnv(Env, "TAVDUMP_REGISTRY");
  const auto result = Run({});
  EXPECT_EQ(result.ExitCode, 1);
  EXPECT_TRUE(SameBytes("standard output", Banner + Usage, result.Stdout));
  EXPECT_TRUE(SameBytes("standard error", "", result.Stderr));
}

struct RegistryCase {
  const char* what;
  std::string registry;  // "-" leaves TAVDUMP_REGISTRY unset
  std::string stderrLine;
};

TEST_F(ExitCodes, UnreadableRegistryEndsWithCode2) {
  const std::string missing = PathOf("missing.reg");
  const std::string malformed = DataPath("malformed.reg");
  const std::vector<RegistryCase> cases = {
      {"unset", "-", "tavdump: TAVDUMP_REGISTRY is not set\n"},
      {"empty", "", "tavdump: TAVDUMP_REGISTRY is empty\n"},
      {"missing", missing,
       "tavdump: " + missing + ": cannot read the registry file: No such file or directory\n"},
      {"malformed", malformed,
       "tavdump: " + malformed + ":4: expected \"=\" after the value name\n"},
  };
  for (const RegistryCase& c : cases) {
    if (c.registry == "-")
      tavtest::UnsetEnv(Env, "TAVDUMP_REGISTRY");
    else
      SetVar("TAVDUMP_REGISTRY", c.registry);
    for (const char* out : {"x.cmd", "x.reg", "x.inf"}) {
      const auto result = Run({Quarvel, out});
      const std::string what = std::string(c.what) + " " + out;
      EXPECT_EQ(result.ExitCode, 2) << what;
      EXPECT_TRUE(SameBytes(what + ": standard output", Banner + NoRegistry, result.Stdout));
      EXPECT_TRUE(SameBytes(what + ": standard error", c.stderrLine, result.Stderr));
    }
  }
  EXPECT_TRUE(Files().empty());
}

TEST_F(ExitCodes, NoMatchEndsWithCode3AndLeavesFilesAlone) {
  ASSERT_TRUE(tavtest::WriteFileBytes(PathOf("keep.reg"), "old content"));
  for (const char* out : {"keep.reg", "new.cmd", "new.inf"}) {
    const auto result = Run({"C:\\Nowhere\\none.exe", out});
    EXPECT_EQ(result.ExitCode, 3) << out;
    EXPECT_TRUE(SameBytes(std::string(out) + ": standard output", Banner + NoMatch, result.Stdout));
    EXPECT_TRUE(SameBytes(std::string(out) + ": standard error", "", result.Stderr));
  }
  const auto named = Run({"C:\\Nowhere\\none.exe"});
  EXPECT_EQ(named.ExitCode, 3);
  EXPECT_EQ(Files(), std::set<std::string>{"keep.reg"});
  EXPECT_EQ(Output("keep.reg"), "old content");
}

// Keys whose name begins with a period are never file types, even when their command
// would match; a path found only there is no match at all.
TEST_F(ExitCodes, CommandBelowAnExtensionKeyIsNoMatch) {
  UseRegistry("scan.reg");
  for (const char* path : {"C:\\Apps\\Zed\\zedcmd.exe", "zedcmd"}) {
    const auto result = Run({path});
    EXPECT_EQ(result.ExitCode, 3) << path;
    EXPECT_TRUE(
        SameBytes(std::string(path) + ": standard output", Banner + NoMatch, result.Stdout));
  }
  EXPECT_TRUE(Files().empty());
}

TEST_F(ExitCodes, ExistingOutputFileIsReplaced) {
  ASSERT_TRUE(tavtest::WriteFileBytes(PathOf("qv.CMD"), std::string(1000, 'x')));
  ExpectSuccess(Run({Quarvel}), "over an old qv.CMD");
  EXPECT_TRUE(SameBytes("qv.CMD", Expected("quarvel.CMD"), Output("qv.CMD")));
}

}  // namespace
}  // namespace e2e
