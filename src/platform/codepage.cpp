#include "codepage_internal.h"

#include "bestfit.h"

#include <iconv.h>
#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <memory>
#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tavplat {

namespace {

constexpr std::uint16_t kUnmapped = 0xFFFF;

// Everything needed to convert one code page without calling iconv again: Windows
// converts through fixed tables, and the scan converts once per registry command.
struct PageTables {
  UINT page = 0;
  bool doubleByte = false;
  char16_t defaultWide = u'?';
  std::array<bool, 256> lead{};
  std::array<char16_t, 256> single{};
  // Indexed by lead * 256 + trail; kUnmapped where the pair means nothing.
  std::vector<char16_t> pairs;
  // Indexed by UTF-16 code unit: the byte, or lead * 256 + trail, or kUnmapped.
  std::vector<std::uint16_t> narrow;
  // The ANSI upper-casing of each single byte.
  std::array<unsigned char, 256> upper{};
};

struct IconvHandle {
  iconv_t cd = reinterpret_cast<iconv_t>(-1);
  IconvHandle(const char* to, const char* from) : cd(iconv_open(to, from)) {}
  ~IconvHandle() {
    if (ok()) iconv_close(cd);
  }
  IconvHandle(const IconvHandle&) = delete;
  IconvHandle& operator=(const IconvHandle&) = delete;
  bool ok() const { return cd != reinterpret_cast<iconv_t>(-1); }
};

std::string IconvName(UINT page) { return "CP" + std::to_string(page); }

// Converts `in` completely, flushing any state; nullopt when iconv refuses any of it.
// `incomplete` is set when the input ended inside a character.
std::optional<std::string> Convert(const IconvHandle& h, const std::string& in,
                                   bool* incomplete = nullptr) {
  iconv(h.cd, nullptr, nullptr, nullptr, nullptr);
  std::string out(16 + in.size() * 8, '\0');
  char* src = const_cast<char*>(in.data());
  std::size_t srcLeft = in.size();
  char* dst = out.data();
  std::size_t dstLeft = out.size();
  if (incomplete) *incomplete = false;
  if (iconv(h.cd, &src, &srcLeft, &dst, &dstLeft) == static_cast<std::size_t>(-1)) {
    if (errno == EINVAL && incomplete) *incomplete = true;
    return std::nullopt;
  }
  if (iconv(h.cd, nullptr, nullptr, &dst, &dstLeft) == static_cast<std::size_t>(-1))
    return std::nullopt;
  out.resize(out.size() - dstLeft);
  return out;
}

// One UTF-16 unit from iconv's UTF-16LE output, or nullopt when it is not exactly one.
std::optional<char16_t> OneUnit(const std::optional<std::string>& utf16) {
  if (!utf16 || utf16->size() != 2) return std::nullopt;
  return static_cast<char16_t>(static_cast<unsigned char>((*utf16)[0]) |
                               static_cast<unsigned char>((*utf16)[1]) << 8);
}

std::string UnitBytes(char16_t c) {
  return std::string{static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
}

using ByteRange = std::pair<unsigned char, unsigned char>;

struct EudcBlock {
  ByteRange leads;
  std::vector<ByteRange> trails;
  char16_t first;
};

// Where Windows' tables differ from glibc's: the character a broken double-byte
// sequence becomes, bytes glibc leaves undefined or reads otherwise, and the lead bytes.
struct PageQuirks {
  char16_t defaultWide = u'?';
  std::vector<std::pair<unsigned char, char16_t>> singles;
  // Inclusive ranges of lead bytes; empty where iconv's reading of the page holds.
  std::vector<ByteRange> leads;
  // The user-defined areas, which Windows maps onto the private use area cell by cell
  // in code order and glibc leaves out.
  std::vector<EudcBlock> eudc;
  // Nonzero: every other pair with a trail in 40-7E or 80-FE that is still open gets the
  // next private character from here on, in code order.
  char16_t fillFrom = 0;
  // Characters with two codes in the page, where Windows writes the other one.
  std::vector<std::pair<char16_t, std::uint16_t>> preferred;
};

PageQuirks QuirksOf(UINT page) {
  PageQuirks q;
  switch (page) {
    case 932:
      q.defaultWide = u'\u30FB';
      q.singles = {{0x80, u'\u0080'}, {0xA0, u'\uF8F0'}, {0xFD, u'\uF8F1'},
                   {0xFE, u'\uF8F2'}, {0xFF, u'\uF8F3'}};
      q.leads = {{0x81, 0x9F}, {0xE0, 0xFC}};
      break;
    case 936:
      q.singles = {{0x80, u'\u20AC'}, {0xFF, u'\uF8F5'}};
      q.leads = {{0x81, 0xFE}};
      q.eudc = {{{0xAA, 0xAF}, {{0xA1, 0xFE}}, u'\uE000'},
                {{0xF8, 0xFE}, {{0xA1, 0xFE}}, u'\uE234'},
                {{0xA1, 0xA7}, {{0x40, 0x7E}, {0x80, 0xA0}}, u'\uE4C6'}};
      q.fillFrom = u'\uE766';
      break;
    case 949:
      q.singles = {{0x80, u'\u0080'}, {0xFF, u'\uF8F7'}};
      q.leads = {{0x81, 0xFE}};
      q.eudc = {{{0xC9, 0xC9}, {{0xA1, 0xFE}}, u'\uE000'},
                {{0xFE, 0xFE}, {{0xA1, 0xFE}}, u'\uE05E'}};
      break;
    case 950:
      q.singles = {{0x80, u'\u0080'}, {0xFF, u'\uF8F8'}};
      q.leads = {{0x81, 0xFE}};
      q.eudc = {{{0x81, 0x8D}, {{0x40, 0x7E}, {0xA1, 0xFE}}, u'\uEEB8'},
                {{0x8E, 0xA0}, {{0x40, 0x7E}, {0xA1, 0xFE}}, u'\uE311'},
                {{0xFA, 0xFE}, {{0x40, 0x7E}, {0xA1, 0xFE}}, u'\uE000'}};
      q.preferred = {{u'\u2550', 0xF9F9}, {u'\u255E', 0xF9E9}, {u'\u2561', 0xF9EB},
                     {u'\u256A', 0xF9EA}};
      break;
    case 857:
      q.singles = {{0xD5, u'\uF8BB'}, {0xE7, u'\uF8BC'}, {0xF2, u'\uF8BD'}};
      break;
    case 874:
      q.singles = {{0xDB, u'\uF8C1'}, {0xDC, u'\uF8C2'}, {0xDD, u'\uF8C3'}, {0xDE, u'\uF8C4'},
                   {0xFC, u'\uF8C5'}, {0xFD, u'\uF8C6'}, {0xFE, u'\uF8C7'}, {0xFF, u'\uF8C8'}};
      break;
    case 1253:
      q.singles = {{0xAA, u'\uF8F9'}, {0xD2, u'\uF8FA'}, {0xFF, u'\uF8FB'}};
      break;
    case 1255:
      q.singles = {{0xCA, u'\u05BA'}, {0xD9, u'\uF88D'}, {0xDA, u'\uF88E'}, {0xDB, u'\uF88F'},
                   {0xDC, u'\uF890'}, {0xDD, u'\uF891'}, {0xDE, u'\uF892'}, {0xDF, u'\uF893'},
                   {0xFB, u'\uF894'}, {0xFC, u'\uF895'}, {0xFF, u'\uF896'}};
      break;
    case 1257:
      q.singles = {{0xA1, u'\uF8FC'}, {0xA5, u'\uF8FD'}};
      break;
    default:
      break;
  }
  return q;
}

// Adds Windows' best-fit mappings of `page` for the characters still without a code.
void AddBestFit(PageTables& t) {
  for (const BestFitPage& fit : kBestFit) {
    if (fit.page != t.page) continue;
    const char* p = fit.entries;
    while (*p) {
      char* end = nullptr;
      const unsigned long first = std::strtoul(p, &end, 16);
      const unsigned long code = std::strtoul(end + 1, &end, 16);
      unsigned long count = 1;
      const char kind = *end;
      if (kind == '+' || kind == '*') count = std::strtoul(end + 1, &end, 10);
      for (unsigned long i = 0; i < count; ++i) {
        const auto target = static_cast<std::uint16_t>(kind == '+' ? code + i : code);
        if (t.narrow[first + i] == kUnmapped) t.narrow[first + i] = target;
      }
      p = end;
      while (*p == ' ') ++p;
    }
  }
}

std::unique_ptr<PageTables> BuildTables(UINT page) {
  const std::string name = IconvName(page);
  IconvHandle toWide("UTF-16LE", name.c_str());
  IconvHandle toNarrow(name.c_str(), "UTF-16LE");
  if (!toWide.ok() || !toNarrow.ok()) return nullptr;
  auto t = std::make_unique<PageTables>();
  t->page = page;
  const PageQuirks quirks = QuirksOf(page);
  t->defaultWide = quirks.defaultWide;

  for (int b = 0; b < 256; ++b) {
    bool incomplete = false;
    const auto wide = OneUnit(Convert(toWide, std::string(1, static_cast<char>(b)), &incomplete));
    if (incomplete && b >= 0x80) {
      t->lead[b] = true;
      t->doubleByte = true;
      t->single[b] = t->defaultWide;
    } else {
      // Windows gives every byte a character: those the page leaves open stand for
      // the Unicode character of the same number.
      t->single[b] = wide ? *wide : static_cast<char16_t>(b);
    }
  }
  for (const auto& [first, last] : quirks.leads) {
    for (int b = first; b <= last; ++b) {
      t->lead[b] = true;
      t->single[b] = t->defaultWide;
    }
  }
  for (const auto& [b, c] : quirks.singles) t->single[b] = c;

  if (t->doubleByte) {
    t->pairs.assign(65536, static_cast<char16_t>(kUnmapped));
    for (int l = 0x80; l < 256; ++l) {
      if (!t->lead[l]) continue;
      for (int tr = 1; tr < 256; ++tr) {
        const std::string two{static_cast<char>(l), static_cast<char>(tr)};
        if (const auto wide = OneUnit(Convert(toWide, two))) t->pairs[l * 256 + tr] = *wide;
      }
    }
    for (const EudcBlock& block : quirks.eudc) {
      char16_t next = block.first;
      for (int l = block.leads.first; l <= block.leads.second; ++l) {
        for (const auto& [first, last] : block.trails) {
          for (int tr = first; tr <= last; ++tr, ++next) {
            if (t->pairs[l * 256 + tr] == kUnmapped) t->pairs[l * 256 + tr] = next;
          }
        }
      }
    }
    if (quirks.fillFrom) {
      char16_t next = quirks.fillFrom;
      for (int l = 0x81; l < 0xFF; ++l) {
        for (int tr = 0x40; tr < 0xFF; ++tr) {
          if (tr != 0x7F && t->lead[l] && t->pairs[l * 256 + tr] == kUnmapped) t->pairs[l * 256 + tr] = next++;
        }
      }
    }
  }

  t->narrow.assign(65536, kUnmapped);
  for (int u = 0; u < 65536; ++u) {
    if (u >= 0xD800 && u < 0xE000) continue;
    const auto bytes = Convert(toNarrow, UnitBytes(static_cast<char16_t>(u)));
    if (!bytes || bytes->empty() || bytes->size() > 2) continue;
    const auto b0 = static_cast<unsigned char>((*bytes)[0]);
    if (bytes->size() == 1 && !t->lead[b0] && t->single[b0] == u) {
      t->narrow[u] = b0;
    } else if (bytes->size() == 2 && t->lead[b0]) {
      const auto code = static_cast<std::uint16_t>(b0 * 256 + static_cast<unsigned char>((*bytes)[1]));
      if (t->pairs[code] == u) t->narrow[u] = code;
    }
  }
  // Characters that only Windows' table gives a byte reach it the other way round too.
  for (int b = 0; b < 256; ++b) {
    if (!t->lead[b] && t->narrow[t->single[b]] == kUnmapped) t->narrow[t->single[b]] = b;
  }
  if (t->doubleByte) {
    for (int code = 0x8000; code < 65536; ++code) {
      const char16_t c = t->pairs[code];
      if (c != kUnmapped && t->narrow[c] == kUnmapped) t->narrow[c] = static_cast<std::uint16_t>(code);
    }
  }
  for (const auto& [c, code] : quirks.preferred) t->narrow[c] = code;
  AddBestFit(*t);
  return t;
}

void FillUpper(PageTables& t);

struct CodePageState {
  std::mutex mutex;
  std::map<UINT, std::unique_ptr<PageTables>> pages;
  std::map<UINT, bool> unknown;
  std::optional<UINT> acp;
  std::optional<UINT> oemcp;
};

CodePageState& State() {
  static CodePageState state;
  return state;
}

// The tables of `page`, built on first use; null when iconv does not know the page.
// The caller holds the state's mutex.
const PageTables* TablesLocked(CodePageState& s, UINT page) {
  if (const auto it = s.pages.find(page); it != s.pages.end()) return it->second.get();
  if (s.unknown.count(page)) return nullptr;
  auto built = BuildTables(page);
  if (!built) {
    s.unknown[page] = true;
    return nullptr;
  }
  FillUpper(*built);
  return (s.pages[page] = std::move(built)).get();
}

// The code page named by `variable`, or `fallback` when it names none that iconv
// knows. UTF-8 and the pseudo pages are no ANSI or OEM page of their own.
UINT PageFromEnvironmentLocked(CodePageState& s, const char* variable, UINT fallback) {
  const char* text = std::getenv(variable);
  if (!text || !*text) return fallback;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (*end != '\0' || value <= CP_THREAD_ACP || value >= CP_UTF8) return fallback;
  return TablesLocked(s, static_cast<UINT>(value)) ? static_cast<UINT>(value) : fallback;
}

// The page behind the pseudo pages that the A functions accept.
UINT RealPage(UINT codePage) {
  if (codePage == CP_ACP || codePage == CP_THREAD_ACP) return AnsiCodePage();
  if (codePage == CP_OEMCP) return OemCodePage();
  return codePage;
}

// The ANSI page's tables, kept at hand: CharNextA and CharUpperBuffA ask for them once
// per character or text, millions of times in a large scan. Tables live until the process
// ends, so the pointer stays valid; ResetCodePages clears it.
std::atomic<const PageTables*> ansiTables{nullptr};

const PageTables* Tables(UINT codePage) {
  const bool ansi = codePage == CP_ACP || codePage == CP_THREAD_ACP;
  if (ansi) {
    if (const PageTables* t = ansiTables.load(std::memory_order_acquire)) return t;
  }
  const UINT page = RealPage(codePage);
  auto& s = State();
  std::lock_guard lock(s.mutex);
  const PageTables* t = TablesLocked(s, page);
  if (ansi) ansiTables.store(t, std::memory_order_release);
  return t;
}

std::u16string Decode(const PageTables& t, std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (!t.lead[b]) {
      out += t.single[b];
      continue;
    }
    if (i + 1 == text.size()) {
      out += t.defaultWide;
      continue;
    }
    const auto trail = static_cast<unsigned char>(text[i + 1]);
    // A lead byte before a zero stands alone, so that the zero still ends the text.
    if (trail == 0) {
      out += t.defaultWide;
      continue;
    }
    const char16_t c = t.pairs[b * 256 + trail];
    out += c == static_cast<char16_t>(kUnmapped) ? t.defaultWide : c;
    ++i;
  }
  return out;
}

// `text` in the page; a character it lacks becomes `fallback`, and `usedFallback`
// (when given) tells whether that happened.
std::string Encode(const PageTables& t, std::u16string_view text, std::string_view fallback = "?",
                   bool* usedFallback = nullptr) {
  if (usedFallback) *usedFallback = false;
  std::string out;
  out.reserve(text.size());
  // Each half of a surrogate pair counts as a character of its own, as on Windows.
  for (const char16_t c : text) {
    const std::uint16_t code = t.narrow[c];
    if (code == kUnmapped) {
      out += fallback;
      if (usedFallback) *usedFallback = true;
    } else if (code > 0xFF) {
      out += static_cast<char>(code >> 8);
      out += static_cast<char>(code & 0xFF);
    } else {
      out += static_cast<char>(code);
    }
  }
  return out;
}

void FillUpper(PageTables& t) {
  for (int b = 0; b < 256; ++b) {
    t.upper[b] = static_cast<unsigned char>(b);
    if (t.lead[b]) continue;
    // A capital the page lacks comes back as its best fit or '?', as on Windows; one
    // that would take two bytes cannot replace a single byte and leaves it alone.
    const std::string up = Encode(t, std::u16string(1, UpperChar(t.single[b])));
    if (up.size() == 1) t.upper[b] = static_cast<unsigned char>(up[0]);
  }
}

}  // namespace

