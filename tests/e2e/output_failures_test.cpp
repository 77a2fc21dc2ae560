// Failures while writing the output file or standard output end the run through the
// failure report, in every format, and leave what had been written.
#include <sys/stat.h>
#include <unistd.h>

#include "E2e.h"

namespace e2e {
namespace {

using OutputFailures = E2eTest;

const char* const Formats[] = {"cmd", "reg", "inf"};

/// Expects the end of a run through the failure report with `message`, after the banner.
void ExpectReport(const tavtest::ProcessResult& result, const std::string& message,
                  const std::string& what, bool bannerShown = true) {
  EXPECT_EQ(result.ExitCode, 1) << what;
  EXPECT_TRUE(IsIoReport(result.Stderr, message)) << what;
  if (bannerShown) {
    EXPECT_TRUE(SameBytes(what + ": standard output", Banner, result.Stdout));
  }
}

TEST_F(OutputFailures, MissingFolderIsAnInvalidFilename) {
  for (const char* format : Formats) {
    const std::string out = std::string("missing\\out.") + format;
    ExpectReport(Run({Quarvel, out}), "Invalid filename.", out);
  }
  EXPECT_TRUE(Files().empty());
}

// Root may write to any file on Linux; a read-only file must still refuse, as on Windows.
TEST_F(OutputFailures, ReadOnlyFileIsAccessDenied) {
  for (const char* format : Formats) {
    const std::string out = std::string("ro.") + format;
    ASSERT_TRUE(tavtest::WriteFileBytes(PathOf(out), "keep me"));
    ASSERT_EQ(chmod(PathOf(out).c_str(), 0444), 0);
    ExpectReport(Run({Quarvel, out}), "File access denied.", out);
    EXPECT_EQ(Output(out), "keep me") << out;
  }
}

TEST_F(OutputFailures, FullDeviceIsIoError112) {
  for (const char* format : Formats) {
    const std::string out = std::string("full.") + format;
    ASSERT_EQ(symlink("/dev/full", PathOf(out).c_str()), 0);
    ExpectReport(Run({Quarvel, out}), "I/O error 112.", out);
  }
}

// With standard output on a full device even the banner cannot be written: the report
// comes instead, before any file is made.
TEST_F(OutputFailures, StandardOutputOnAFullDevice) {
  tavtest::ProcessSpec spec;
  spec.StdoutPath = "/dev/full";
  for (const char* format : Formats) {
    const std::string out = std::string("x.") + format;
    ExpectReport(Run({Quarvel, out}, spec), "I/O error 112.", out, false);
  }
  ExpectReport(Run({}, spec), "I/O error 112.", "usage", false);
  EXPECT_TRUE(Files().empty());
}

// A file that may not grow past 100 bytes fills up in the middle of a write: WriteFile
// reports the short count, as Wine does for a full disk, the tool takes that for a full
// disk (code 101), and the file keeps the bytes that fitted, the leading part of what a
// full run writes.
TEST_F(OutputFailures, FileSizeLimitIsAFullDisk) {
  tavtest::ProcessSpec spec;
  spec.FileSizeLimit = 100;
  const std::pair<const char*, const char*> cases[] = {
      {"qv.cmd", "quarvel.CMD"}, {"qv.reg", "quarvel.REG"}, {"qv.inf", "quarvel.INF"}};
  for (const auto& [out, expected] : cases) {
    ExpectReport(Run({Quarvel, out}, spec), "Disk full.", out);
    EXPECT_TRUE(SameBytes(out, Expected(expected).substr(0, 100), Output(out)));
  }
}

}  // namespace
}  // namespace e2e
