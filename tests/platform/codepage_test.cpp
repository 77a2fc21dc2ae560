// The code pages against Windows' own tables as Wine ships them, and the calls of the core
// that the tables cannot show (expected values from the same calls under Wine 8).
#include "codepage.h"
#include "scoped_env.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "Process.h"

namespace {

std::vector<std::uint16_t> Words(const std::string& file) {
  const std::string bytes = tavtest::ReadFileBytes("/usr/share/wine/nls/" + file);
  std::vector<std::uint16_t> words(bytes.size() / 2);
  for (std::size_t i = 0; i < words.size(); ++i)
    words[i] = std::uint8_t(bytes[2 * i]) | std::uint8_t(bytes[2 * i + 1]) << 8;
  return words;
}

// One page read the way Windows' RtlInitCodePageTable lays the file out.
struct Nls {
  std::vector<std::uint16_t> w;
  std::size_t Offsets() const { return w[0] + 259 + (w[w[0] + 257] ? 256 : 0); }
  bool Lead(int b) const { return w[2] == 2 && w[Offsets() + b] != 0; }
  char16_t Char(int b) const { return Lead(b) ? w[4] : w[w[0] + 1 + b]; }
  char16_t Pair(int lead, int trail) const { return w[Offsets() + w[Offsets() + lead] + trail]; }
  std::string Bytes(char16_t c) const {
    const std::size_t table = w[0] + w[w[0]] + 1;
    const unsigned code = w[2] == 2 ? w[table + c] : w[table + c / 2] >> (c % 2 * 8) & 0xFF;
    return code > 0xFF ? std::string{static_cast<char>(code >> 8), static_cast<char>(code)}
                       : std::string(1, static_cast<char>(code));
  }
};

std::u16string Wide(UINT page, const std::string& bytes) {
  char16_t out[4] = {};
  const int n = MultiByteToWideChar(page, 0, bytes.data(), static_cast<int>(bytes.size()), out, 4);
  return std::u16string(out, n > 0 ? n : 0);
}

std::string Narrow(UINT page, char16_t c) {
  char out[4] = {};
  const int n = WideCharToMultiByte(page, 0, &c, 1, out, 4, nullptr, nullptr);
  return std::string(out, n > 0 ? n : 0);
}

std::string Upper(std::string text) {
  CharUpperBuffA(text.data(), static_cast<DWORD>(text.size()));
  return text;
}

TEST(CodePages, ConvertAsWindowsTablesSay) {
  const std::vector<std::uint16_t> intl = Words("l_intl.nls");
  ASSERT_FALSE(intl.empty()) << "Windows' tables come with Wine (Debian's package libwine)";
  // Windows' capitals: three levels of differences, after two words of header.
  const auto capital = [&](char16_t c) {
    const std::uint16_t* t = intl.data() + 2;
    return static_cast<char16_t>(c + t[t[t[c >> 8] + (c >> 4 & 15)] + (c & 15)]);
  };
  for (int c = 0; c < 65536; ++c) ASSERT_EQ(tavplat::UpperChar(c), capital(c)) << c;

  for (const UINT page : {437u, 720u, 737u, 775u, 850u, 852u, 857u, 862u, 866u, 874u, 932u, 936u,
                          949u, 950u, 1250u, 1251u, 1252u, 1253u, 1254u, 1255u, 1256u, 1257u,
                          1258u}) {
    const Nls nls{Words("c_" + std::to_string(page) + ".nls")};
    ASSERT_FALSE(nls.w.empty()) << page;
    ScopedEnv acp("TAVDUMP_ACP", std::to_string(page));
    ASSERT_EQ(GetACP(), page);
    // A character whose capital takes another number of bytes keeps its bytes.
    const auto upper = [&](const std::string& bytes, char16_t c) {
      const std::string capitalBytes = nls.Bytes(capital(c));
      return capitalBytes.size() == bytes.size() ? capitalBytes : bytes;
    };
    for (int b = 0; b < 256; ++b) {
      const std::string byte(1, static_cast<char>(b));
      ASSERT_EQ(IsDBCSLeadByte(static_cast<BYTE>(b)), nls.Lead(b)) << page << " " << b;
      ASSERT_EQ(Wide(page, byte), std::u16string(1, nls.Char(b))) << page << " " << b;
      ASSERT_EQ(Upper(byte), upper(byte, nls.Char(b))) << page << " " << b;
      for (int trail = 0; nls.Lead(b) && trail < 256; ++trail) {
        const std::string pair{static_cast<char>(b), static_cast<char>(trail)};
        if (trail == 0) {  // a zero ends the text: the lead byte stands alone
          ASSERT_EQ(Wide(page, pair), (std::u16string{nls.w[4], 0})) << page << " " << b;
          continue;
        }
        ASSERT_EQ(Wide(page, pair), std::u16string(1, nls.Pair(b, trail)))
            << page << " " << b << " " << trail;
        ASSERT_EQ(Upper(pair), upper(pair, nls.Pair(b, trail))) << page << " " << b << " " << trail;
      }
    }
    for (int c = 0; c < 65536; ++c)
      ASSERT_EQ(Narrow(page, static_cast<char16_t>(c)), nls.Bytes(static_cast<char16_t>(c)))
          << page << " " << c;
  }
}

// The other pairings and mistakes are case folders (codepage-*); these add the default, a
// pairing no folder shows and an escape of each kind.
TEST(CodePages, SettingsPairingAndErrors) {
  const struct {
    const char* acp;
    const char* oem;
    UINT ansi, oemPage;
    const char* error;
  } cases[] = {
      {nullptr, nullptr, 1252, 437, ""},
      {"1256", nullptr, 1256, 720, ""},
      {"1250", "850", 1250, 850, ""},
      {"\x1B[2J\"\\\xC3\xA9" "0123456789012345678901234567890123456789012345678901234567890", "x",
       1252, 437,
       "TAVDUMP_ACP=\"\\x1B[2J\\\"\\\\\\xC3\\xA9"
       "0123456789012345678901234567890123456789012345678901\"... names no supported code page "
       "(437, 720, 737, 775, 850, 852, 857, 862, 866, 874, 932, 936, 949, 950 or 1250 to 1258)"},
  };
  for (const auto& c : cases) {
    ScopedEnv acp("TAVDUMP_ACP", c.acp ? std::optional<std::string>(c.acp) : std::nullopt);
    ScopedEnv oem("TAVDUMP_OEMCP", c.oem ? std::optional<std::string>(c.oem) : std::nullopt);
    std::string error = "unchanged";
    EXPECT_EQ(tavplat::CheckCodePages(error), !*c.error) << c.error;
    EXPECT_EQ(error.substr(0, std::string(c.error).size()), c.error);
    EXPECT_EQ(error.find('\n'), std::string::npos);
    EXPECT_EQ(GetACP(), c.ansi) << c.error;
    EXPECT_EQ(GetOEMCP(), c.oemPage) << c.error;
  }
}

TEST(CodePages, Utf8AsThePlatformReplacesInvalidSequences) {
  const struct {
    std::string utf8;
    std::u16string utf16;
  } cases[] = {
      {"a\xFF" "b\xC3" "c\xE2\x82" "d", u"a\uFFFDb\uFFFDc\uFFFDd"},
      {"\xED\xA0\x80" "e\xC0\xAF" "f", u"\uFFFD\uFFFDe\uFFFD\uFFFDf"},
      {"\xF4\x90\x80\x80" "y\xE0\x80\x80" "z", u"\uFFFD\uFFFD\uFFFDy\uFFFD\uFFFDz"},
      {"\xF5\x80\x80\x80\xF0\x9F\x98" "x", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFDx"},
      {"\xF4\x80\x80\x80\xEF\xBF\xBF", u"\U00100000\uFFFF"},
  };
  for (const auto& c : cases) EXPECT_EQ(tavplat::Utf8ToUtf16(c.utf8), c.utf16) << c.utf8;
  EXPECT_EQ(tavplat::Utf16ToUtf8(u"\U0001F600x\xD800"), "\xF0\x9F\x98\x80x\xEF\xBF\xBD");
}

TEST(CodePages, CallsOfTheCore) {
  ScopedEnv acp("TAVDUMP_ACP", "932");
  // A lead byte before the end or a zero is a character of its own.
  const char* text = "a\x95\x5C\x81";
  EXPECT_EQ(CharNextA(text + 1), text + 3);
  EXPECT_EQ(CharNextA(text + 3), text + 4);
  EXPECT_EQ(CharNextA(text + 4), text + 4);
  // Each character is upper-cased in place; a lone lead byte whose character would take
  // two bytes keeps its byte (under Wine the whole call fails).
  EXPECT_EQ(Upper("a\x82\x81\x83\xBF\x84\x70z\x81"), "A\x82\x60\x83\x9F\x84\x40Z\x81");

  // CharToOemA keeps the length of the ANSI text.
  ScopedEnv western("TAVDUMP_ACP", "1252");
  char oem[] = "\xE9\xFC" "a\x80\xA4\x8C\xFF";
  EXPECT_TRUE(CharToOemA(oem, oem));
  EXPECT_EQ(std::string(oem), "\x82\x81" "a?\x0FO\x98");
}

}  // namespace
