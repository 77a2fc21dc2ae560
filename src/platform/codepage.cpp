#include "codepage.h"

#include "machine.h"
#include "recorded_pages.h"

#include <locale.h>
#include <wctype.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <vector>

namespace tavplat {

namespace {

// Windows converts through one table per code page, and Wine ships those tables in
// Windows' own format (Debian's package libwine): the layer reads them, so that every
// conversion is Windows' own. The default pages are recorded in the program as well
// (scripts/record-codepages.py), so that it runs without the package.
constexpr const char* kTableFolder = "/usr/share/wine/nls/";

// The ANSI and OEM pages of Windows' locales that write ASCII as ASCII, as the core needs.
constexpr UINT kSupportedPages[] = {437,  720,  737,  775,  850,  852,  857,  862,
                                    866,  874,  932,  936,  949,  950,  1250, 1251,
                                    1252, 1253, 1254, 1255, 1256, 1257, 1258};
constexpr const char* kSupportedList =
    "437, 720, 737, 775, 850, 852, 857, 862, 866, 874, 932, 936, 949, 950 or 1250 to 1258";

struct PageTable {
  // The byte that a character without any mapping becomes, and the character that a
  // lead byte without its trail becomes.
  std::uint16_t defaultChar = '?';
  char16_t defaultWide = u'?';
  std::array<bool, 256> lead{};
  std::array<char16_t, 256> single{};
  // Indexed by lead * 256 + trail; double-byte pages only.
  std::vector<char16_t> pairs;
  // Indexed by UTF-16 unit: the byte, or lead * 256 + trail; best fit included.
  std::vector<std::uint16_t> narrow = std::vector<std::uint16_t>(65536, '?');
};

// A table in Windows' NLS format: a header (its length in words first, then the page,
// the longest character in bytes, the default byte and the default character), the
// distance in words to the Unicode table, the characters of the 256 bytes, a count and
// that many glyphs, a count of double-byte ranges and, when nonzero, the offsets of each
// lead byte's 256 characters; then the Unicode table, bytes or (double-byte pages) words.
std::unique_ptr<PageTable> ReadTable(UINT page, std::string& error) {
  const std::string path = kTableFolder + ("c_" + std::to_string(page) + ".nls");
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "code page " + std::to_string(page) + " needs Windows' table " + path +
            " (from Wine): " + std::strerror(errno);
    return nullptr;
  }
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  bool complete = true;
  const auto word = [&](std::size_t i) -> std::uint16_t {
    if (2 * i + 1 < bytes.size())
      return static_cast<unsigned char>(bytes[2 * i]) |
             static_cast<unsigned char>(bytes[2 * i + 1]) << 8;
    complete = false;
    return 0;
  };
  auto t = std::make_unique<PageTable>();
  const std::size_t header = word(0);
  const bool doubleByte = word(2) == 2;
  t->defaultChar = word(3);
  t->defaultWide = word(4);
  const std::size_t unicode = header + word(header) + 1;
  for (int b = 0; b < 256; ++b) t->single[b] = word(header + 1 + b);
  std::size_t p = header + 257;
  if (word(p++)) p += 256;
  if (word(p++)) {
    t->pairs.assign(65536, t->defaultWide);
    for (int l = 0; l < 256; ++l) {
      const std::size_t offset = word(p + l);
      t->lead[l] = offset != 0;
      for (int trail = 0; offset && trail < 256; ++trail)
        t->pairs[l * 256 + trail] = word(p + offset + trail);
    }
  }
  for (std::size_t u = 0; u < 65536; ++u)
    t->narrow[u] = doubleByte ? word(unicode + u) : word(unicode + u / 2) >> (u % 2 * 8) & 0xFF;
  if (!complete || word(1) != page || doubleByte != !t->pairs.empty()) {
    error = "code page " + std::to_string(page) + ": " + path + " is no valid code-page table";
    return nullptr;
  }
  return t;
}

std::unique_ptr<PageTable> RecordedTable(const char* data) {
  auto t = std::make_unique<PageTable>();
  char* p = const_cast<char*>(data);
  for (int b = 0; b < 256; ++b) {
    t->single[b] = static_cast<char16_t>(b < 0x80 ? b : std::strtoul(p, &p, 16));
    t->narrow[t->single[b]] = static_cast<std::uint16_t>(b);
  }
  for (unsigned long unit = 0; *p;) {
    unit += std::strtoul(p, &p, 16);
    t->narrow[unit] = static_cast<std::uint16_t>(std::strtoul(p, &p, 16));
  }
  return t;
}

// The process runs on one thread, as the tool does.
struct CodePages {
  // Every table asked for, null with its reason when it cannot be had.
  std::map<UINT, std::pair<std::unique_ptr<PageTable>, std::string>> tables;
  bool chosen = false;
  UINT acp = 1252;
  UINT oemcp = 437;
  const PageTable* ansi = nullptr;
  std::string error;
};

CodePages& State() {
  static CodePages state;
  return state;
}

bool Supported(UINT page) {
  return std::find(std::begin(kSupportedPages), std::end(kSupportedPages), page) !=
         std::end(kSupportedPages);
}

// The table of a supported page, read on first use; null (and why) when there is none.
const PageTable* Table(UINT page, std::string* error = nullptr) {
  auto& [table, why] = State().tables[page];
  if (!table && why.empty()) {
    for (const RecordedPage& recorded : kRecordedPages)
      if (recorded.page == page) table = RecordedTable(recorded.data);
    if (!table && Supported(page)) table = ReadTable(page, why);
    if (!table && why.empty()) why = "code page " + std::to_string(page) + " is not supported";
  }
  if (!table && error) *error = why;
  return table.get();
}

// `text` in double quotes for a one-line message: at most 60 bytes of it, and anything
// but printable ASCII as \xHH, so that no value can garble the terminal.
std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size() && i < 60; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') out += '\\';
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02X", c);
    out += c >= 0x20 && c < 0x7F ? std::string(1, static_cast<char>(c)) : std::string(hex);
  }
  return out + (text.size() > 60 ? "\"..." : "\"");
}

