// Output failures on the real platform: a missing folder, a read-only file, a full device
// and a full file system end both builds with the banner, the failure report on standard
// error and exit code 1, and leave on disk exactly what had been written.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Wine.h"

using namespace winetest;

namespace {

const std::string Formats[] = {"cmd", "reg", "inf"};

// Both runs failed alike: the same standard output, exit code 1 and the report with
// `message`, in each build's module.
void ExpectFailure(const ProcessResult& windows, const ProcessResult& linux,
                   const std::string& message) {
  EXPECT_EQ(windows.ExitCode, 1);
  EXPECT_EQ(linux.ExitCode, 1);
  EXPECT_TRUE(SameBytes("standard output", windows.Stdout, linux.Stdout));
  EXPECT_TRUE(tavtest::IsIoReport(windows.Stderr, "Tavdump.exe", message));
  EXPECT_TRUE(tavtest::IsIoReport(linux.Stderr, "tavdump", message));
}

// Runs `script` as RunScript does, with the prefix's server started inside it and ended
// after it: the server opens the files, so it must run as the same user and see the same
// file systems.
ProcessResult RunWithServer(const WinePrefix& prefix, const std::vector<std::string>& unshareArgs,
                            const std::string& script) {
  RunProcess(ServerSpec(prefix, "-k"));
  return RunScript(prefix, unshareArgs,
                   ShellLine(ServerSpec(prefix, "-p"), prefix.Files / "server-start") + script +
                       ShellLine(ServerSpec(prefix, "-k"), prefix.Files / "server-end"));
}

// Z:\dev\full itself cannot be named (the tool would append ".CMD"): a link with the
// format's extension leads there instead. A file whose write permission is gone is what
// Wine shows as read-only, but root may write to it anyway, under Wine too, so as root
// both builds run as another user in a namespace of their own, where the files of the
// build folder look like that user's.
TEST(Failures, OutputFileCannotBeWritten) {
  WinePrefix prefix;
  ASSERT_EQ(prefix.Error, "");
  const LinuxSide side = LinuxSideOf(prefix);
  ASSERT_FALSE(side.Env.empty()) << "cannot read the prefix's environment, code pages and keys";
  const std::string before = "earlier contents\r\n";
  const struct {
    std::string file, message;
  } cases[] = {{"missing\\out.", "Invalid filename."},
               {"locked.", "File access denied."},
               {"full.", "I/O error 112."}};
  auto runDir = [&](std::size_t i, const std::string& format, const std::string& build) {
    return prefix.Files / (std::to_string(i) + format + build);
  };
  std::string script;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    for (const std::string& format : Formats) {
      for (const std::string build : {"windows", "linux"}) {
        const fs::path work = runDir(i, format, build) / "work";
        const std::string file = cases[i].file + format;
        MakeEmptyDir(work);
        if (file.starts_with("locked")) {
          ASSERT_TRUE(tavtest::WriteFileBytes((work / file).string(), before));
          ASSERT_EQ(chmod((work / file).c_str(), 0444), 0);
        }
        if (file.starts_with("full")) fs::create_symlink("/dev/full", work / file);
        const std::vector<std::string> args = {"notepad.exe", file};
        script += ShellLine(
            build == "windows" ? WindowsSpec(prefix, args, work) : LinuxSpec(side, args, work),
            runDir(i, format, build) / "run");
      }
    }
  }
  std::vector<std::string> unshare;
  if (geteuid() == 0) unshare = {"--user", "--map-user=4242", "--map-group=4242"};
  const ProcessResult shell = RunWithServer(prefix, unshare, script);
  ASSERT_EQ(shell.ExitCode, 0) << Describe(unshare, shell);

