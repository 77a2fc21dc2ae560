#include "RegAccess.h"

#include "Fixture.h"

namespace {

using RegAccessTest = PlatformTest;

std::vector<BYTE> Utf16(const std::string& ascii, bool terminated) {
  std::vector<BYTE> bytes;
  for (char c : ascii) bytes.insert(bytes.end(), {static_cast<BYTE>(c), 0});
  if (terminated) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

TEST_F(RegAccessTest, ExpandEnvStrCallsThePlatformOnlyAsOftenAsNeeded) {
  std::string result = "stale";
  ExpandEnvStr("", result);
  EXPECT_EQ(result, "");
  EXPECT_EQ(tavplat::PlatformTrace().expandCalls, 0) << "an empty text needs no platform call";

  setenv("TAVLONG", std::string(260, 'a').c_str(), 1);
  ExpandEnvStr("%TAVLONG%", result);
  EXPECT_EQ(result, std::string(260, 'a'));
  EXPECT_EQ(tavplat::PlatformTrace().expandCalls, 1);
  setenv("TAVLONG", std::string(261, 'b').c_str(), 1);
  ExpandEnvStr("%tavlong%", result);
  EXPECT_EQ(result, std::string(261, 'b'));
  EXPECT_EQ(tavplat::PlatformTrace().expandCalls, 3) << "past 260 characters a second call";

  tavplat::InjectedFaults().expandError = ERROR_NOT_ENOUGH_MEMORY;
  ExpandEnvStr("%systemroot%", result);
  EXPECT_EQ(result, "") << "a failed expansion";
}

TEST_F(RegAccessTest, ReadDefaultValueTakesTextUpToItsZeroAndNothingElse) {
  tavplat::SetRegValue("mid", "", REG_SZ, Utf16(std::string("ab\0cd", 5), true));
  tavplat::SetRegValue("open", "", REG_SZ, Utf16("xyz", false));
  std::string value;
  EXPECT_TRUE(ReadDefaultValue("mid", value));
  EXPECT_EQ(value, "ab");
  EXPECT_TRUE(ReadDefaultValue("open", value));
  EXPECT_EQ(value, "xyz");

  tavplat::AddRegKey("nodefault");
  tavplat::SetRegValue("empty", "", REG_SZ, Utf16("", true));
  tavplat::SetRegValue("onechar", "", REG_SZ, Utf16("q", false));
  tavplat::SetRegValue("number", "", REG_DWORD, {1, 0, 0, 0});
  tavplat::SetRegValue("binary", "", REG_BINARY, {0x41, 0x42, 0x43, 0});
  tavplat::SetRegString("named", "other", "text");
  Def("expandsToNothing", "%TAVEMPTY%", REG_EXPAND_SZ);
  setenv("TAVEMPTY", "", 1);
  Def("grows", "text");
  tavplat::InjectedFaults().growValueKey = "grows";
  tavplat::InjectedFaults().growBy = 4;
  for (const char* key : {"missing", "nodefault", "empty", "onechar", "number", "binary", "named",
                          "expandsToNothing", "grows"}) {
    value = "previous";
    EXPECT_FALSE(ReadDefaultValue(key, value)) << key;
    EXPECT_EQ(value, "previous") << key;
  }
  EXPECT_EQ(tavplat::PlatformTrace().openKeys, 0) << "every opened key is closed";
}

}  // namespace
