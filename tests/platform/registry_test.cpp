// The registry functions against what the real ones do under Wine 8 (probed with the
// same keys, values and calls), and the tree behind them.
#include "registry.h"
#include "scoped_env.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "codepage.h"
#include "faults.h"

namespace {

using Bytes = std::vector<BYTE>;
using Names = std::vector<std::string>;

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

LSTATUS Info(HKEY key, DWORD* subkeys, DWORD* longest = nullptr, DWORD* values = nullptr,
             DWORD* longestValueName = nullptr, DWORD* longestValue = nullptr) {
  return RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, subkeys, longest, nullptr, values,
                          longestValueName, longestValue, nullptr, nullptr);
}

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    tavplat::ResetRegistry();
    tavplat::ResetFaults();
  }
  ScopedEnv acp_{"TAVDUMP_ACP", std::nullopt};

  static HKEY Open(const std::string& path) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key), 0) << path;
    return key;
  }
  static Names Enumerate(HKEY key) {
    Names names;
    char name[300];
    for (DWORD i = 0, size = sizeof name;
         RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) == 0;
         ++i, size = sizeof name) {
      EXPECT_EQ(size, std::strlen(name));
      names.emplace_back(name);
    }
    return names;
  }
};

TEST_F(Registry, SubkeysEnumerateSortedByUpperCasedUnits) {
  for (const char* name : {"a", "B", "_", "b1", "[", "~", "Z", "z0", "\xC3\xA9t", "\xC3\x89u", "`", "^",
                           "1", ".x", "*", "ab", "Ab0", "{", "\xC3\x9F", "\xC3\xBF", "\xC4\xB1",
                           "\xE6\x97\xA5\xE6\x9C\xAC", "AB\\deeper"})
    tavplat::AddRegKey(std::string("P\\") + name);
  HKEY p = Open("p");
  // Wine 8 sorts by lower case and so puts [ ^ _ ` before the letters; Windows and this
  // layer sort by upper case (e9 -> c9, ff -> 178, dotless i 131 stays).
  EXPECT_EQ(Enumerate(p), (Names{"*", ".x", "1", "a", "ab", "Ab0", "B", "b1", "Z", "z0", "[", "^", "_",
                                 "`", "{", "~", "\xE9t", "\xC9u", "\xDF", "i", "\xFF", "??"}));
  RegCloseKey(p);
}

TEST_F(Registry, OpenFollowsTheWindowsPathRules) {
  tavplat::AddRegKey("Probe\\a\\deep");
  tavplat::AddRegKey("Probe\\b");
  HKEY probe = Open("Probe");
  const HKEY root = HKEY_CLASSES_ROOT;
  struct Case { HKEY from; const char* path; LSTATUS status; DWORD subkeys; };
  for (const Case& c : {Case{root, "pROBE\\A", 0, 1}, Case{root, "Probe\\missing", 2, 0},
                        Case{root, "NoSuch\\a", 2, 0}, Case{root, "Probe\\.", 2, 0},
                        Case{root, "\\Probe", 0, 2}, Case{root, "\\\\Probe", ERROR_BAD_PATHNAME, 0},
                        Case{root, "\\Probe\\\\a", 0, 1}, Case{root, "Probe\\", 0, 2},
                        Case{root, "\\", 0, 1}, Case{root, "", 0, 1}, Case{root, nullptr, 0, 1},
                        Case{probe, "a\\\\deep", 0, 0}, Case{probe, "a\\", 0, 1},
                        Case{probe, "\\a", ERROR_BAD_PATHNAME, 0}, Case{probe, nullptr, 0, 2},
                        Case{probe, "", 0, 2}, Case{HKEY(0x1234), "a", ERROR_INVALID_HANDLE, 0},
                        Case{nullptr, "a", ERROR_INVALID_HANDLE, 0}}) {
    const std::string label = c.path ? c.path : "(null)";
    HKEY key = HKEY(0x55);
    ASSERT_EQ(RegOpenKeyExA(c.from, c.path, 0, KEY_READ, &key), c.status) << label;
    if (c.status != 0) {
      EXPECT_EQ(key, nullptr) << "a failed open leaves no handle: " << label;
      continue;
    }
    DWORD subkeys = 99;
    EXPECT_EQ(Info(key, &subkeys), 0);
    EXPECT_EQ(subkeys, c.subkeys) << label;
    EXPECT_NE(key, c.from) << "every open gives a new handle: " << label;
    EXPECT_EQ(RegCloseKey(key), 0);
  }
  EXPECT_EQ(RegOpenKeyExA(root, "Probe", 0, KEY_READ, nullptr), ERROR_INVALID_PARAMETER);
  RegCloseKey(probe);
}