// The page that `variable` names; `fallback` when it is unset, and also (with `error`
// set, unless it is already) when it names no supported page.
UINT PageOf(const char* variable, UINT fallback, std::string& error) {
  const char* text = std::getenv(variable);
  if (!text) return fallback;
  const char* end = text + std::strlen(text);
  UINT page = 0;
  const auto [rest, failure] = std::from_chars(text, end, page);
  if (failure == std::errc() && rest == end && Supported(page)) return page;
  if (error.empty())
    error = std::string(variable) + "=" + Quoted(text) + " names no supported code page (" +
            kSupportedList + ")";
  return fallback;
}

// The OEM page that Windows gives a locale with this ANSI page.
UINT PairedOemPage(UINT ansi) {
  switch (ansi) {
    case 1250: return 852;
    case 1251: return 866;
    case 1252: return 437;
    case 1253: return 737;
    case 1254: return 857;
    case 1255: return 862;
    case 1256: return 720;
    case 1257: return 775;
    default: return ansi;
  }
}

CodePages& Chosen() {
  CodePages& s = State();
  if (s.chosen) return s;
  s.chosen = true;
  s.error.clear();
  // The machine's own pages, where its registry tells them, stand in for unset variables.
  const MachineFacts& machine = Facts();
  s.acp = PageOf("TAVDUMP_ACP", machine.acp ? machine.acp : 1252, s.error);
  UINT oemcp = machine.oemcp ? machine.oemcp : machine.acp ? PairedOemPage(machine.acp) : 437;
  if (std::getenv("TAVDUMP_ACP")) oemcp = PairedOemPage(s.acp);
  s.oemcp = PageOf("TAVDUMP_OEMCP", oemcp, s.error);
  // A page whose table cannot be read gives way to the default, which is recorded.
  std::string why;
  if (!Table(s.acp, &why)) s.acp = 1252;
  if (s.error.empty()) s.error = why;
  why.clear();
  if (!Table(s.oemcp, &why)) s.oemcp = 437;
  if (s.error.empty()) s.error = why;
  s.ansi = Table(s.acp);
  return s;
}

