// Failures while writing the output file or standard output end the run through the
// failure report, in every format, and leave what had been written.
#include <sys/stat.h>
#include <unistd.h>

#include "E2e.h"

namespace e2e {
namespace {

class OutputFailures : public E2eTest {
 protected:
  /// Expects the end of a run through the failure report with `message`, after the banner
  /// unless that could not be written either.
  void ExpectReport(const std::vector<std::string>& args, const std::string& message,
                    tavtest::ProcessSpec setup = {}) {
    const tavtest::ProcessResult result = Run(args, setup);
    const std::string what = Describe(args, result);
    EXPECT_EQ(result.ExitCode, 1) << what;
    EXPECT_TRUE(tavtest::IsIoReport(result.Stderr, "tavdump", message)) << what;
    EXPECT_EQ(result.Stdout, setup.StdoutPath.empty() ? Banner : "") << what;
  }
};

// A missing folder, a read-only file (which root may write to on Linux, but not here, as
// on Windows) and a full device.
TEST_F(OutputFailures, OutputFileCannotBeWritten) {
  for (const std::string format : {"cmd", "reg", "inf"}) {
    ExpectReport({Quarvel, "missing\\out." + format}, "Invalid filename.");
    const std::string locked = "ro." + format;
    ASSERT_TRUE(tavtest::WriteFileBytes(PathOf(locked), "keep me"));
    ASSERT_EQ(chmod(PathOf(locked).c_str(), 0444), 0);
    ExpectReport({Quarvel, locked}, "File access denied.");
    EXPECT_EQ(Output(locked), "keep me") << locked;
    ASSERT_EQ(symlink("/dev/full", PathOf("full." + format).c_str()), 0);
    ExpectReport({Quarvel, "full." + format}, "I/O error 112.");
  }
  EXPECT_EQ(Files().size(), 6u) << "only the read-only files and the links";
}

// With standard output on a full device even the banner cannot be written: the report
// comes instead, before any file is made.
TEST_F(OutputFailures, StandardOutputOnAFullDevice) {
  tavtest::ProcessSpec setup;
  setup.StdoutPath = "/dev/full";
  for (const char* out : {"x.cmd", "x.reg", "x.inf"})
    ExpectReport({Quarvel, out}, "I/O error 112.", setup);
  ExpectReport({}, "I/O error 112.", setup);
  EXPECT_TRUE(Files().empty());
}

// A file that may not grow past 100 bytes fills up in the middle of a write: WriteFile
// reports the short count, as Wine does for a full disk, the tool takes that for a full
// disk (code 101), and the file keeps the bytes that fitted, the leading part of what a
// full run writes.
TEST_F(OutputFailures, FileSizeLimitIsAFullDisk) {
  tavtest::ProcessSpec setup;
  setup.FileSizeLimit = 100;
  for (const std::string format : {"CMD", "REG", "INF"}) {
    ExpectReport({Quarvel, "qv." + format}, "Disk full.", setup);
    EXPECT_TRUE(SameBytes("qv." + format, Expected("quarvel." + format).substr(0, 100),
                          Output("qv." + format)));
  }
}

}  // namespace
}  // namespace e2e
