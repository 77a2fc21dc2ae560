// The registry functions against what the real ones do under Wine 8, probed with the same
// keys, values and calls. Enumeration order and a missing registry are case folders.
#include "registry.h"
#include "scoped_env.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "Process.h"
#include "faults.h"

namespace {

using Bytes = std::vector<BYTE>;
const HKEY Root = HKEY_CLASSES_ROOT, Bad = HKEY(0x1234);

// The UTF-16LE bytes of a literal (inner zeros included), cut or padded to `byteCount`.
template <std::size_t N>
Bytes Units(const char16_t (&text)[N], std::size_t byteCount) {
  Bytes out;
  for (char16_t c : std::u16string_view(text, N - 1)) out.insert(out.end(), {BYTE(c), BYTE(c >> 8)});
  out.resize(byteCount, 0);
  return out;
}

std::string Hex(const BYTE* p, std::size_t n) {
  std::string s;
  char b[4];
  for (std::size_t i = 0; i < n; ++i) s += (std::snprintf(b, sizeof b, "%02X ", p[i]), b);
  return s;
}

// Subkeys, longest subkey name, values, longest value name, longest value, as "1 2 3 4 5".
std::string Info(HKEY key) {
  DWORD n[5] = {9, 9, 9, 9, 9};
  const LSTATUS status = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &n[0], &n[1], nullptr,
                                          &n[2], &n[3], &n[4], nullptr, nullptr);
  if (status) return "error " + std::to_string(status);
  return std::to_string(n[0]) + " " + std::to_string(n[1]) + " " + std::to_string(n[2]) + " " +
         std::to_string(n[3]) + " " + std::to_string(n[4]);
}

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    tavplat::ResetRegistry();
    tavplat::ResetFaults();
  }
  static HKEY Open(const std::string& path) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(Root, path.c_str(), 0, KEY_READ, &key), 0) << path;
    return key;
  }
  ScopedEnv acp_{"TAVDUMP_ACP", std::nullopt};
  const int& openKeys = tavplat::PlatformTrace().openKeys;
};