  for (std::size_t i = 0; i < std::size(cases); ++i) {
    for (const std::string& format : Formats) {
      const std::vector<std::string> args = {"notepad.exe", cases[i].file + format};
      const ProcessResult windows = ReadCapture(runDir(i, format, "windows") / "run");
      const ProcessResult linux = ReadCapture(runDir(i, format, "linux") / "run");
      SCOPED_TRACE("Wine: " + Describe(args, windows) + "\n  Linux: " + Describe(args, linux));
      ExpectFailure(windows, linux, cases[i].message);
      for (const std::string build : {"windows", "linux"}) {
        const fs::path work = runDir(i, format, build) / "work";
        if (i == 0) {
          EXPECT_TRUE(fs::is_empty(work)) << build;
        } else if (i == 1) {
          EXPECT_EQ(tavtest::ReadFileBytes((work / args[1]).string()), before) << build;
        }
      }
    }
  }
}

// A file system with one free page: the file keeps the first 4096 bytes of the output.
// The text formats write whole 128-byte buffers, so the write that no longer fits fails
// (ERROR_DISK_FULL). An INF line that straddles the end is written in part, and Wine
// reports that write as done with fewer bytes, which the tool reports as "Disk full".
TEST(Failures, FullFileSystem) {
  WinePrefix prefix({"specials.reg", "names.reg"});
  ASSERT_EQ(prefix.Error, "");
  const LinuxSide side = LinuxSideOf(prefix);
  ASSERT_FALSE(side.Env.empty()) << "cannot read the prefix's environment, code pages and keys";
  const fs::path mount = prefix.Files / "small";
  const fs::path out = prefix.Files / "out";
  MakeEmptyDir(mount);
  MakeEmptyDir(out);
  std::string script = "echo >'" + (out / "started").string() + "'\n" +
                       "mount -t tmpfs -o size=12k tavdump-full '" + mount.string() +
                       "' || exit 90\n" + "head -c 8192 /dev/zero >'" +
                       (mount / "filler").string() + "' || exit 91\n";
  for (const std::string& format : Formats) {
    const std::vector<std::string> args = {"C:\\", "all." + format};
    script += ShellLine(WindowsSpec(prefix, args, out), out / ("complete-" + format));
    for (const std::string build : {"windows", "linux"}) {
      script += ShellLine(
          build == "windows" ? WindowsSpec(prefix, args, mount) : LinuxSpec(side, args, mount),
          out / (build + "-" + format));
      script += "mv '" + (mount / args[1]).string() + "' '" +
                (out / (build + "." + format)).string() + "'\n";
    }
  }
  script += "umount '" + mount.string() + "'\n";

  const ProcessResult shell =
      RunWithServer(prefix, {"--user", "--map-root-user", "--mount"}, script);
  if (shell.ExitCode == 90 || !fs::exists(out / "started"))
    GTEST_SKIP() << "no small file system to be had without privileges: " << Describe({}, shell);
  ASSERT_EQ(shell.ExitCode, 0) << Describe({}, shell);

  for (const std::string& format : Formats) {
    const std::vector<std::string> args = {"C:\\", "all." + format};
    const ProcessResult complete = ReadCapture(out / ("complete-" + format));
    const ProcessResult windows = ReadCapture(out / ("windows-" + format));
    const ProcessResult linux = ReadCapture(out / ("linux-" + format));
    SCOPED_TRACE("Wine: " + Describe(args, windows) + "\n  Linux: " + Describe(args, linux));
    ASSERT_EQ(complete.ExitCode, 0) << Describe(args, complete);
    const std::string whole = tavtest::ReadFileBytes((out / args[1]).string());
    ASSERT_GT(whole.size(), 4096u) << "the output must not fit the file system";
    ExpectFailure(windows, linux, format == "inf" ? "Disk full." : "I/O error 112.");
    for (const std::string build : {"windows", "linux"}) {
      EXPECT_TRUE(SameBytes(build + "'s partial file", whole.substr(0, 4096),
                            tavtest::ReadFileBytes((out / (build + "." + format)).string())));
    }
  }
}

}  // namespace