std::string ToPage(std::u16string_view text, UINT codePage, std::string_view fallback,
                   bool* usedFallback) {
  const PageTables* t = Tables(codePage);
  return t ? Encode(*t, text, fallback, usedFallback) : std::string();
}

UINT RealCodePage(UINT codePage) { return RealPage(codePage); }

bool KnownPage(UINT codePage) {
  return RealPage(codePage) == CP_UTF8 || Tables(codePage) != nullptr;
}

void UpperAnsi(char* text, std::size_t length) {
  const PageTables* t = Tables(CP_ACP);
  if (!t) return;
  for (std::size_t i = 0; i < length; ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (t->lead[b]) {
      ++i;
      continue;
    }
    text[i] = static_cast<char>(t->upper[b]);
  }
}

UINT AnsiCodePage() {
  auto& s = State();
  std::lock_guard lock(s.mutex);
  if (!s.acp) s.acp = PageFromEnvironmentLocked(s, "TAVDUMP_ACP", 1252);
  return *s.acp;
}

UINT OemCodePage() {
  auto& s = State();
  std::lock_guard lock(s.mutex);
  if (!s.oemcp) s.oemcp = PageFromEnvironmentLocked(s, "TAVDUMP_OEMCP", 437);
  return *s.oemcp;
}

void ResetCodePages() {
  auto& s = State();
  std::lock_guard lock(s.mutex);
  ansiTables.store(nullptr, std::memory_order_release);
  s.acp.reset();
  s.oemcp.reset();
}