// The table behind a page of the A functions: CP_ACP and CP_THREAD_ACP stand for the ANSI
// page, CP_OEMCP for the OEM page. Null for a page without a table.
const PageTable* TableOf(UINT codePage) {
  if (codePage == CP_ACP || codePage == CP_THREAD_ACP) return Chosen().ansi;
  if (codePage == CP_OEMCP) return Table(Chosen().oemcp);
  return Table(codePage);
}

const PageTable& Ansi() { return *Chosen().ansi; }

// The character of the one or two bytes at `text` (a lead byte counts alone when `size` is 1).
char16_t CharOf(const PageTable& t, const char* text, std::size_t size) {
  const auto b = static_cast<unsigned char>(text[0]);
  if (!t.lead[b]) return t.single[b];
  return size == 1 ? t.defaultWide : t.pairs[b * 256 + static_cast<unsigned char>(text[1])];
}

// How many bytes the character at `text` takes, `left` bytes being there: a lead byte
// takes its trail with it unless the text ends or a zero follows.
std::size_t CharSize(const PageTable& t, const char* text, std::size_t left) {
  return t.lead[static_cast<unsigned char>(text[0])] && left > 1 && text[1] != '\0' ? 2 : 1;
}

// Into `out`, which the A functions keep from call to call. Written in place: never more
// characters than bytes. An ASCII start, which every page served writes as itself, is
// widened without the table.
void Decode(const PageTable& t, std::string_view text, std::u16string& out) {
  if (out.size() < text.size()) out.resize(text.size());
  std::size_t n = WidenAscii(text, out.data());
  for (std::size_t i = n; i < text.size();) {
    const std::size_t size = CharSize(t, text.data() + i, text.size() - i);
    out[n++] = CharOf(t, text.data() + i, size);
    i += size;
  }
  out.resize(n);
}

// `text` in the page into `out`, best fit included. With `defaultChar` or `usedDefault`
// given, a character that becomes the page's default byte without being it is written as
// `defaultChar` (when given) and noted, as WideCharToMultiByte does. Each half of a
// surrogate pair is a character of its own, as on Windows.
void Encode(const PageTable& t, std::u16string_view text, std::string& out,
            const char* defaultChar = nullptr, BOOL* usedDefault = nullptr) {
  // Written in place: at most two bytes a character. ASCII is itself in every page served.
  if (out.size() < 2 * text.size()) out.resize(2 * text.size());
  std::size_t n = 0;
  if (usedDefault) *usedDefault = FALSE;
  static_assert(std::endian::native == std::endian::little, "UTF-16 in memory is UTF-16LE");
  n = NarrowAscii(reinterpret_cast<const unsigned char*>(text.data()), text.size(), out.data());
  for (const char16_t c : text.substr(n)) {
    const std::uint16_t code = t.narrow[c];
    if ((defaultChar || usedDefault) && code == t.defaultChar && t.single[code & 0xFF] != c) {
      if (usedDefault) *usedDefault = TRUE;
      if (defaultChar) {
        out[n++] = *defaultChar;
        continue;
      }
    }
    if (code > 0xFF) out[n++] = static_cast<char>(code >> 8);
    out[n++] = static_cast<char>(code & 0xFF);
  }
  out.resize(n);
}

}  // namespace

UINT AnsiCodePage() { return Chosen().acp; }

UINT OemCodePage() { return Chosen().oemcp; }

bool CheckCodePages(std::string& error) {
  error = Chosen().error;
  return error.empty();
}

void ResetCodePages() {
  State().chosen = false;
  ResetMachine();
}

