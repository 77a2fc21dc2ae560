// The end-to-end tests see the bytes and the failure report; these see how the bytes are
// handed to the platform, and the failures that no real file gives.
#include "OutFile.h"

#include "Fixture.h"

namespace {

using OutFileTest = PlatformTest;
using Writes = std::vector<DWORD>;

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

  tavplat::ResetFaults();
  TextOutFile exact;
  Create(exact, path);
  WriteStr(exact, std::string(126, 'x'));
  EndLine(exact);
  Close(exact);
  EXPECT_EQ(tavplat::PlatformTrace().fileWrites, Writes{128}) << "nothing left for the close";
}

TEST_F(OutFileTest, CharacterDeviceIsWrittenLineByLine) {
  TextOutFile file;
  Create(file, "/dev/null");
  WriteStr(file, "one");
  EndLine(file);
  WriteStr(file, "three");
  EndLine(file);
  Close(file);
  EXPECT_EQ(IoFailureCode, 0);
  EXPECT_EQ(tavplat::PlatformTrace().fileWrites, (Writes{5, 7}));
}

TEST_F(OutFileTest, FailuresThatNoRealFileGives) {
  tavplat::InjectedFaults().fileTypeUnknown = true;
  TextOutFile untyped;
  Create(untyped, TempPath("untyped.txt"));
  EXPECT_EQ(IoFailureCode, 105);
  EXPECT_FALSE(untyped.IsOpen);

  IoFailureCode = 0;
  tavplat::ResetFaults();
  tavplat::InjectedFaults().closeError = ERROR_ACCESS_DENIED;
  TextOutFile closing;
  Create(closing, TempPath("closing.txt"));
  Close(closing);
  EXPECT_EQ(IoFailureCode, ERROR_ACCESS_DENIED) << "a failed close";

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
  tavplat::InjectedFaults().writeError = ERROR_IO_DEVICE;
  tavplat::InjectedFaults().writeFailAfter = 128;
  TextOutFile failing;
  Create(failing, TempPath("failing.txt"));
  WriteStr(failing, std::string(300, 'z'));
  EXPECT_EQ(IoFailureCode, ERROR_IO_DEVICE);
  EXPECT_EQ(tavplat::PlatformTrace().fileWrites, (Writes{128, 128}))
      << "the rest of a string is not copied after a failed write-out";
}

}  // namespace
