// What no file can show: how the bytes are handed to the platform, and platform failures
// injected through tavplat::InjectedFaults. Everything a run can show is a case folder.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "OutFile.h"
#include "RegAccess.h"
#include "Scan.h"
#include "faults.h"
#include "registry.h"

namespace {

using Writes = std::vector<DWORD>;

class Injected : public ::testing::Test {
 protected:
  void SetUp() override {
    tavplat::ResetRegistry();
    tavplat::ResetFaults();
    IoFailureCode = 0;
  }
  void TearDown() override { tavplat::ResetFaults(); }
  const Writes& writes = tavplat::PlatformTrace().fileWrites;
  const std::string path = ::testing::TempDir() + "tavlib-" + std::to_string(getpid());
};

TEST_F(Injected, TextGoesOutInFullBuffersOrLinesToADevice) {
  TextOutFile file, exact, device;
  Create(file, path);
  WriteStr(file, std::string(126, 'a'));
  EndLine(file);
  EXPECT_EQ(writes, Writes{128}) << "a full buffer goes out at once";
  WriteStr(file, std::string(200, 'b'));
  WriteChar(file, 'c');
  EndLine(file);
  Close(file);
  EXPECT_EQ(writes, (Writes{128, 128, 75}));
  Create(exact, path);
  WriteStr(exact, std::string(126, 'x'));
  EndLine(exact);
  Close(exact);
  EXPECT_EQ(writes, (Writes{128, 128, 75, 128})) << "nothing left for the close";
  Create(device, "/dev/null");
  WriteStr(device, "one");
  EndLine(device);
  WriteStr(device, "three");
  EndLine(device);
  Close(device);
  EXPECT_EQ(writes, (Writes{128, 128, 75, 128, 5, 7}));
  EXPECT_EQ(IoFailureCode, 0);
}

TEST_F(Injected, OutputFailures) {
  auto& faults = tavplat::InjectedFaults();
  faults.fileTypeUnknown = true;
  TextOutFile untyped, closing, text, failing;
  Create(untyped, path);
  EXPECT_EQ(IoFailureCode, 105);
  EXPECT_FALSE(untyped.IsOpen);

  IoFailureCode = 0;
  faults = {};
  faults.closeError = ERROR_ACCESS_DENIED;
  Create(closing, path);
  Close(closing);
  EXPECT_EQ(IoFailureCode, ERROR_ACCESS_DENIED) << "a failed close";

  IoFailureCode = 0;
  faults = {};
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

  IoFailureCode = 0;
  tavplat::ResetFaults();
  faults.writeError = ERROR_IO_DEVICE;
  faults.writeFailAfter = 128;
  Create(failing, path);
  WriteStr(failing, std::string(300, 'z'));
  EXPECT_EQ(IoFailureCode, ERROR_IO_DEVICE);
  EXPECT_EQ(writes, (Writes{128, 128})) << "no more write-outs after a failed one";
}

TEST_F(Injected, ExpansionAndValuesThatChangeOrFail) {
  std::string result = "stale";
  ExpandEnvStr("", result);
  EXPECT_EQ(result + std::to_string(tavplat::PlatformTrace().expandCalls), "0")
      << "an empty text needs no platform call";
  setenv("TAVLONG", std::string(260, 'a').c_str(), 1);
  ExpandEnvStr("%TAVLONG%", result);
  EXPECT_EQ(tavplat::PlatformTrace().expandCalls, 1) << "260 characters fit the first call";
  setenv("TAVLONG", std::string(261, 'b').c_str(), 1);
  ExpandEnvStr("%TAVLONG%", result);
  EXPECT_EQ(tavplat::PlatformTrace().expandCalls, 3);
  EXPECT_EQ(result, std::string(261, 'b'));
  tavplat::InjectedFaults().expandError = ERROR_NOT_ENOUGH_MEMORY;
  ExpandEnvStr("%TAVLONG%", result);
  EXPECT_EQ(result, "") << "a failed expansion";

  tavplat::SetRegString("grows", "", "text");
  tavplat::InjectedFaults().growValueKey = "grows";
  tavplat::InjectedFaults().growBy = 4;
  result = "previous";
  EXPECT_FALSE(ReadDefaultValue("grows", result));
  EXPECT_EQ(result, "previous") << "a value that grew between the two queries";
  EXPECT_EQ(tavplat::PlatformTrace().openKeys, 0) << "every opened key is closed";
}

TEST_F(Injected, RootKeysThatFailToEnumerateStayEmpty) {
  for (const char* key : {"zeta", ".b", "Alpha", "_x"}) tavplat::AddRegKey(key);
  tavplat::InjectedFaults().enumFailIndexes = {1};
  TTavArrayOfString keys;
  EnumRootKeys(keys, 4, 5);
  EXPECT_EQ(keys, (TTavArrayOfString{".b", "", "zeta", "_x"}));
  tavplat::InjectedFaults().enumFailIndexes.clear();
  EnumRootKeys(keys, 4, 1);
  EXPECT_EQ(keys, (TTavArrayOfString{".b", "Alpha", "zeta", "_x"}))
      << "names longer than the given length are fetched again";
}

}  // namespace