bool CheckCodePages(std::string& /*error*/) { return true; }

bool IsLeadByte(UINT codePage, unsigned char byte) {
  const PageTables* t = Tables(codePage);
  return t && t->lead[byte];
}

std::u16string ToUtf16(std::string_view text, UINT codePage) {
  if (RealPage(codePage) == CP_UTF8) return Utf8ToUtf16(text);
  const PageTables* t = Tables(codePage);
  return t ? Decode(*t, text) : std::u16string();
}

std::string FromUtf16(std::u16string_view text, UINT codePage) {
  if (RealPage(codePage) == CP_UTF8) return Utf16ToUtf8(text);
  const PageTables* t = Tables(codePage);
  return t ? Encode(*t, text) : std::string();
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      out += static_cast<char16_t>(b);
      ++i;
      continue;
    }
    int extra = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if (b >= 0xC2 && b <= 0xDF) {
      extra = 1, cp = b & 0x1F, min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
      extra = 2, cp = b & 0x0F, min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
      extra = 3, cp = b & 0x07, min = 0x10000;
    } else {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    // A sequence cut short becomes one replacement character for the bytes it had.
    std::size_t j = i + 1;
    bool broken = false;
    for (int k = 0; k < extra; ++k, ++j) {
      if (j >= text.size() || (static_cast<unsigned char>(text[j]) & 0xC0) != 0x80) {
        broken = true;
        break;
      }
      cp = cp << 6 | (static_cast<unsigned char>(text[j]) & 0x3F);
      // A second byte that no character of this length can have spoils the pair of
      // them together; the bytes after it count on their own.
      if (k == 0) {
        const char32_t partial = cp << (6 * (extra - 1));
        if (partial < min || (partial >= 0xD800 && partial < 0xE000) || partial > 0x10FFFF) {
          broken = true;
          ++j;
          break;
        }
      }
    }
    if (broken) {
      out += u'\uFFFD';
      i = j;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
    i = j;
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp < 0xE000) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | cp >> 6);
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | cp >> 12);
      out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | cp >> 18);
      out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

