// Output failures on the real platform: a missing folder, a read-only file and a full
// device end both builds with the banner, the failure report on standard error and exit
// code 1, and leave on disk exactly what had been written.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>

#include "Wine.h"

namespace fs = std::filesystem;
using namespace winetest;

namespace {

const std::array<std::string, 3> Formats = {"cmd", "reg", "inf"};

std::string Report(const std::string& message) {
  return "Exception EInOutError in module <module> at <address>.\r\n" + message + "\r\n\r\n";
}

// A prefix with Wine's own associations, and the Linux side that stands for it.
struct Platform {
  explicit Platform(const std::string& name) : Prefix(name) {
    if (!Prefix.Error.empty()) return;
    Side = LinuxSideOf(Prefix);
    Registry = Prefix.Files / "classes.reg";
    ExportClassesRoot(Prefix, Registry);
  }
  bool Ready() const { return Prefix.Error.empty() && !Side.Env.empty() && fs::exists(Registry); }

  WinePrefix Prefix;
  LinuxSide Side;
  fs::path Registry;
};

// Both runs failed alike: banner only on standard output, the report with `message`.
void ExpectFailure(const tavtest::ProcessResult& windows, const tavtest::ProcessResult& linux,
                   const std::string& message) {
  EXPECT_EQ(windows.ExitCode, 1);
  EXPECT_EQ(linux.ExitCode, 1);
  EXPECT_SAME_BYTES("standard output", windows.Stdout, linux.Stdout);
  EXPECT_SAME_BYTES("Wine's report", Report(message), NormalizedReport(windows.Stderr));
  EXPECT_SAME_BYTES("Linux's report", Report(message), NormalizedReport(linux.Stderr));
  EXPECT_NE(windows.Stderr.find(" in module Tavdump.exe at "), std::string::npos) << windows.Stderr;
}

TEST(Failures, MissingOutputFolder) {
  Platform platform(TestPrefixName());
  ASSERT_TRUE(platform.Ready()) << platform.Prefix.Error;
  for (const std::string& format : Formats) {
    const std::vector<std::string> args = {"notepad.exe", "missing\\out." + format};
    const fs::path windowsDir = platform.Prefix.Files / ("windows-" + format);
    const fs::path linuxDir = platform.Prefix.Files / ("linux-" + format);
    MakeEmptyDir(windowsDir);
    MakeEmptyDir(linuxDir);
    const tavtest::ProcessResult windows = WindowsTavdump(platform.Prefix, args, windowsDir);
    const tavtest::ProcessResult linux =
        LinuxTavdump(platform.Side, platform.Registry, args, linuxDir);
    SCOPED_TRACE("Wine: " + RunLabel(args, windows) + "\n  Linux: " + RunLabel(args, linux));
    ExpectFailure(windows, linux, "Invalid filename.");
    EXPECT_TRUE(fs::is_empty(windowsDir));
    EXPECT_TRUE(fs::is_empty(linuxDir));
  }
}

// A file whose write permission is gone is what Wine shows as read-only. Root may write to
// it anyway, under Wine too, so as root both builds run as another user in a namespace of
// their own, where the files of the build folder look like that user's.
TEST(Failures, ReadOnlyOutputFile) {
  Platform platform(TestPrefixName());
  ASSERT_TRUE(platform.Ready()) << platform.Prefix.Error;
  const std::string before = "earlier contents\r\n";
  // The server opens the files, so it must run as the other user too.
  StopServer(platform.Prefix);
  std::string script = ShellLine(WineServerSpec(platform.Prefix, {"-p"}), platform.Prefix.Files / "server");
  for (const std::string& format : Formats) {
    for (const std::string side : {"windows", "linux"}) {
      const fs::path dir = platform.Prefix.Files / (side + "-" + format);
      MakeEmptyDir(dir);
      const std::string file = (dir / ("locked." + format)).string();
      ASSERT_TRUE(tavtest::WriteFileBytes(file, before));
      ASSERT_EQ(chmod(file.c_str(), 0444), 0);
      const std::vector<std::string> args = {"notepad.exe", "locked." + format};
      const tavtest::ProcessSpec spec =
          side == "windows" ? WindowsTavdumpSpec(platform.Prefix, args, dir)
                            : LinuxTavdumpSpec(platform.Side, platform.Registry, args, dir);
      script += ShellLine(spec, dir / "run");
    }
  }
  script += ShellLine(WineServerSpec(platform.Prefix, {"-k"}), platform.Prefix.Files / "server");

  std::vector<std::string> unshare;
  if (geteuid() == 0) unshare = {"--user", "--map-user=4242", "--map-group=4242"};
  const tavtest::ProcessResult shell = RunScript(unshare, script, WineEnvironment(platform.Prefix));
  ASSERT_EQ(shell.ExitCode, 0) << tavtest::Describe(shell) << "\n" << shell.Stderr;

  for (const std::string& format : Formats) {
    const fs::path windowsDir = platform.Prefix.Files / ("windows-" + format);
    const fs::path linuxDir = platform.Prefix.Files / ("linux-" + format);
    const tavtest::ProcessResult windows = ReadCapture(windowsDir / "run");
    const tavtest::ProcessResult linux = ReadCapture(linuxDir / "run");
    const std::vector<std::string> args = {"notepad.exe", "locked." + format};
    SCOPED_TRACE("Wine: " + RunLabel(args, windows) + "\n  Linux: " + RunLabel(args, linux));
    ExpectFailure(windows, linux, "File access denied.");
    EXPECT_EQ(tavtest::ReadFileBytes((windowsDir / ("locked." + format)).string()), before);
    EXPECT_EQ(tavtest::ReadFileBytes((linuxDir / ("locked." + format)).string()), before);
  }
}

// Z:\dev\full itself cannot be named: the tool would append ".CMD". A link with the
// format's extension leads there instead.
TEST(Failures, FullDevice) {
  Platform platform(TestPrefixName());
  ASSERT_TRUE(platform.Ready()) << platform.Prefix.Error;
  for (const std::string& format : Formats) {
    const std::vector<std::string> args = {"notepad.exe", "full." + format};
    const fs::path windowsDir = platform.Prefix.Files / ("windows-" + format);
    const fs::path linuxDir = platform.Prefix.Files / ("linux-" + format);
    MakeEmptyDir(windowsDir);
    MakeEmptyDir(linuxDir);
    fs::create_symlink("/dev/full", windowsDir / ("full." + format));
    fs::create_symlink("/dev/full", linuxDir / ("full." + format));
    const tavtest::ProcessResult windows = WindowsTavdump(platform.Prefix, args, windowsDir);
    const tavtest::ProcessResult linux =
        LinuxTavdump(platform.Side, platform.Registry, args, linuxDir);
    SCOPED_TRACE("Wine: " + RunLabel(args, windows) + "\n  Linux: " + RunLabel(args, linux));
    // ERROR_DISK_FULL, as Windows reports a write to a full disk.
    ExpectFailure(windows, linux, "I/O error 112.");
  }
}

// A file system with one free page: the file keeps the first 4096 bytes of the output.
// The text formats write whole 128-byte buffers, so the write that no longer fits fails
// (ERROR_DISK_FULL). An INF line that straddles the end is written in part, and Wine
// reports that write as done with fewer bytes, which the tool reports as "Disk full".
TEST(Failures, FullFileSystem) {
  Platform platform(TestPrefixName());
  ASSERT_TRUE(platform.Ready()) << platform.Prefix.Error;
  const fs::path mount = platform.Prefix.Files / "small";
  const fs::path out = platform.Prefix.Files / "out";
  MakeEmptyDir(mount);
  MakeEmptyDir(out);
  const fs::path registry = out / "classes.reg";
  const std::vector<std::string> program = {"C:\\"};

  // The server opens the files, so it must see the small file system too.
  StopServer(platform.Prefix);
  std::string script = "echo >'" + (out / "started").string() + "'\n";
  script += ShellLine(WineServerSpec(platform.Prefix, {"-p"}), out / "server");
  script += "mount -t tmpfs -o size=12k tavdump-full '" + mount.string() + "' || exit 90\n";
  script += "head -c 8192 /dev/zero >'" + (mount / "filler").string() + "' || exit 91\n";
  for (const std::string fixture : {"specials.reg", "names.reg"})
    script +=
        ShellLine(WineSpec(platform.Prefix, {"regedit", "/s", WinePath(DataFile(fixture))}, out),
                  out / "import");
  script += ShellLine(
      WineSpec(platform.Prefix, {"regedit", "/e", WinePath(registry), "HKEY_CLASSES_ROOT"}, out),
      out / "export");
  for (const std::string& format : Formats) {
    std::vector<std::string> args = program;
    args.push_back("all." + format);
    script +=
        ShellLine(WindowsTavdumpSpec(platform.Prefix, args, out), out / ("complete-" + format));
    script +=
        ShellLine(WindowsTavdumpSpec(platform.Prefix, args, mount), out / ("windows-" + format));
    script += "mv '" + (mount / args[1]).string() + "' '" + (out / ("windows." + format)).string() +
              "'\n";
    script += ShellLine(LinuxTavdumpSpec(platform.Side, registry, args, mount),
                        out / ("linux-" + format));
    script +=
        "mv '" + (mount / args[1]).string() + "' '" + (out / ("linux." + format)).string() + "'\n";
  }
  script += ShellLine(WineServerSpec(platform.Prefix, {"-k"}), out / "server");
  script += "umount '" + mount.string() + "'\n";

  const tavtest::ProcessResult shell =
      RunScript({"--user", "--map-root-user", "--mount"}, script, WineEnvironment(platform.Prefix));
  if (shell.ExitCode == 90 || !fs::exists(out / "started"))
    GTEST_SKIP() << "no small file system to be had without privileges: "
                 << tavtest::Describe(shell) << "\n"
                 << shell.Stderr;
  ASSERT_EQ(shell.ExitCode, 0) << tavtest::Describe(shell) << "\n" << shell.Stderr;

  for (const std::string& format : Formats) {
    const std::vector<std::string> args = {program[0], "all." + format};
    const tavtest::ProcessResult complete = ReadCapture(out / ("complete-" + format));
    const tavtest::ProcessResult windows = ReadCapture(out / ("windows-" + format));
    const tavtest::ProcessResult linux = ReadCapture(out / ("linux-" + format));
    SCOPED_TRACE("Wine: " + RunLabel(args, windows) + "\n  Linux: " + RunLabel(args, linux));
    ASSERT_EQ(complete.ExitCode, 0) << RunLabel(args, complete);
    const std::string whole = tavtest::ReadFileBytes((out / ("all." + format)).string());
    ASSERT_GT(whole.size(), 4096u) << "the output must not fit the file system";
    ExpectFailure(windows, linux, format == "inf" ? "Disk full." : "I/O error 112.");
    const std::string written = tavtest::ReadFileBytes((out / ("windows." + format)).string());
    EXPECT_SAME_BYTES("Wine's partial file", whole.substr(0, 4096), written);
    EXPECT_SAME_BYTES("Linux's partial file", written,
                      tavtest::ReadFileBytes((out / ("linux." + format)).string()));
  }
}

}  // namespace