void ToUtf16(std::string_view text, UINT codePage, std::u16string& out) {
  const PageTable* t = TableOf(codePage);
  if (t) Decode(*t, text, out);
  else out.clear();
}

void FromUtf16(std::u16string_view text, UINT codePage, std::string& out) {
  const PageTable* t = TableOf(codePage);
  if (t) Encode(*t, text, out);
  else out.clear();
}

std::u16string ToUtf16(std::string_view text, UINT codePage) {
  std::u16string out;
  ToUtf16(text, codePage, out);
  return out;
}

std::string FromUtf16(std::u16string_view text, UINT codePage) {
  std::string out;
  FromUtf16(text, codePage, out);
  return out;
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

std::size_t WidenAscii(std::string_view text, char16_t* out) {
  const char* in = text.data();
  const std::size_t n = text.size();
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  for (; i + 16 <= n; i += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    if (_mm_movemask_epi8(bytes) != 0) break;  // a byte from 0x80 up
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi8(bytes, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 8), _mm_unpackhi_epi8(bytes, zero));
  }
  // Lines are mostly shorter than 64 bytes: their last part goes eight bytes at a time.
  for (; i + 8 <= n; i += 8) {
    const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + i));
    if ((_mm_movemask_epi8(bytes) & 0xFF) != 0) break;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi8(bytes, zero));
  }
#endif
  for (; i < n && static_cast<unsigned char>(in[i]) < 0x80; ++i) out[i] = static_cast<char16_t>(in[i]);
  return i;
}

std::size_t NarrowAscii(const unsigned char* le, std::size_t units, char* out) {
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  const __m128i beyondAscii = _mm_set1_epi16(static_cast<short>(0xFF80));
  for (; i + 16 <= units; i += 16) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(le + 2 * i));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(le + 2 * i + 16));
    const __m128i wide = _mm_and_si128(_mm_or_si128(low, high), beyondAscii);
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(wide, zero)) != 0xFFFF) break;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(low, high));
  }
#endif
  for (; i < units && le[2 * i + 1] == 0 && le[2 * i] < 0x80; ++i) out[i] = static_cast<char>(le[2 * i]);
  return i;
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

BOOL WINAPI IsDBCSLeadByte(BYTE TestChar) { return tavplat::Ansi().lead[TestChar] ? TRUE : FALSE; }

LPSTR WINAPI CharNextA(LPCSTR lpsz) {
  if (*lpsz == '\0') return const_cast<LPSTR>(lpsz);
  // No page served has a lead byte below 0x80: the writers step through long texts.
  if (static_cast<unsigned char>(*lpsz) < 0x80) return const_cast<LPSTR>(lpsz + 1);
  return const_cast<LPSTR>(lpsz + tavplat::CharSize(tavplat::Ansi(), lpsz, 2));
}