TEST_F(Registry, OnlyReadAccessIsGrantedAndHandlesAreCounted) {
  tavplat::AddRegKey("k");
  HKEY key = nullptr;
  // KEY_WRITE, KEY_SET_VALUE and KEY_ALL_ACCESS; a missing key is missing first.
  for (REGSAM write : {0x20006u, KEY_READ | 0x2u, 0xF003Fu})
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "k", 0, write, &key), ERROR_ACCESS_DENIED) << write;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "gone", 0, 0x20006u, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(tavplat::PlatformTrace().openKeys, 0);

  HKEY a = Open("k"), b = Open("K");
  EXPECT_EQ(tavplat::PlatformTrace().openKeys, 2);
  EXPECT_EQ(RegCloseKey(a), 0);
  EXPECT_EQ(RegCloseKey(a), ERROR_INVALID_HANDLE) << "closed twice";
  EXPECT_EQ(RegCloseKey(HKEY(0x1234)), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(HKEY_CLASSES_ROOT), 0);
  EXPECT_EQ(tavplat::PlatformTrace().openKeys, 1);
  RegCloseKey(b);
  EXPECT_EQ(tavplat::PlatformTrace().openKeys, 0);
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
  EXPECT_EQ(size, 6u) << "a name that does not fit leaves the length as given";
  EXPECT_EQ(buf[0], 'Q') << "and the buffer";
  size = 7;
  EXPECT_EQ(RegEnumKeyExA(r, 2, buf, &size, nullptr, cls, &clsSize, &time), 0);
  EXPECT_EQ(Hex(reinterpret_cast<BYTE*>(buf), 8), "93 FA 96 7B 93 FA 00 51 ");
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(std::string(cls) + std::to_string(clsSize) + std::to_string(time.dwLowDateTime), "00");
  EXPECT_EQ(RegEnumKeyExA(r, 3, buf, &size, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegEnumKeyExA(r, ~0u, buf, &size, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(RegEnumKeyExA(r, 0, buf, &size, &reserved, nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER);

  // The longest name is four UTF-16 characters, although the longest ANSI name has six bytes.
  DWORD subkeys = 0, longest = 0, values = 9, longestValueName = 9, longestValue = 9;
  EXPECT_EQ(Info(r, &subkeys, &longest, &values, &longestValueName, &longestValue), 0);
  EXPECT_EQ(Names({std::to_string(subkeys), std::to_string(longest), std::to_string(values),
                   std::to_string(longestValueName), std::to_string(longestValue)}),
            (Names{"3", "4", "0", "0", "0"}));
  tavplat::SetRegValue("r", "\xE6\x97\xA5\xE6\x9C\xAC\xE6\x97\xA5", REG_SZ, Units(u"xyz", 8));
  EXPECT_EQ(Info(r, &subkeys, &longest, &values, &longestValueName, &longestValue), 0);
  EXPECT_EQ(values * 100 + longestValueName * 10 + longestValue, 138u) << "1 value, 3 characters, 8 bytes";
  EXPECT_EQ(RegQueryInfoKeyA(r, cls, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr), ERROR_INVALID_PARAMETER) << "class without its size";
  // 0x95 0x5C is one character whose second byte is a backslash: it splits no path.
  tavplat::AddRegKey("t\\\xE8\xA1\xA8\\x");
  RegCloseKey(Open("t\\\x95\x5C\\x"));
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
      const auto size = static_cast<DWORD>(expected.size() / 3);
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
  EXPECT_EQ(RegQueryValueExA(HKEY(0x1234), "", nullptr, &type, nullptr, &size), ERROR_INVALID_HANDLE);
  size = 0;
  EXPECT_EQ(RegQueryValueExA(v, nullptr, nullptr, &type, buf, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 5u);
  RegCloseKey(v);
}

TEST_F(Registry, WithoutARegistryEveryCallOnTheRootFailsAndOneLineEndsTheRun) {
  DWORD count = 0, size = 8;
  HKEY key = nullptr;
  char name[8];
  tavplat::UnloadRegistry();
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "x", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << "a test's unloading says nothing";

  for (const auto& [value, line] : {std::pair<std::optional<std::string>, std::string>{
                                        std::nullopt, "tavdump: TAVDUMP_REGISTRY is not set\n"},
                                    {"", "tavdump: TAVDUMP_REGISTRY is empty\n"}}) {
    ScopedEnv registry("TAVDUMP_REGISTRY", value);
    tavplat::ReloadRegistry();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Info(HKEY_CLASSES_ROOT, &count), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegEnumKeyExA(HKEY_CLASSES_ROOT, 0, name, &size, nullptr, nullptr, nullptr, nullptr), 2);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "a", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(HKEY_CLASSES_ROOT, "", nullptr, nullptr, nullptr, &size), 2);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << "the line waits for the end";
    // It follows what the tool wrote, even with both streams in one file.
    EXPECT_EXIT((dup2(2, 1), write(1, "out\n", 4), ExitProcess(2)), ::testing::ExitedWithCode(2),
                "^out\n" + line + "$");
  }
}

// Quadratic work would run into ctest's time limit here (100,000 values of one key took
// minutes); the real cost is about a second (docs/performance.md measures it).
TEST_F(Registry, AHundredThousandRootKeysOrValuesOfOneKeyLoadOpenAndEnumerate) {
  const std::string path = ::testing::TempDir() + "registry-big-" + std::to_string(getpid()) + ".reg";
  FILE* f = std::fopen(path.c_str(), "wb");
  std::fputs("REGEDIT4\r\n", f);
  for (int i = 99999; i >= 0; --i)
    std::fprintf(f, "[HKEY_CLASSES_ROOT\\K%d\\shell\\open\\command]\r\n@=\"run %d\"\r\n", i, i);
  std::fputs("[HKEY_CLASSES_ROOT\\K1]\r\n", f);
  for (int pass = 0; pass < 3; ++pass)  // set, set again in other letters, every third deleted
    for (int i = 0; i < 100000; ++i)
      if (pass < 2)
        std::fprintf(f, pass ? "\"v%d\"=\"%d\"\r\n" : "\"V%d\"=\"%d\"\r\n", i, pass * 100000 + i);
      else if (i % 3 == 0)
        std::fprintf(f, "\"v%d\"=-\r\n", i);
  std::fclose(f);
  ScopedEnv registry("TAVDUMP_REGISTRY", path);
  tavplat::ReloadRegistry();

  DWORD count = 0, longest = 0;
  ASSERT_EQ(Info(HKEY_CLASSES_ROOT, &count, &longest), 0);
  EXPECT_EQ(count * 10 + longest, 1000006u) << "100000 keys, the longest 6 characters";
  Names first;
  for (DWORD i = 0; i < count; ++i) {
    char name[16], value[16];
    DWORD size = longest + 1, valueSize = sizeof value;
    ASSERT_EQ(RegEnumKeyExA(HKEY_CLASSES_ROOT, i, name, &size, nullptr, nullptr, nullptr, nullptr), 0);
    if (i < 4) first.emplace_back(name);
    HKEY key = Open(std::string(name) + "\\shell\\open\\command");
    ASSERT_EQ(RegQueryValueExA(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &valueSize), 0);
    ASSERT_EQ(std::string(value), "run " + std::string(name + 1));
    RegCloseKey(key);
  }
  EXPECT_EQ(first, (Names{"K0", "K1", "K10", "K100"}));
  HKEY many = Open("K1");
  DWORD values = 0, size = 8;
  char value[8];
  EXPECT_EQ(Info(many, &count, nullptr, &values), 0);
  EXPECT_EQ(values, 66666u);
  EXPECT_EQ(RegQueryValueExA(many, "v4", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size), 0);
  EXPECT_EQ(std::string(value), "100004");
  EXPECT_EQ(RegQueryValueExA(many, "v3", nullptr, nullptr, nullptr, nullptr), ERROR_FILE_NOT_FOUND);
  RegCloseKey(many);
  std::remove(path.c_str());
}

}  // namespace
