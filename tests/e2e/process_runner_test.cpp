// The process runner that the end-to-end tests rest on, checked against /bin/sh.
#include <gtest/gtest.h>

#include "Process.h"

namespace tavtest {
namespace {

ProcessResult Shell(const std::string& script, ProcessSpec spec = {}) {
  spec.Binary = "/bin/sh";
  spec.Args.insert(spec.Args.begin(), {"-c", script, "sh"});
  return RunProcess(spec);
}

TEST(ProcessRunner, CapturesBothStreamsAndTheExitCode) {
  const ProcessResult result = Shell("printf 'out\\r\\n'; printf 'err' >&2; exit 7");
  EXPECT_EQ(result.Stdout, "out\r\n");
  EXPECT_EQ(result.Stderr, "err");
  EXPECT_EQ(result.ExitCode, 7);
  EXPECT_EQ(result.Signal, 0);
  EXPECT_TRUE(result.StartError.empty());
}

// Far more than a pipe holds, on both streams at once: reading one stream to its end
// before the other would stall the child.
TEST(ProcessRunner, LargeOutputOnBothStreams) {
  const ProcessResult result = Shell(
      "i=0; while [ $i -lt 3000 ]; do echo 0123456789abcdef0123456789abcdef; "
      "echo 0123456789abcdef0123456789abcdef >&2; i=$((i+1)); done");
  EXPECT_EQ(result.Stdout.size(), 3000u * 33);
  EXPECT_EQ(result.Stderr.size(), 3000u * 33);
  EXPECT_EQ(result.ExitCode, 0);
}

TEST(ProcessRunner, ArgumentsEnvironmentAndFolderAreExact) {
  TempDir dir;
  ProcessSpec spec;
  spec.Args = {"", "a b", "\"q\""};
  spec.Env = {"ONLY=this one"};
  spec.WorkDir = dir.Path;
  const ProcessResult result =
      Shell("printf '[%s]' \"$#\" \"$@\" \"$ONLY\" \"${HOME-unset}\" \"$(pwd)\"", spec);
  EXPECT_EQ(result.Stdout, "[3][][a b][\"q\"][this one][unset][" + dir.Path + "]");
}

TEST(ProcessRunner, StandardOutputToAFileAndFileSizeLimit) {
  TempDir dir;
  ProcessSpec spec;
  spec.StdoutPath = "/dev/full";
  EXPECT_NE(Shell("echo x", spec).ExitCode, 0) << "echo to a full device must fail";

  spec = {};
  spec.FileSizeLimit = 10;
  spec.WorkDir = dir.Path;
  const ProcessResult limited = Shell("printf 0123456789abcdef > f; echo $?", spec);
  EXPECT_NE(limited.Stdout, "0\n");
  EXPECT_EQ(ReadFileBytes(dir.Path + "/f"), "0123456789");
}

TEST(ProcessRunner, ReportsWhatCouldNotRun) {
  ProcessSpec spec;
  spec.Binary = "/nonexistent/program";
  const ProcessResult missing = RunProcess(spec);
  EXPECT_FALSE(missing.StartError.empty());

  spec = {};
  spec.TimeoutSeconds = 1;
  const ProcessResult slow = Shell("sleep 30", spec);
  EXPECT_TRUE(slow.TimedOut);
  EXPECT_EQ(slow.Signal, 9);
}

TEST(ProcessRunner, EnvironmentHelpers) {
  std::vector<std::string> env = {"A=1", "AB=2", "a=3"};
  SetEnv(env, "A", "4");
  EXPECT_EQ(env, (std::vector<std::string>{"AB=2", "a=3", "A=4"}));
  UnsetEnv(env, "a");
  EXPECT_EQ(env, (std::vector<std::string>{"AB=2", "A=4"}));
}

}  // namespace
}  // namespace tavtest
