// Expected values come from the same calls made under Wine 8 (the platform's reference).
#include "codepage.h"
#include "scoped_env.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string Hex(const std::u16string& text) {
  std::string out;
  char unit[8];
  for (const char16_t c : text) {
    std::snprintf(unit, sizeof unit, " %04X", static_cast<unsigned>(c));
    out += unit;
  }
  return out;
}

std::string Hex(const std::string& text) {
  std::string out;
  char unit[8];
  for (const char c : text) {
    std::snprintf(unit, sizeof unit, " %02X", static_cast<unsigned char>(c));
    out += unit;
  }
  return out;
}

std::string Narrow(std::u16string_view text, UINT page) { return tavplat::FromUtf16(text, page); }

std::u16string Wide(const std::string& text, UINT page) { return tavplat::ToUtf16(text, page); }

TEST(CodePageSelection, DefaultsAndEnvironment) {
  ScopedEnv acp("TAVDUMP_ACP", std::nullopt);
  ScopedEnv oem("TAVDUMP_OEMCP", std::nullopt);
  EXPECT_EQ(GetACP(), 1252u);
  EXPECT_EQ(GetOEMCP(), 437u);
  {
    ScopedEnv japanese("TAVDUMP_ACP", "932");
    ScopedEnv western("TAVDUMP_OEMCP", "850");
    EXPECT_EQ(GetACP(), 932u);
    EXPECT_EQ(GetOEMCP(), 850u);
  }
  for (const char* bad : {"", "abc", "12345", "65001", "0", "1252x"}) {
    ScopedEnv unknown("TAVDUMP_ACP", bad);
    EXPECT_EQ(GetACP(), 1252u) << "TAVDUMP_ACP=" << bad;
  }
}

TEST(SingleBytePages, BytesIconvLeavesOpenStillMapAsOnWindows) {
  EXPECT_EQ(Hex(Wide("\x80\x81\x8D\x8F\x90\x9D\xFF", 1252)), " 20AC 0081 008D 008F 0090 009D 00FF");
  EXPECT_EQ(Hex(Wide("\xAA\xD2\xFF", 1253)), " F8F9 F8FA F8FB");
  EXPECT_EQ(Hex(Wide("\xCA\xD9\xFF", 1255)), " 05BA F88D F896");
  EXPECT_EQ(Hex(Wide("\xA1\xA5", 1257)), " F8FC F8FD");
  EXPECT_EQ(Hex(Wide("\x80\x82\xA4", 437)), " 00C7 00E9 00F1");
}

TEST(SingleBytePages, EveryByteComesBack) {
  for (const UINT page : {437u, 737u, 775u, 850u, 852u, 857u, 862u, 866u, 874u, 1250u, 1251u,
                          1252u, 1253u, 1254u, 1255u, 1256u, 1257u, 1258u}) {
    for (int b = 0; b < 256; ++b) {
      const std::string byte(1, static_cast<char>(b));
      EXPECT_EQ(Hex(Narrow(Wide(byte, page), page)), Hex(byte)) << "page " << page;
    }
  }
}

TEST(SingleBytePages, MissingCharactersTakeWindowsBestFit) {
  EXPECT_EQ(Hex(Narrow(u"\u0100\u0110\u221E\u2248\uFF21\u4E00\u0141", 1252)),
            " 41 D0 38 98 41 3F 4C");
  EXPECT_EQ(Hex(Narrow(u"\u00C0\u00E9\u00A4\u20AC", 437)), " 41 82 0F 3F");
  // Each half of a surrogate pair is a character of its own.
  EXPECT_EQ(Hex(Narrow(u"\U0001F600x\xD800y", 1252)), " 3F 3F 78 3F 79");
}