// Windows converts the text to UTF-16, upper-cases it and converts it back. Each character
// is done on its own here, and one whose capital would take another number of bytes keeps
// its bytes, so that the text keeps its length and every position in it stays put.
DWORD WINAPI CharUpperBuffA(LPSTR lpsz, DWORD cchLength) {
  if (!lpsz) return 0;
  const tavplat::PageTable* t = nullptr;
  constexpr std::uint64_t kOnes = 0x0101010101010101u, kHighs = 0x8080808080808080u;
  for (DWORD i = 0; i < cchLength;) {
    // Every page served writes ASCII as itself, whose capitals are its own: the scan
    // upper-cases every command it reads, so those take no look-up, eight bytes at a time
    // while they last. A byte is a small letter when adding 0x80 - 'a' sets its top bit
    // and adding 0x7F - 'z' does not (no byte carries into the next below 0x80).
    if (cchLength - i >= 8) {
      std::uint64_t w;
      std::memcpy(&w, lpsz + i, sizeof w);
      if ((w & kHighs) == 0) {
        const std::uint64_t small = (w + kOnes * (0x80 - 'a')) & ~(w + kOnes * (0x7F - 'z')) & kHighs;
        w -= small >> 2;  // 0x80 >> 2 is the 0x20 between a small letter and its capital
        std::memcpy(lpsz + i, &w, sizeof w);
        i += 8;
        continue;
      }
    }
    const auto b = static_cast<unsigned char>(lpsz[i]);
    if (b < 0x80) {
      if (b >= 'a' && b <= 'z') lpsz[i] = static_cast<char>(b - 0x20);
      ++i;
      continue;
    }
    if (!t) t = &tavplat::Ansi();
    const std::size_t size = tavplat::CharSize(*t, lpsz + i, cchLength - i);
    const std::uint16_t code = t->narrow[tavplat::UpperChar(tavplat::CharOf(*t, lpsz + i, size))];
    if (size == 2 && code > 0xFF) {
      lpsz[i] = static_cast<char>(code >> 8);
      lpsz[i + 1] = static_cast<char>(code & 0xFF);
    } else if (size == 1 && code <= 0xFF) {
      lpsz[i] = static_cast<char>(code);
    }
    i += static_cast<DWORD>(size);
  }
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

// The checks both conversions make: a page with a table, no flags, real buffers.
const tavplat::PageTable* Arguments(UINT page, DWORD flags, const void* in, int inLength,
                                    const void* out, int room) {
  const tavplat::PageTable* t = tavplat::TableOf(page);
  if (!t || !in || inLength == 0 || room < 0 || (room > 0 && !out) || in == out) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (flags != 0) {
    SetLastError(kErrorInvalidFlags);
    return nullptr;
  }
  return t;
}

// The Windows answer for a converted `result` and a buffer of `room` units that holds
// `whole` units of whole characters: the size needed when `room` is 0, else the count
// written, or 0 with the buffer error when it does not fit (the buffer then holds the
// whole characters that fitted).
template <typename Text, typename Unit>
int Deliver(const Text& result, Unit* out, int room, std::size_t whole) {
  const int needed = static_cast<int>(result.size());
  if (room == 0) return needed;
  std::copy_n(result.begin(), std::min(whole, result.size()), out);
  if (needed <= room) return needed;
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return 0;
}

}  // namespace

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
  const tavplat::PageTable* t =
      Arguments(CodePage, dwFlags, lpMultiByteStr, cbMultiByte, lpWideCharStr, cchWideChar);
  if (!t) return 0;
  // Every negative length means "up to and with the terminating zero", as on the platform.
  const std::size_t length = cbMultiByte < 0 ? std::char_traits<char>::length(lpMultiByteStr) + 1
                                             : static_cast<std::size_t>(cbMultiByte);
  thread_local std::u16string result;
  tavplat::Decode(*t, std::string_view(lpMultiByteStr, length), result);
  return Deliver(result, lpWideCharStr,
                 cchWideChar, static_cast<std::size_t>(cchWideChar));
}

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                               LPBOOL lpUsedDefaultChar) {
  const tavplat::PageTable* t =
      Arguments(CodePage, dwFlags, lpWideCharStr, cchWideChar, lpMultiByteStr, cbMultiByte);
  if (!t) return 0;
  const std::size_t length = cchWideChar < 0 ? std::char_traits<char16_t>::length(lpWideCharStr) + 1
                                             : static_cast<std::size_t>(cchWideChar);
  thread_local std::string result;
  tavplat::Encode(*t, std::u16string_view(lpWideCharStr, length), result, lpDefaultChar,
                  lpUsedDefaultChar);
  // A buffer too small gets whole characters only.
  std::size_t whole = 0;
  for (std::size_t i = 0; i <= static_cast<std::size_t>(cbMultiByte) && i < result.size();) {
    i += tavplat::CharSize(*t, result.data() + i, result.size() - i);
    if (i <= static_cast<std::size_t>(cbMultiByte)) whole = i;
  }
  return Deliver(result, lpMultiByteStr, cbMultiByte, whole);
}
