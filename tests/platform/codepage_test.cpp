// Expected values come from the same calls made under Wine 8 (the platform's reference).
#include "codepage.h"
#include "scoped_env.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <type_traits>

namespace {

// Each code unit of `text` as " XX", or " XXXX" for UTF-16.
template <typename Text>
std::string Hex(const Text& text) {
  std::string out;
  char unit[8];
  for (const auto c : text) {
    using Unsigned = std::make_unsigned_t<typename Text::value_type>;
    std::snprintf(unit, sizeof unit, sizeof c == 1 ? " %02X" : " %04X",
                  static_cast<unsigned>(static_cast<Unsigned>(c)));
    out += unit;
  }
  return out;
}

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

TEST(Conversion, ToUtf16AsWindowsReadsEachPage) {
  const struct {
    UINT page;
    std::string bytes;
    const char* utf16;
  } cases[] = {
      // Bytes that iconv leaves open still map, as on Windows.
      {1252, "\x80\x81\x8D\x8F\x90\x9D\xFF", " 20AC 0081 008D 008F 0090 009D 00FF"},
      {1253, "\xAA\xD2\xFF", " F8F9 F8FA F8FB"},
      {1255, "\xCA\xD9\xFF", " 05BA F88D F896"},
      {1257, "\xA1\xA5", " F8FC F8FD"},
      {437, "\x80\x82\xA4", " 00C7 00E9 00F1"},
      {932, "a\x95\x5C\x81\x40\xA0\xFD", " 0061 8868 3000 F8F0 F8F1"},
      {936, "\x80\xFF", " 20AC F8F5"},
      // A lead byte with an unusable trail takes the trail with it; before a zero or at
      // the end it stands alone, as the page's default character.
      {932, std::string("\x81\x20x\x81\0y", 6), " 30FB 0078 30FB 0000 0079"},
      {932, "\x81", " 30FB"},
      {936, "\x81", " 003F"},
      // User-defined areas map to the private use area.
      {936, "\xAA\xA1\xF8\xA1\xA1\x40\xA2\xAB\xD7\xFA\xFE\x50", " E000 E234 E4C6 E766 E810 E815"},
      {949, "\xC9\xA1\xFE\xA1", " E000 E05E"},
      {950, "\x81\x40\x8E\x40\xFA\x40", " EEB8 E311 E000"},
      // Invalid UTF-8 as the platform replaces it.
      {CP_UTF8, "a\xFF" "b\xC3" "c\xE2\x82" "d", " 0061 FFFD 0062 FFFD 0063 FFFD 0064"},
      {CP_UTF8, "\xED\xA0\x80" "e\xC0\xAF" "f", " FFFD FFFD 0065 FFFD FFFD 0066"},
      {CP_UTF8, "\xF4\x90\x80\x80" "y\xE0\x80\x80" "z", " FFFD FFFD FFFD 0079 FFFD FFFD 007A"},
      {CP_UTF8, "\xF5\x80\x80\x80\xF0\x9F\x98" "x", " FFFD FFFD FFFD FFFD FFFD 0078"},
      {CP_UTF8, "\xF4\x80\x80\x80\xEF\xBF\xBF", " DBC0 DC00 FFFF"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Hex(tavplat::ToUtf16(c.bytes, c.page)), c.utf16) << "page " << c.page << Hex(c.bytes);
  EXPECT_TRUE(tavplat::IsLeadByte(932, 0xFC));
}

TEST(Conversion, FromUtf16TakesWindowsBestFitAndChoiceAmongDuplicates) {
  const struct {
    UINT page;
    std::u16string text;
    const char* bytes;
  } cases[] = {
      {1252, u"\u0100\u0110\u221E\u2248\uFF21\u4E00\u0141", " 41 D0 38 98 41 3F 4C"},
      {437, u"\u00C0\u00E9\u00A4\u20AC", " 41 82 0F 3F"},
      // Each half of a surrogate pair is a character of its own.
      {1252, u"\U0001F600x\xD800y", " 3F 3F 78 3F 79"},
      {936, u"\uE000\uE766", " AA A1 A2 AB"},
      {950, u"\u2550\u255E\u8868", " F9 F9 F9 E9 AA ED"},
      {932, u"\u8868\uFF41\u00E9", " 95 5C 82 81 65"},
      {CP_UTF8, u"\U0001F600x\xD800", " F0 9F 98 80 78 EF BF BD"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Hex(tavplat::FromUtf16(c.text, c.page)), c.bytes) << "page " << c.page << Hex(c.text);
}

TEST(Conversion, EveryByteOfASingleBytePageComesBack) {
  for (const UINT page : {437u, 737u, 775u, 850u, 852u, 857u, 862u, 866u, 874u, 1250u, 1251u,
                          1252u, 1253u, 1254u, 1255u, 1256u, 1257u, 1258u}) {
    for (int b = 0; b < 256; ++b) {
      const std::string byte(1, static_cast<char>(b));
      EXPECT_EQ(Hex(tavplat::FromUtf16(tavplat::ToUtf16(byte, page), page)), Hex(byte))
          << "page " << page;
    }
  }
}

TEST(UpperChar, OnlyLettersThatComeBackWhenLowered) {
  EXPECT_EQ(Hex(std::u16string{tavplat::UpperChar(u'\u00FF'), tavplat::UpperChar(u'\u01C6'),
                               tavplat::UpperChar(u'\uFF41'), tavplat::UpperChar(u'\u2170')}),
            " 0178 01C4 FF21 2160");
  for (const char16_t same : {u'\u00B5', u'\u00DF', u'\u0131', u'\u017F', u'\u01C5', u'\u03C2',
                              u'\u0345', u'\u1E9B', u'\u1FBE'}) {
    EXPECT_EQ(tavplat::UpperChar(same), same) << Hex(std::u16string(1, same));
  }
}

TEST(CharUpperBuffA, EveryByteOf1252ZerosIncluded) {
  ScopedEnv acp("TAVDUMP_ACP", "1252");
  std::string text(257, 'z'), expected(257, 'z');
  for (int b = 0; b < 256; ++b) {
    int upper = b;
    if ((b >= 0x61 && b <= 0x7A) || (b >= 0xE0 && b <= 0xFE && b != 0xF7)) upper = b - 0x20;
    if (b == 0x9A || b == 0x9C || b == 0x9E) upper = b - 0x10;
    if (b == 0xFF) upper = 0x9F;
    text[b] = static_cast<char>(b);
    expected[b] = static_cast<char>(upper);
  }
  EXPECT_EQ(CharUpperBuffA(text.data(), 256), 256u);
  EXPECT_EQ(Hex(text), Hex(expected));
  EXPECT_EQ(CharUpperBuffA(text.data() + 256, 0), 0u);
  EXPECT_EQ(text[256], 'z');
}

TEST(CharUpperBuffA, CapitalsThePageLacksAndDoubleByteCharacters) {
  for (const auto& [page, upper] : {std::pair{"1255", " 46"}, std::pair{"1258", " 3F"}}) {
    ScopedEnv acp("TAVDUMP_ACP", page);
    char text[] = "\x83";
    CharUpperBuffA(text, 1);
    EXPECT_EQ(Hex(std::string(text)), upper) << "page " << page;
  }
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
  ScopedEnv western("TAVDUMP_OEMCP", "850");
  char out[8] = {};
  EXPECT_TRUE(CharToOemA("\xE9\xFC\xA4", out));
  EXPECT_EQ(Hex(std::string(out)), " 82 81 CF");
  EXPECT_FALSE(CharToOemA(nullptr, out));
}

TEST(MultiByteToWideChar, LengthsBuffersAndPages) {
  ScopedEnv acp("TAVDUMP_ACP", std::nullopt);
  ScopedEnv oem("TAVDUMP_OEMCP", std::nullopt);
  std::u16string out(8, u'\xAAAA');
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "ab\xE9", -1, out.data(), 8), 4);
  EXPECT_EQ(Hex(out.substr(0, 5)), " 0061 0062 00E9 0000 AAAA");
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "ab\xE9", 3, out.data(), 8), 3);
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "ab\xE9", -1, nullptr, 0), 4);
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "abc", -2, out.data(), 8), 4);
  for (const auto& [page, byte, unit] : {std::tuple{CP_ACP, "\x80", u'\u20AC'},
                                          {CP_THREAD_ACP, "\x80", u'\u20AC'},
                                          {CP_OEMCP, "\x82", u'\u00E9'},
                                          {CP_UTF8, "\xC3\xA9", u'\u00E9'}}) {
    EXPECT_EQ(MultiByteToWideChar(page, 0, byte, -1, out.data(), 2), 2) << "page " << page;
    EXPECT_EQ(out[0], unit) << "page " << page;
  }

  out.assign(8, u'\xAAAA');
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "abcdef", -1, out.data(), 3), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(Hex(out.substr(0, 4)), " 0061 0062 0063 AAAA");
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