TEST(DoubleBytePages, LeadBytesAndPairs) {
  EXPECT_TRUE(tavplat::IsLeadByte(932, 0x81));
  EXPECT_TRUE(tavplat::IsLeadByte(932, 0xFC));
  EXPECT_FALSE(tavplat::IsLeadByte(932, 0xA0));
  EXPECT_FALSE(tavplat::IsLeadByte(932, 0xFD));
  EXPECT_TRUE(tavplat::IsLeadByte(950, 0x81));
  EXPECT_TRUE(tavplat::IsLeadByte(949, 0xC9));
  EXPECT_FALSE(tavplat::IsLeadByte(1252, 0x81));
  EXPECT_EQ(Hex(Wide("a\x95\x5C\x81\x40\xA0\xFD", 932)), " 0061 8868 3000 F8F0 F8F1");
  EXPECT_EQ(Hex(Wide("\x80\xFF", 936)), " 20AC F8F5");
}

TEST(DoubleBytePages, BrokenPairsBecomeThePageDefault) {
  // A lead byte with an unusable trail takes the trail with it; before a zero or at the
  // end it stands alone.
  EXPECT_EQ(Hex(Wide(std::string("\x81\x20x\x81\0y", 6), 932)), " 30FB 0078 30FB 0000 0079");
  EXPECT_EQ(Hex(Wide("\x81", 932)), " 30FB");
  EXPECT_EQ(Hex(Wide("\x81", 936)), " 003F");
}

TEST(DoubleBytePages, UserDefinedAreasMapToPrivateUse) {
  EXPECT_EQ(Hex(Wide("\xAA\xA1\xF8\xA1\xA1\x40\xA2\xAB\xD7\xFA\xFE\x50", 936)),
            " E000 E234 E4C6 E766 E810 E815");
  EXPECT_EQ(Hex(Wide("\xC9\xA1\xFE\xA1", 949)), " E000 E05E");
  EXPECT_EQ(Hex(Wide("\x81\x40\x8E\x40\xFA\x40", 950)), " EEB8 E311 E000");
  EXPECT_EQ(Hex(Narrow(u"\uE000\uE766", 936)), " AA A1 A2 AB");
}

TEST(DoubleBytePages, WindowsChoiceAmongDuplicateCodes) {
  EXPECT_EQ(Hex(Narrow(u"\u2550\u255E\u8868", 950)), " F9 F9 F9 E9 AA ED");
  EXPECT_EQ(Hex(Narrow(u"\u8868\uFF41\u00E9", 932)), " 95 5C 82 81 65");
}

TEST(Utf8, InvalidSequencesAsThePlatformReplacesThem) {
  EXPECT_EQ(Hex(tavplat::Utf8ToUtf16("a\xFF" "b\xC3" "c\xE2\x82" "d")),
            " 0061 FFFD 0062 FFFD 0063 FFFD 0064");
  EXPECT_EQ(Hex(tavplat::Utf8ToUtf16("\xED\xA0\x80" "e\xC0\xAF" "f")), " FFFD FFFD 0065 FFFD FFFD 0066");
  EXPECT_EQ(Hex(tavplat::Utf8ToUtf16("\xF4\x90\x80\x80" "y\xE0\x80\x80" "z")),
            " FFFD FFFD FFFD 0079 FFFD FFFD 007A");
  EXPECT_EQ(Hex(tavplat::Utf8ToUtf16("\xF5\x80\x80\x80\xF0\x9F\x98" "x")),
            " FFFD FFFD FFFD FFFD FFFD 0078");
  EXPECT_EQ(Hex(tavplat::Utf8ToUtf16("\xF4\x80\x80\x80\xEF\xBF\xBF")), " DBC0 DC00 FFFF");
  EXPECT_EQ(Hex(tavplat::Utf16ToUtf8(u"\U0001F600x\xD800")), " F0 9F 98 80 78 EF BF BD");
}

TEST(UpperChar, OnlyLettersThatComeBackWhenLowered) {
  EXPECT_EQ(tavplat::UpperChar(u'\u00FF'), u'\u0178');
  EXPECT_EQ(tavplat::UpperChar(u'\u01C6'), u'\u01C4');
  EXPECT_EQ(tavplat::UpperChar(u'\uFF41'), u'\uFF21');
  EXPECT_EQ(tavplat::UpperChar(u'\u2170'), u'\u2160');
  for (const char16_t same : {u'\u00B5', u'\u00DF', u'\u0131', u'\u017F', u'\u01C5', u'\u03C2',
                              u'\u0345', u'\u1E9B', u'\u1FBE'}) {
    EXPECT_EQ(tavplat::UpperChar(same), same) << Hex(std::u16string(1, same));
  }
}