char16_t UpperChar(char16_t c) {
  // One table for all of UTF-16: sorting registry keys asks for millions of letters.
  static const std::vector<char16_t> table = [] {
    std::vector<char16_t> upper(65536);
    const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    for (std::size_t i = 0; i < upper.size(); ++i) {
      const auto unit = static_cast<char16_t>(i);
      upper[i] = unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - 0x20) : unit;
      if (!utf8 || unit < 0x80 || (unit >= 0xD800 && unit < 0xE000)) continue;
      // Windows only maps letters that come back when lowered again: the micro sign,
      // the dotless i, the long s, final sigma and title-case digraphs keep their form.
      const wint_t up = towupper_l(unit, utf8);
      if (up <= 0xFFFF && towlower_l(up, utf8) == unit) upper[i] = static_cast<char16_t>(up);
    }
    if (utf8) freelocale(utf8);
    return upper;
  }();
  return table[c];
}

}  // namespace tavplat

// The Win32 functions themselves, over the procedures above.

UINT WINAPI GetACP() { return tavplat::AnsiCodePage(); }

UINT WINAPI GetOEMCP() { return tavplat::OemCodePage(); }

BOOL WINAPI IsDBCSLeadByte(BYTE TestChar) {
  return tavplat::IsLeadByte(CP_ACP, TestChar) ? TRUE : FALSE;
}

