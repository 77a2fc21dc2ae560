#include "OutFile.h"

#include "Fixture.h"

namespace {

using OutFileTest = PlatformTest;
using Writes = std::vector<DWORD>;

const char* const FailureLine = "Exception EInOutError in module [^ ]+ at [0-9A-F]{8}\\.\r\n";

TEST_F(OutFileTest, TextIsWrittenInFullBuffersAndTheRestAtClose) {
  const std::string path = TempPath("text.txt");
  TextOutFile file;
  Create(file, path);
  WriteStr(file, std::string(126, 'a'));
  EndLine(file);
  EXPECT_EQ(tavplat::PlatformTrace().fileWrites, Writes{128}) << "a full buffer goes out at once";
  WriteStr(file, std::string(200, 'b'));
  WriteChar(file, 'c');
  EndLine(file);
  Close(file);
  EXPECT_EQ(IoFailureCode, 0);
  EXPECT_EQ(tavplat::PlatformTrace().fileWrites, (Writes{128, 128, 75}));
  EXPECT_EQ(ReadFile(path), std::string(126, 'a') + "\r\n" + std::string(200, 'b') + "c\r\n");
}

TEST_F(OutFileTest, ExactlyOneBufferNeedsNoWriteAtClose) {
  const std::string path = TempPath("exact.txt");
  TextOutFile file;
  Create(file, path);
  WriteStr(file, std::string(126, 'x'));
  EndLine(file);
  Close(file);
  EXPECT_EQ(tavplat::PlatformTrace().fileWrites, Writes{128});
}

TEST_F(OutFileTest, CreateEmptiesAnExistingFile) {
  const std::string path = TempPath("twice.txt");
  for (const char* text : {"a much longer first content", "second"}) {
    TextOutFile file;
    Create(file, path);
    WriteStr(file, text);
    EndLine(file);
    Close(file);
  }
  EXPECT_EQ(ReadFile(path), "second\r\n");
}

TEST_F(OutFileTest, CharacterDeviceIsWrittenLineByLine) {
  TextOutFile file;
  Create(file, "/dev/null");
  ASSERT_EQ(IoFailureCode, 0);
  WriteStr(file, "one");
  EndLine(file);
  WriteStr(file, "three");
  EndLine(file);
  Close(file);
  EXPECT_EQ(tavplat::PlatformTrace().fileWrites, (Writes{5, 7}));
}

TEST_F(OutFileTest, FailuresSetTheirCodes) {
  TextOutFile missing;
  Create(missing, TempPath("no-such-folder/x.txt"));
  EXPECT_EQ(IoFailureCode, ERROR_PATH_NOT_FOUND);

  IoFailureCode = 0;
  tavplat::InjectedFaults().fileTypeUnknown = true;
  TextOutFile untyped;
  Create(untyped, TempPath("untyped.txt"));
  EXPECT_EQ(IoFailureCode, 105);
  EXPECT_FALSE(untyped.IsOpen);

  IoFailureCode = 0;
  tavplat::ResetFaults();
  tavplat::InjectedFaults().shortWrite = true;
  TextOutFile text;
  Create(text, TempPath("short.txt"));
  WriteStr(text, "abc");
  Close(text);
  EXPECT_EQ(IoFailureCode, 101) << "a short write is a failure, not a success";
  EXPECT_TRUE(text.IsOpen) << "a failed write-out leaves the file open";

  IoFailureCode = 0;
  RawOutFile raw;
  Create(raw, TempPath("short.bin"));
  WriteBlock(raw, "abc", 3);
  EXPECT_EQ(IoFailureCode, 101);

  IoFailureCode = 0;
  tavplat::ResetFaults();
  tavplat::InjectedFaults().writeError = ERROR_DISK_FULL;
  tavplat::InjectedFaults().writeFailAfter = 128;
  TextOutFile full;
  Create(full, TempPath("full.txt"));
  WriteStr(full, std::string(300, 'z'));
  EXPECT_EQ(IoFailureCode, ERROR_DISK_FULL);
  EXPECT_EQ(tavplat::PlatformTrace().fileWrites, (Writes{128, 128}))
      << "the rest of a string is not copied after a failed write-out";
  EXPECT_EQ(ReadFile(TempPath("full.txt")), std::string(128, 'z'));
}

TEST_F(OutFileTest, CheckIoEndsTheRunWithTheFailureReport) {
  CheckIo();  // nothing failed: returns
  IoFailureCode = ERROR_ACCESS_DENIED;
  EXPECT_EXIT(CheckIo(), ::testing::ExitedWithCode(1),
              std::string("^") + FailureLine + "File access denied\\.\r\n\r\n$");
  IoFailureCode = 101;
  EXPECT_EXIT(CheckIo(), ::testing::ExitedWithCode(1), "\r\nDisk full\\.\r\n\r\n$");
  IoFailureCode = 105;
  EXPECT_EXIT(CheckIo(), ::testing::ExitedWithCode(1), "\r\nI/O error 105\\.\r\n\r\n$");
}

}  // namespace