TEST(CharUpperBuffA, Cp1252TableAsWine) {
  ScopedEnv acp("TAVDUMP_ACP", "1252");
  for (int b = 0; b < 256; ++b) {
    int expected = b;
    if ((b >= 0x61 && b <= 0x7A) || (b >= 0xE0 && b <= 0xFE && b != 0xF7)) expected = b - 0x20;
    if (b == 0x9A || b == 0x9C || b == 0x9E) expected = b - 0x10;
    if (b == 0xFF) expected = 0x9F;
    char c[2] = {static_cast<char>(b), 'z'};
    EXPECT_EQ(CharUpperBuffA(c, 1), 1u);
    EXPECT_EQ(static_cast<unsigned char>(c[0]), expected) << "byte " << b;
    EXPECT_EQ(c[1], 'z') << "byte " << b;
  }
}

TEST(CharUpperBuffA, CapitalsThePageLacksTakeTheirBestFit) {
  {
    ScopedEnv acp("TAVDUMP_ACP", "1255");
    char text[] = "\x83";
    CharUpperBuffA(text, 1);
    EXPECT_EQ(Hex(std::string(text)), " 46");
  }
  ScopedEnv acp("TAVDUMP_ACP", "1258");
  char text[] = "\x83";
  CharUpperBuffA(text, 1);
  EXPECT_EQ(Hex(std::string(text)), " 3F");
}

TEST(CharUpperBuffA, LengthZerosAndDoubleByteCharacters) {
  char text[] = "abc\0de";
  EXPECT_EQ(CharUpperBuffA(text, 6), 6u);
  EXPECT_EQ(Hex(std::string(text, 6)), " 41 42 43 00 44 45");
  char untouched[] = "abc";
  EXPECT_EQ(CharUpperBuffA(untouched, 0), 0u);
  EXPECT_STREQ(untouched, "abc");

  ScopedEnv acp("TAVDUMP_ACP", "932");
  // A fullwidth letter keeps its form, and a trail byte that looks like "a" is no letter.
  char japanese[] = "a\x82\x81\x83\x61z";
  CharUpperBuffA(japanese, 6);
  EXPECT_EQ(Hex(std::string(japanese)), " 41 82 81 83 61 5A");
}

TEST(CharNextA, StepsOverDoubleByteCharacters) {
  ScopedEnv acp("TAVDUMP_ACP", "932");
  const char* text = "a\x95\x5C" "b";
  EXPECT_EQ(CharNextA(text), text + 1);
  EXPECT_EQ(CharNextA(text + 1), text + 3);
  EXPECT_EQ(CharNextA(text + 4), text + 4);
  const char* lone = "\x95";
  EXPECT_EQ(CharNextA(lone), lone + 1);
  ScopedEnv western("TAVDUMP_ACP", "1252");
  EXPECT_EQ(CharNextA(text + 1), text + 2);
}

TEST(CharToOemA, ConvertsInPlaceKeepingTheLength) {
  ScopedEnv oem("TAVDUMP_OEMCP", "437");
  char text[] = "\xE9\xFC" "a\x80\xA4\x8C\xFF";
  EXPECT_TRUE(CharToOemA(text, text));
  EXPECT_EQ(Hex(std::string(text)), " 82 81 61 3F 0F 4F 98");
  {
    ScopedEnv western("TAVDUMP_OEMCP", "850");
    char out[8] = {};
    EXPECT_TRUE(CharToOemA("\xE9\xFC\xA4", out));
    EXPECT_EQ(Hex(std::string(out)), " 82 81 CF");
  }
  char out[4];
  EXPECT_FALSE(CharToOemA(nullptr, out));
}

