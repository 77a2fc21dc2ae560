// Every way a run can end: what it prints, its exit code, and which files it leaves.
#include "E2e.h"

namespace e2e {
namespace {

using ExitCodes = E2eTest;

// The parameter count is settled before the registry is read: without a registry the
// usage text still comes, and no line about the registry. Empty parameters do not count.
TEST_F(ExitCodes, WrongParameterCountShowsUsage) {
  tavtest::UnsetEnv(Env, "TAVDUMP_REGISTRY");
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{}, {Quarvel, "qv.cmd", "third"}, {""}, {"", ""}})
    ExpectRun(args, 1, Usage);
  EXPECT_TRUE(Files().empty());
}

// No file is made when the registry cannot be read, whether it is not named at all or
// fails to load in its middle.
TEST_F(ExitCodes, UnreadableRegistryEndsWithCode2) {
  const std::string error = "Error: Error calling RegQueryInfoKey(HKEY_CLASSES_ROOT,...\r\n";
  tavtest::UnsetEnv(Env, "TAVDUMP_REGISTRY");
  ExpectRun({Quarvel, "x.cmd"}, 2, error, "tavdump: TAVDUMP_REGISTRY is not set\n");
  UseRegistry("malformed.reg");
  ExpectRun({Quarvel, "x.inf"}, 2, error,
            "tavdump: " + DataPath("malformed.reg") + ":4: expected \"=\" after the value name\n");
  EXPECT_TRUE(Files().empty());
}

// No match leaves an existing file of the output's name alone and makes none. Keys whose
// name begins with a period are never file types, in either pass, even when their command
// would match.
TEST_F(ExitCodes, NoMatchEndsWithCode3AndLeavesFilesAlone) {
  ASSERT_TRUE(tavtest::WriteFileBytes(PathOf("keep.reg"), "old content"));
  for (const char* out : {"keep.reg", "new.cmd", "new.inf"})
    ExpectRun({"C:\\Nowhere\\none.exe", out}, 3, NoMatch);
  ExpectRun({"C:\\Nowhere\\none.exe"}, 3, NoMatch);
  ExpectRun({"C:\\Program Files\\Quarvel\\qvx.exe"}, 3, NoMatch);
  EXPECT_EQ(Files(), std::set<std::string>{"keep.reg"});
  EXPECT_EQ(Output("keep.reg"), "old content");
}

}  // namespace
}  // namespace e2e
