// What no file can show: how the bytes are handed to the platform, and platform failures
// injected through tavplat::injected. Everything a run can show is a case folder.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "OutFile.h"
#include "RegAccess.h"
#include "Scan.h"
#include "faults.h"
#include "registry.h"

namespace {

using Writes = std::vector<DWORD>;
tavplat::Faults& faults = tavplat::injected;

class Injected : public ::testing::Test {
 protected:
  void SetUp() override {
    tavplat::ResetRegistry();
    faults = {};
    IoFailureCode = 0;
  }
  void TearDown() override { faults = {}; }
  static void Line(TextOutFile& file, const std::string& text) {
    WriteStr(file, text);
    EndLine(file);
  }
  const std::string path = ::testing::TempDir() + "tavlib-" + std::to_string(getpid());
};

TEST_F(Injected, TextGoesOutInFullBuffersOrLinesToADevice) {
  TextOutFile file, exact, device;
  Create(file, path);
  Line(file, std::string(126, 'a'));
  EXPECT_EQ(faults.fileWrites, Writes{128}) << "a full buffer goes out at once";
  WriteStr(file, std::string(200, 'b'));
  WriteChar(file, 'c');
  EndLine(file);
  Close(file);
  Create(exact, path);
  Line(exact, std::string(126, 'x'));
  Close(exact);
  EXPECT_EQ(faults.fileWrites, (Writes{128, 128, 75, 128})) << "nothing left for the close";
  Create(device, "/dev/null");
  Line(device, "one");
  Line(device, "three");
  Close(device);
  EXPECT_EQ(faults.fileWrites, (Writes{128, 128, 75, 128, 5, 7}));
  EXPECT_EQ(IoFailureCode, 0);
}

TEST_F(Injected, OutputFailures) {
  TextOutFile untyped, closing, text, failing;
  faults.fileTypeUnknown = true;
  Create(untyped, path);
  EXPECT_EQ(IoFailureCode, 105);
  EXPECT_FALSE(untyped.IsOpen);
  SetUp();
  faults.closeError = ERROR_ACCESS_DENIED;
  Create(closing, path);
  Close(closing);
  EXPECT_EQ(IoFailureCode, ERROR_ACCESS_DENIED) << "a failed close";
  SetUp();
  faults.shortWrite = true;
  Create(text, path);
  WriteStr(text, "abc");
  Close(text);
  EXPECT_EQ(IoFailureCode, 101) << "a short write is a full disk, not a success";
  EXPECT_TRUE(text.IsOpen) << "a failed write-out leaves the file open";
  IoFailureCode = 0;
  RawOutFile raw;
  Create(raw, path);
  WriteBlock(raw, "abc", 3);
  EXPECT_EQ(IoFailureCode, 101);
  SetUp();
  faults.writeError = ERROR_IO_DEVICE;
  faults.writesBeforeFailure = 1;
  Create(failing, path);
  WriteStr(failing, std::string(300, 'z'));
  EXPECT_EQ(IoFailureCode, ERROR_IO_DEVICE);
  EXPECT_EQ(faults.fileWrites, (Writes{128, 128})) << "no more write-outs after a failed one";
}

TEST_F(Injected, ExpansionAndValuesThatChangeOrFail) {
  std::string result = "stale";
  ExpandEnvStr("", result);
  EXPECT_EQ(result + std::to_string(faults.expandCalls), "0") << "an empty text needs no platform call";
  setenv("TAVLONG", std::string(260, 'a').c_str(), 1);
  ExpandEnvStr("%TAVLONG%", result);
  EXPECT_EQ(faults.expandCalls, 1) << "260 characters fit the first call";
  setenv("TAVLONG", std::string(261, 'b').c_str(), 1);
  ExpandEnvStr("%TAVLONG%", result);
  EXPECT_EQ(result + std::to_string(faults.expandCalls), std::string(261, 'b') + "3");
  faults.expandError = ERROR_NOT_ENOUGH_MEMORY;
  ExpandEnvStr("%TAVLONG%", result);
  EXPECT_EQ(result, "") << "a failed expansion";
  tavplat::SetRegString("grows", "", "text");
  faults.growBy = 4;
  result = "previous";
  EXPECT_FALSE(ReadDefaultValue("grows", result));
  EXPECT_EQ(result, "previous") << "a value that grew between the two queries";
  EXPECT_EQ(faults.openKeys, 0) << "every opened key is closed";
}

TEST_F(Injected, RootKeysThatFailToEnumerateStayEmpty) {
  for (const char* key : {"zeta", ".b", "Alpha", "_x"}) tavplat::AddRegKey(key);
  faults.enumFailIndexes = {1};
  TTavArrayOfString keys;
  EnumRootKeys(keys, 4, 5);
  EXPECT_EQ(keys, (TTavArrayOfString{".b", "", "zeta", "_x"}));
  faults.enumFailIndexes.clear();
  EnumRootKeys(keys, 4, 1);
  EXPECT_EQ(keys, (TTavArrayOfString{".b", "Alpha", "zeta", "_x"}))
      << "names longer than the given length are fetched again";
}

}  // namespace
