// The process runner that the end-to-end tests rest on, checked against /bin/sh.
#include <gtest/gtest.h>

#include "Process.h"

namespace tavtest {
namespace {

ProcessResult Shell(const std::string& script, ProcessSpec setup = {}) {
  setup.Binary = "/bin/sh";
  setup.Args.insert(setup.Args.begin(), {"-c", script, "sh"});
  return RunProcess(setup);
}

TEST(ProcessRunner, StreamsExitCodeArgumentsEnvironmentAndFolderAreExact) {
  TempDir dir;
  ProcessSpec setup;
  setup.Args = {"", "a b", "\"q\""};
  setup.Env = {"A=1", "AB=2", "a=3"};
  SetEnv(setup.Env, "A", "this one");
  UnsetEnv(setup.Env, "a");
  setup.WorkDir = dir.Path;
  const ProcessResult result = Shell(
      "printf '[%s]' \"$#\" \"$@\" \"$A\" \"$AB\" \"${a-unset}\" \"${HOME-unset}\" \"$(pwd)\"; "
      "printf 'err\\r\\n' >&2; exit 7",
      setup);
  EXPECT_EQ(result.Stdout, "[3][][a b][\"q\"][this one][2][unset][unset][" + dir.Path + "]");
  EXPECT_EQ(result.Stderr, "err\r\n");
  EXPECT_EQ(result.ExitCode, 7);
  EXPECT_EQ(result.Signal, 0);
}

// Far more than a pipe holds, on both streams at once: reading one stream to its end
// before the other would stall the child.
TEST(ProcessRunner, LargeOutputOnBothStreams) {
  const ProcessResult result = Shell(
      "i=0; while [ $i -lt 3000 ]; do echo 0123456789abcdef0123456789abcdef; "
      "echo 0123456789abcdef0123456789abcdef >&2; i=$((i+1)); done");
  EXPECT_EQ(result.Stdout.size(), 3000u * 33);
  EXPECT_EQ(result.Stderr.size(), 3000u * 33);
}

// The end-to-end tests use standard output to a file and the file size limit only to make
// the program fail, and a runner that missed either would fail them; a time-out that did
// not work would hang them instead.
TEST(ProcessRunner, TimeOut) {
  ProcessSpec setup;
  setup.TimeoutSeconds = 1;
  const ProcessResult slow = Shell("sleep 30", setup);
  EXPECT_TRUE(slow.TimedOut);
  EXPECT_EQ(slow.Signal, 9);
}

}  // namespace
}  // namespace tavtest