TEST(MultiByteToWideChar, LengthsAndBuffers) {
  WCHAR out[8];
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "ab\xE9", -1, out, 8), 4);
  EXPECT_EQ(Hex(std::u16string(out, 4)), " 0061 0062 00E9 0000");
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "ab\xE9", 3, out, 8), 3);
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "ab\xE9", -1, nullptr, 0), 4);
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "abc", -2, out, 8), 4);

  std::u16string small(8, u'\xAAAA');
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "abcdef", -1, small.data(), 3), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(Hex(small.substr(0, 4)), " 0061 0062 0063 AAAA");
}

TEST(MultiByteToWideChar, RefusedArguments) {
  WCHAR out[8];
  const struct {
    UINT page;
    DWORD flags;
    const char* text;
    int length;
    int room;
    DWORD error;
  } cases[] = {
      {1252, 0, "abc", 0, 8, ERROR_INVALID_PARAMETER},
      {12345, 0, "abc", -1, 8, ERROR_INVALID_PARAMETER},
      {1252, 0, nullptr, -1, 8, ERROR_INVALID_PARAMETER},
      {1252, 0, "abc", -1, -1, ERROR_INVALID_PARAMETER},
      {1252, 0x80, "abc", -1, 8, 1004},
  };
  for (const auto& c : cases) {
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(c.page, c.flags, c.text, c.length, out, c.room), 0) << c.page;
    EXPECT_EQ(GetLastError(), c.error) << c.page << " flags " << c.flags;
  }
}

TEST(MultiByteToWideChar, PseudoPages) {
  ScopedEnv acp("TAVDUMP_ACP", std::nullopt);
  ScopedEnv oem("TAVDUMP_OEMCP", std::nullopt);
  WCHAR out[2];
  for (const UINT page : {CP_ACP, CP_THREAD_ACP}) {
    EXPECT_EQ(MultiByteToWideChar(page, 0, "\x80", 1, out, 2), 1);
    EXPECT_EQ(out[0], u'\u20AC') << page;
  }
  EXPECT_EQ(MultiByteToWideChar(CP_OEMCP, 0, "\x82", 1, out, 2), 1);
  EXPECT_EQ(out[0], u'\u00E9');
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xC3\xA9", 2, out, 2), 1);
  EXPECT_EQ(out[0], u'\u00E9');
}

TEST(WideCharToMultiByte, LengthsBuffersAndDefaults) {
  const WCHAR text[] = u"a\u00E9\u0100\u4E00";
  char out[8];
  EXPECT_EQ(WideCharToMultiByte(1252, 0, text, -1, out, 8, nullptr, nullptr), 5);
  EXPECT_EQ(Hex(std::string(out, 5)), " 61 E9 41 3F 00");
  EXPECT_EQ(WideCharToMultiByte(1252, 0, text, -1, nullptr, 0, nullptr, nullptr), 5);

  std::string small(8, '\xAA');
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(1252, 0, text, -1, small.data(), 2, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(Hex(small.substr(0, 3)), " 61 E9 AA");

  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(1252, 0, text, 0, out, 8, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  // The default character stands only for characters without a best fit.
  const char hash = '#';
  BOOL used = 7;
  EXPECT_EQ(WideCharToMultiByte(1252, 0, text, -1, out, 8, &hash, &used), 5);
  EXPECT_EQ(Hex(std::string(out, 5)), " 61 E9 41 23 00");
  EXPECT_EQ(used, TRUE);
  EXPECT_EQ(WideCharToMultiByte(1252, 0, text, 3, out, 8, nullptr, &used), 3);
  EXPECT_EQ(used, FALSE);
}

TEST(WideCharToMultiByte, TooSmallBuffersGetWholeCharactersOnly) {
  const WCHAR text[] = u"a\u8868b";
  for (const UINT page : {932u, static_cast<UINT>(CP_UTF8)}) {
    std::string small(4, '\xAA');
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(page, 0, text, -1, small.data(), 2, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(Hex(small.substr(0, 2)), " 61 AA") << "page " << page;
  }
  char out[8];
  EXPECT_EQ(WideCharToMultiByte(932, 0, text, -1, out, 8, nullptr, nullptr), 5);
  EXPECT_EQ(Hex(std::string(out, 5)), " 61 95 5C 62 00");
}

}  // namespace