LPSTR WINAPI CharNextA(LPCSTR lpsz) {
  if (*lpsz == '\0') return const_cast<LPSTR>(lpsz);
  if (IsDBCSLeadByte(static_cast<BYTE>(*lpsz)) && lpsz[1] != '\0') return const_cast<LPSTR>(lpsz + 2);
  return const_cast<LPSTR>(lpsz + 1);
}

DWORD WINAPI CharUpperBuffA(LPSTR lpsz, DWORD cchLength) {
  if (!lpsz) return 0;
  tavplat::UpperAnsi(lpsz, cchLength);
  return cchLength;
}

BOOL WINAPI CharToOemA(LPCSTR pSrc, LPSTR pDst) {
  if (!pSrc || !pDst) return FALSE;
  const std::string_view ansi(pSrc);
  std::string oem = tavplat::FromUtf16(tavplat::ToUtf16(ansi, CP_ACP), CP_OEMCP);
  // The caller's buffer holds the ANSI text, so the OEM text may not grow beyond it.
  oem.resize(ansi.size(), '\0');
  std::copy(oem.begin(), oem.end(), pDst);
  pDst[oem.size()] = '\0';
  return TRUE;
}

namespace {

constexpr DWORD kErrorInvalidFlags = 1004;

// How many leading units of `text` make whole characters and fit into `room`: a
// too small buffer receives only whole characters.
std::size_t WholeUnits(const std::u16string& text, std::size_t room, UINT) {
  if (room > 0 && room < text.size() && text[room - 1] >= 0xD800 && text[room - 1] < 0xDC00)
    return room - 1;
  return room;
}

std::size_t WholeUnits(const std::string& text, std::size_t room, UINT codePage) {
  if (codePage == CP_UTF8) {
    while (room > 0 && room < text.size() && (static_cast<unsigned char>(text[room]) & 0xC0) == 0x80)
      --room;
    return room;
  }
  std::size_t whole = 0;
  for (std::size_t i = 0; i < room;) {
    i += tavplat::IsLeadByte(codePage, static_cast<unsigned char>(text[i])) ? 2 : 1;
    if (i <= room) whole = i;
  }
  return whole;
}

// The Windows answer for a converted `result` and a buffer of `room` units: the size
// needed when `room` is 0, else the count written, or 0 with the buffer error when it
// does not fit (the buffer then holds the whole characters that fitted).
template <typename Text, typename Unit>
int Deliver(const Text& result, Unit* out, int room, UINT codePage) {
  const int needed = static_cast<int>(result.size());
  if (room == 0) return needed;
  if (needed > room) {
    const std::size_t whole = WholeUnits(result, static_cast<std::size_t>(room), codePage);
    std::copy(result.begin(), result.begin() + static_cast<std::ptrdiff_t>(whole), out);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::copy(result.begin(), result.end(), out);
  return needed;
}

}  // namespace

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
  if (!lpMultiByteStr || cbMultiByte == 0 || cchWideChar < 0 || (cchWideChar > 0 && !lpWideCharStr) ||
      static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr) ||
      !tavplat::KnownPage(CodePage)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (dwFlags != 0) {
    SetLastError(kErrorInvalidFlags);
    return 0;
  }
  // Every negative length means "up to and with the terminating zero", as on the platform.
  const std::size_t length = cbMultiByte < 0 ? std::char_traits<char>::length(lpMultiByteStr) + 1
                                             : static_cast<std::size_t>(cbMultiByte);
  return Deliver(tavplat::ToUtf16(std::string_view(lpMultiByteStr, length), CodePage), lpWideCharStr,
                 cchWideChar, CodePage);
}

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                               LPBOOL lpUsedDefaultChar) {
  if (!lpWideCharStr || cchWideChar == 0 || cbMultiByte < 0 || (cbMultiByte > 0 && !lpMultiByteStr) ||
      static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr) ||
      !tavplat::KnownPage(CodePage)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (dwFlags != 0) {
    SetLastError(kErrorInvalidFlags);
    return 0;
  }
  const std::size_t length = cchWideChar < 0 ? std::char_traits<char16_t>::length(lpWideCharStr) + 1
                                             : static_cast<std::size_t>(cchWideChar);
  const std::u16string_view text(lpWideCharStr, length);
  const UINT page = CodePage == CP_UTF8 ? CP_UTF8 : tavplat::RealCodePage(CodePage);
  bool used = false;
  std::string result;
  if (page == CP_UTF8) {
    result = tavplat::Utf16ToUtf8(text);
  } else {
    result = tavplat::ToPage(text, page, lpDefaultChar ? std::string_view(lpDefaultChar, 1) : "?", &used);
  }
  if (lpUsedDefaultChar) *lpUsedDefaultChar = used ? TRUE : FALSE;
  return Deliver(result, lpMultiByteStr, cbMultiByte, page);
}