TEST_F(Registry, OpeningAndClosingKeys) {
  tavplat::AddRegKey("Probe\\a\\deep");
  tavplat::AddRegKey("Probe\\b");
  HKEY probe = Open("Probe");
  struct Case { HKEY from; const char* path; REGSAM access; LSTATUS status; DWORD subkeys; };
  for (const Case& c : {Case{Root, "pROBE\\A", KEY_READ, 0, 1}, {Root, "Probe\\missing", KEY_READ, 2, 0},
                        {Root, "NoSuch\\a", KEY_READ, 2, 0}, {Root, "Probe\\.", KEY_READ, 2, 0},
                        {Root, "\\Probe", KEY_READ, 0, 2}, {Root, "\\\\Probe", KEY_READ, ERROR_BAD_PATHNAME, 0},
                        {Root, "\\Probe\\\\a", KEY_READ, 0, 1}, {Root, "Probe\\", KEY_READ, 0, 2},
                        {Root, "\\", KEY_READ, 0, 1}, {Root, "", KEY_READ, 0, 1}, {Root, nullptr, KEY_READ, 0, 1},
                        {probe, "a\\\\deep", KEY_READ, 0, 0}, {probe, "a\\", KEY_READ, 0, 1},
                        {probe, "\\a", KEY_READ, ERROR_BAD_PATHNAME, 0}, {probe, nullptr, KEY_READ, 0, 2},
                        {probe, "", KEY_READ, 0, 2}, {Bad, "a", KEY_READ, ERROR_INVALID_HANDLE, 0},
                        {nullptr, "a", KEY_READ, ERROR_INVALID_HANDLE, 0},
                        // KEY_WRITE, KEY_SET_VALUE and KEY_ALL_ACCESS; a missing key is missing first
                        {Root, "Probe", 0x20006u, ERROR_ACCESS_DENIED, 0},
                        {Root, "Probe", KEY_READ | 0x2u, ERROR_ACCESS_DENIED, 0},
                        {Root, "Probe", 0xF003Fu, ERROR_ACCESS_DENIED, 0}, {Root, "gone", 0x20006u, 2, 0}}) {
    const std::string label = c.path ? c.path : "(null)";
    HKEY key = HKEY(0x55);
    ASSERT_EQ(RegOpenKeyExA(c.from, c.path, 0, c.access, &key), c.status) << label;
    if (c.status != 0) {
      EXPECT_EQ(key, nullptr) << "a failed open leaves no handle: " << label;
      continue;
    }
    EXPECT_TRUE(Info(key).starts_with(std::to_string(c.subkeys) + " ")) << label << ": " << Info(key);
    EXPECT_NE(key, c.from) << "every open gives a new handle: " << label;
    EXPECT_EQ(RegCloseKey(key), 0);
  }
  EXPECT_EQ(RegOpenKeyExA(Root, "Probe", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(openKeys, 1);
  HKEY again = Open("probe");
  EXPECT_EQ(RegCloseKey(probe), 0);
  EXPECT_EQ(RegCloseKey(probe), ERROR_INVALID_HANDLE) << "closed twice";
  EXPECT_EQ(RegCloseKey(Bad), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(Root), 0);
  EXPECT_EQ(openKeys, 1);
  RegCloseKey(again);
  EXPECT_EQ(openKeys, 0);
}

TEST_F(Registry, EnumerationCountsAnsiBytesButInfoCountsCharacters) {
  ScopedEnv acp("TAVDUMP_ACP", "932");
  tavplat::AddRegKey("r\\ab");
  tavplat::AddRegKey("r\\\xE6\x97\xA5\xE6\x9C\xAC\xE6\x97\xA5");  // three characters, six bytes
  tavplat::AddRegKey("r\\\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9");     // four characters, "eeee"
  HKEY r = Open("r");
  char buf[16] = "QQQQQQQQ", cls[4] = "zz";
  DWORD size = 6, clsSize = 4, reserved = 0;
  FILETIME time{7, 7};
  EXPECT_EQ(RegEnumKeyExA(r, 2, buf, &size, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  EXPECT_EQ(std::to_string(size) + buf[0], "6Q") << "a name that does not fit leaves length and buffer";
  size = 7;
  EXPECT_EQ(RegEnumKeyExA(r, 2, buf, &size, nullptr, cls, &clsSize, &time), 0);
  EXPECT_EQ(Hex(reinterpret_cast<BYTE*>(buf), 8), "93 FA 96 7B 93 FA 00 51 ");
  EXPECT_EQ(std::to_string(size) + cls + std::to_string(clsSize) + std::to_string(time.dwLowDateTime), "600");
  EXPECT_EQ(RegEnumKeyExA(r, 3, buf, &size, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegEnumKeyExA(r, ~0u, buf, &size, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegEnumKeyExA(r, 0, buf, &size, &reserved, nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Info(r), "3 4 0 0 0") << "the longest name has four UTF-16 characters, six ANSI bytes";
  tavplat::SetRegValue("r", "\xE6\x97\xA5\xE6\x9C\xAC\xE6\x97\xA5", REG_SZ, Units(u"xyz", 8));
  EXPECT_EQ(Info(r), "3 4 1 3 8");
  EXPECT_EQ(RegQueryInfoKeyA(r, cls, nullptr, nullptr, &size, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER) << "class without its size";
  tavplat::AddRegKey("t\\\xE8\xA1\xA8\\x");
  RegCloseKey(Open("t\\\x95\x5C\\x"));  // 0x95 0x5C is one character: it splits no path
  RegCloseKey(r);
}

TEST_F(Registry, ValuesComeInTheirAnsiFormWithTheirAnsiSize) {
  // Each value as Wine 8 stores it and gives it back in code pages 1252 and 932.
  struct Case { const char* name; DWORD type; Bytes stored; const char* cp1252; const char* cp932; };
  const std::vector<Case> cases = {
      {"", REG_SZ, Units(u"h\u00e9llo", 12), "68 E9 6C 6C 6F 00 ", "68 65 6C 6C 6F 00 "},
      {"nozero", REG_SZ, Units(u"abc", 6), "61 62 63 ", "61 62 63 "},
      {"odd", REG_SZ, Units(u"abc", 5), "61 62 ", "61 62 "},
      {"one", REG_SZ, {0x61}, "", ""},
      {"zeroonly", REG_SZ, {0, 0}, "00 ", "00 "},
      {"midzero", REG_SZ, Units(u"ab\0cd", 12), "61 62 00 63 64 00 ", "61 62 00 63 64 00 "},
      {"exp", REG_EXPAND_SZ, Units(u"%w%\\x", 12), "25 77 25 5C 78 00 ", "25 77 25 5C 78 00 "},
      {"multi", REG_MULTI_SZ, Units(u"ab\0c\u00e9\0", 14), "61 62 00 63 E9 00 00 ", "61 62 00 63 65 00 00 "},
      {"jp", REG_SZ, Units(u"\u65e5\u672cx", 8), "3F 3F 78 00 ", "93 FA 96 7B 78 00 "},
      {"unmapped", REG_SZ, Units(u"\u0100\u4e00", 6), "41 3F 00 ", "3F 88 EA 00 "},
      {"bin", REG_BINARY, {1, 2, 3}, "01 02 03 ", "01 02 03 "},
      {"dw", REG_DWORD, {0x78, 0x56, 0x34, 0x12}, "78 56 34 12 ", "78 56 34 12 "},
      {"binsz", 0x40, Units(u"ab", 6), "61 00 62 00 00 00 ", "61 00 62 00 00 00 "}};
  for (const Case& c : cases) tavplat::SetRegValue("vals", c.name, c.type, c.stored);
  for (const char* acp : {"1252", "932"}) {
    ScopedEnv page("TAVDUMP_ACP", acp);
    HKEY vals = Open("vals");
    for (const Case& c : cases) {
      const std::string expected = acp[0] == '1' ? c.cp1252 : c.cp932;
      const std::string label = std::string(acp) + " value \"" + c.name + "\"";
      const auto size = DWORD(expected.size() / 3);
      DWORD type = 99, got = 0;
      BYTE buf[32];
      std::memset(buf, 0xCC, sizeof buf);
      ASSERT_EQ(RegQueryValueExA(vals, c.name, nullptr, &type, nullptr, &got), 0) << label;
      EXPECT_EQ(type * 1000 + got, c.type * 1000 + size) << label << ": type and size";
      if (size > 0) {
        got = size - 1;
        EXPECT_EQ(RegQueryValueExA(vals, c.name, nullptr, &type, buf, &got), ERROR_MORE_DATA) << label;
        EXPECT_EQ(got * 1000 + buf[0], size * 1000 + 0xCC) << label << ": needed size, buffer untouched";
      }
      got = size;
      EXPECT_EQ(RegQueryValueExA(vals, c.name, nullptr, &type, buf, &got), 0) << label;
      EXPECT_EQ(Hex(buf, size + 1), expected + "CC ") << label;
      // With room to spare a string that lacks its zero gets one, not counted in the size.
      got = sizeof buf;
      EXPECT_EQ(RegQueryValueExA(vals, c.name, nullptr, &type, buf, &got), 0) << label;
      EXPECT_EQ(got, size) << label;
      const bool text = c.type == REG_SZ || c.type == REG_EXPAND_SZ || c.type == REG_MULTI_SZ;
      const bool terminated = size == 0 || !text || buf[size - 1] == 0;
      EXPECT_EQ(Hex(buf, size + 1), expected + (terminated ? "CC " : "00 ")) << label;
    }
    RegCloseKey(vals);
  }
}

TEST_F(Registry, ValueQueriesFailAsWindowsDoes) {
  tavplat::SetRegString("v", "", "text");
  tavplat::SetRegString("v", "\xC3\xA9name", "x");
  HKEY v = Open("v");
  DWORD type = 99, size = 77, reserved = 0;
  BYTE buf[8];
  EXPECT_EQ(RegQueryValueExA(v, "missing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(type * 100 + size, 0u) << "no value: type and size cleared";
  size = 8;
  EXPECT_EQ(RegQueryValueExA(v, "missing", nullptr, &type, buf, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(size, 8u) << "with a buffer the size is left as it was";
  EXPECT_EQ(RegQueryValueExA(v, "\xC9NAME", nullptr, &type, nullptr, &size), 0) << "any letter case";
  EXPECT_EQ(RegQueryValueExA(v, "", nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(RegQueryValueExA(v, "", nullptr, &type, buf, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExA(v, "", &reserved, &type, nullptr, &size), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegQueryValueExA(Bad, "", nullptr, &type, nullptr, &size), ERROR_INVALID_HANDLE);
  size = 0;
  EXPECT_EQ(RegQueryValueExA(v, nullptr, nullptr, &type, buf, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 5u);
  RegCloseKey(v);
}

// Quadratic work would run into ctest's time limit here; the real cost is about a second
// (docs/performance.md measures it).
TEST_F(Registry, AHundredThousandRootKeysLoadOpenAndEnumerate) {
  tavtest::TempDir dir;
  std::string text = "REGEDIT4\r\n";
  for (int i = 99999; i >= 0; --i)
    text += "[HKEY_CLASSES_ROOT\\K" + std::to_string(i) + "\\shell\\open\\command]\r\n@=\"run " +
            std::to_string(i) + "\"\r\n";
  ASSERT_TRUE(tavtest::WriteFileBytes(dir.Path + "/big.reg", text));
  ScopedEnv registry("TAVDUMP_REGISTRY", dir.Path + "/big.reg");
  tavplat::ReloadRegistry();
  ASSERT_EQ(Info(Root), "100000 6 0 0 0");
  std::string first;
  for (DWORD i = 0; i < 100000; ++i) {
    char name[16], value[16];
    DWORD size = sizeof name, valueSize = sizeof value;
    ASSERT_EQ(RegEnumKeyExA(Root, i, name, &size, nullptr, nullptr, nullptr, nullptr), 0);
    if (i < 4) first += std::string(name) + " ";
    HKEY key = Open(std::string(name) + "\\shell\\open\\command");
    ASSERT_EQ(RegQueryValueExA(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &valueSize), 0);
    ASSERT_EQ(std::string(value), "run " + std::string(name + 1));
    RegCloseKey(key);
  }
  EXPECT_EQ(first, "K0 K1 K10 K100 ");
}

}  // namespace