TEST(WideCharToMultiByte, DefaultsAndTooSmallBuffers) {
  const WCHAR text[] = u"a\u00E9\u0100\u4E00";
  char out[8];
  const char hash = '#';
  BOOL used = 7;
  // The default character stands only for characters without a best fit.
  EXPECT_EQ(WideCharToMultiByte(1252, 0, text, -1, out, 8, &hash, &used), 5);
  EXPECT_EQ(Hex(std::string(out, 5)), " 61 E9 41 23 00");
  EXPECT_EQ(used, TRUE);
  EXPECT_EQ(WideCharToMultiByte(1252, 0, text, 3, out, 8, nullptr, &used), 3);
  EXPECT_EQ(used, FALSE);
  EXPECT_EQ(WideCharToMultiByte(1252, 0, text, -1, nullptr, 0, nullptr, nullptr), 5);
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(1252, 0, text, 0, out, 8, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  // A buffer too small gets only whole characters.
  for (const UINT page : {1252u, 932u, static_cast<UINT>(CP_UTF8)}) {
    std::string small(4, '\xAA');
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(page, 0, u"a\u8868b", -1, small.data(), 2, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(Hex(small.substr(0, 3)), page == 1252 ? " 61 3F AA" : " 61 AA AA") << "page " << page;
  }
}

}  // namespace
