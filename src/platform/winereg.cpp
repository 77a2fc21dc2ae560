#include "winereg.h"

#include <locale.h>
#include <sys/stat.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string_view>
#include <vector>

#include "codepage.h"
#include "filewindow.h"

namespace tavplat {

namespace {

// Windows nests keys at most 512 deep below a root key; the bound also keeps the merge and
// the freeing of the tree, which recurse by level, far from the end of the stack.
constexpr std::size_t kMaxDepth = 512;

struct ParseError {
  LSTATUS status;
  std::string message;
};

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r'; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The length of the run of bytes at the start of `s` that stand for themselves in an
// escaped string ending at `end`: up to a backslash, a byte beyond ASCII or `end`. Most of
// a registry file is such runs: they are looked through sixteen or eight bytes at a time.
// Most runs take one step, as long as the call itself: it is made in place (4 % of the
// instructions of a run on a Wine file).
[[gnu::always_inline]] inline std::size_t PlainRun(std::string_view s, char end) {
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i backslash16 = _mm_set1_epi8('\\'), end16 = _mm_set1_epi8(end);
  for (; i + 16 <= s.size(); i += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + i));
    const __m128i stop = _mm_or_si128(_mm_cmpeq_epi8(bytes, backslash16),
                                      _mm_cmpeq_epi8(bytes, end16));
    // A byte from 0x80 up stops the run too: its top bit is the mask's.
    const auto stops = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(stop, bytes)));
    if (stops) return i + static_cast<std::size_t>(std::countr_zero(stops));
  }
#endif
  constexpr std::uint64_t kOnes = 0x0101010101010101u, kHighs = 0x8080808080808080u;
  const std::uint64_t backslashes = kOnes * '\\';
  const std::uint64_t ends = kOnes * static_cast<unsigned char>(end);
  // Not zero when a byte of `v` is zero.
  auto zeroByte = [&](std::uint64_t v) { return (v - kOnes) & ~v & kHighs; };
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t w;
    std::memcpy(&w, s.data() + i, 8);
    const std::uint64_t stops = (w & kHighs) | zeroByte(w ^ backslashes) | zeroByte(w ^ ends);
    // The lowest mark is exact (a borrow only marks bytes above a true one): on a
    // little-endian machine it is the first byte that ends the run.
    if (stops && std::endian::native == std::endian::little)
      return i + static_cast<std::size_t>(std::countr_zero(stops)) / 8;
    if (stops) break;
  }
  while (i < s.size() && s[i] != end && s[i] != '\\' && static_cast<unsigned char>(s[i]) < 0x80)
    ++i;
  return i;
}

// The input as a message quotes it: at most 60 characters, control characters and bytes
// beyond ASCII as escapes, so that no quote can end the line or drive the terminal.
std::string Shown(std::string_view text) {
  constexpr std::size_t kMaxShown = 60;
  std::string out;
  for (std::size_t i = 0; i < text.size() && i < kMaxShown; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
      continue;
    }
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\x%02x", c);
    out += c == 0 ? "\\0" : c == '\t' ? "\\t" : c == '\r' ? "\\r" : escape;
  }
  if (text.size() > kMaxShown) out += "...";
  return out;
}

// Without building the folded names: most key lines are compared with a few fixed names.
bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i] && UpperChar(a[i]) != UpperChar(b[i])) return false;
  return true;
}

// An ASCII name as it stands in the file against a name of ours.
bool EqualNoCase(std::string_view ascii, std::u16string_view b) {
  if (ascii.size() != b.size()) return false;
  for (std::size_t i = 0; i < b.size(); ++i)
    if (ascii[i] != b[i] && UpperChar(static_cast<char16_t>(ascii[i])) != UpperChar(b[i]))
      return false;
  return true;
}

// A string's bytes as the registry keeps them, with its terminating null character.
std::vector<BYTE> LittleEndianWithNull(std::u16string_view text) {
  std::vector<BYTE> bytes(text.size() * 2 + 2);
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(bytes.data(), text.data(), text.size() * 2);
    return bytes;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    bytes[2 * i] = static_cast<BYTE>(text[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<BYTE>(text[i] >> 8);
  }
  return bytes;
}

// The keys of the machine's part that tell its facts, below the file's root.
enum class Place { None, Classes, CurrentVersion, NtCurrentVersion, Environment, Environment001 };

struct StringValue {
  std::u16string name;
  DWORD type;
  std::u16string text;
};

constexpr std::uint32_t kNone = UINT32_MAX;

// HashKeyName, of a name in UTF-16 or of an ASCII name as it stands in the file; ASCII
// is folded here, without a call for each letter.
template <class Name>
std::uint32_t NameHash(Name name) {
  std::uint32_t h = 2166136261u;
  for (const auto c : name) {
    const auto unit = static_cast<char16_t>(c);
    const char16_t folded = unit >= u'a' && unit <= u'z' ? unit - 0x20
                            : unit < 0x80                ? unit
                                                         : FoldKeyChar(unit);
    h = (h ^ folded) * 16777619u;
  }
  return h ? h : 1;
}

struct Index;

// Reads a Wine registry file in one of two ways. Checking (`index` set) reads the whole file
// and reports its first fault; it keeps what tells of the machine and the values of the
// classes key itself, and hands each section below a root key of the classes to the index
// after checking it, building nothing. Filling (`fillRoot` set) reads the sections of one
// root key again, which the check has passed, and builds the keys below it.
//
// The file comes through a window (FileWindow): `rest` is the part of the window not read
// yet, and a line that the window cuts is asked for again from its start. So a view into
// the file (`text`, a name in it) is good until the next line is read only: whatever
// outlives its line is copied or decoded first.
struct Parser {
  std::string name;
  FileWindow* file = nullptr;
  std::string_view rest;      // the window's bytes not yet read
  std::size_t restPos = 0;    // where they start in the file
  // Filling: the window's bytes as the last read gave them, and where they start in the
  // file. The sections of a root key mostly lie in the window of the one before, found
  // without a call; no one else reads the file once it is checked.
  std::string_view window;
  std::size_t windowPos = 0;
  std::size_t line = 0;       // number of the line last read
  std::string_view text;      // that line, without its line end
  std::size_t textPos = 0;    // where that line starts in the file
  Index* index = nullptr;
  RegKey* fillRoot = nullptr;
  std::size_t fillLevel = 3;  // the place of `fillRoot`'s name in a key path
  RegKey classes;  // checking: the classes key with its own values
  // The key that values go to (null while only checking them), and the keys that led there
  // from the root key, to find the next key (Wine writes a key right after its parent)
  // without walking from the root key again.
  Place place = Place::None;
  RegKey* key = nullptr;
  bool link = false;
  std::vector<RegKey*> openKeys;
  std::vector<StringValue> facts[6];
  // Reused from one line to the next: a million keys make no million allocations. The
  // buffers of UTF-16 text only grow; the text in them is the view beside them.
  std::vector<char16_t> pathUnits, valueNameUnits, stringUnits;
  std::u16string_view path;
  std::vector<std::u16string_view> names;
  std::vector<std::string_view> plainNames;
  std::u16string rootName;  // a name of a plain path in UTF-16
  std::u16string_view valueName;
  std::u16string_view string;
  std::vector<BYTE> bytes;

  [[noreturn]] void Fail(const std::string& what) const {
    throw ParseError{ERROR_BADDB, name + ":" + std::to_string(line) + ": " + what};
  }

  bool NextLine() {
    std::size_t end = rest.find('\n');
    if (end == std::string_view::npos) [[unlikely]] {
      end = WholeLine();
      if (rest.empty()) return false;
    }
    textPos = restPos;
    text = rest.substr(0, end);
    const std::size_t used = std::min(end + 1, rest.size());
    rest.remove_prefix(used);
    restPos += used;
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    ++line;
    return true;
  }

  // The window cuts the line at `restPos` (or the file ends in it): the window from there
  // on again, holding twice as much as `rest` did, so that a line longer than the window
  // takes a few reads, until the line's end is in it. Its length without the line break.
  // The check reports a file it cannot read as it reports one it cannot open; a fill
  // reads what the check has read (see Reread).
  [[gnu::noinline]] std::size_t WholeLine() {
    std::size_t searched = rest.size();
    while (restPos + rest.size() < file->Size()) {
      const std::size_t length =
          std::min(file->Size() - restPos, std::max<std::size_t>(1, rest.size() * 2));
      if (!index) {
        window = rest = file->Reread(restPos, length);
        windowPos = restPos;
      } else if (!file->Read(restPos, length, rest)) {
        throw ParseError{ERROR_FILE_NOT_FOUND, name + ": " + file->Problem()};
      }
      if (const std::size_t end = rest.find('\n', searched); end != std::string_view::npos)
        return end;
      searched = rest.size();
    }
    return rest.size();
  }

  // Filling: the file from `pos` on, at least `length` bytes of it in the window.
  void Seek(std::size_t pos, std::size_t length) {
    if (pos < windowPos || pos + length > windowPos + window.size()) {
      window = file->Reread(pos, length);
      windowPos = pos;
    }
    rest = window.substr(pos - windowPos);
    restPos = pos;
  }

  // An escaped string as Wine's server writes it, up to the unescaped `end` character;
  // `s` is left behind that character. Characters beyond ASCII are \x escapes of UTF-16
  // code units; the C escapes and octal escapes stand for control characters; a backslash
  // before any other character stands for that character.
  // Into `out`, whose first units it returns, or only checked when `out` is null.
  std::u16string_view Unescape(std::string_view& s, char end, const char* what,
                               std::vector<char16_t>* out) {
    // No character takes fewer bytes than the unit it stands for.
    std::size_t length = 0;
    if (out && out->size() < s.size()) out->resize(s.size());
    std::size_t i = 0;
    for (;;) {
      // Most characters stand for themselves: a run of them is passed at once.
      const std::size_t plain = i + PlainRun(s.substr(i), end);
      if (out) {
        std::copy(s.data() + i, s.data() + plain, out->data() + length);
        length += plain - i;
      }
      i = plain;
      if (i == s.size() || s[i] == end) break;
      if (s[i] != '\\' || ++i == s.size() || static_cast<unsigned char>(s[i]) >= 0x80) {
        if (i == s.size()) break;
        Fail(std::string("a byte beyond ASCII in ") + what + " (Wine writes \\x escapes): \"" +
             Shown(text) + "\"");
      }
      const char e = s[i++];
      char16_t unit = static_cast<char16_t>(e);
      switch (e) {
        case 'a': unit = u'\a'; break;
        case 'b': unit = u'\b'; break;
        case 'e': unit = u'\x1b'; break;
        case 'f': unit = u'\f'; break;
        case 'n': unit = u'\n'; break;
        case 'r': unit = u'\r'; break;
        case 't': unit = u'\t'; break;
        case 'v': unit = u'\v'; break;
        case 'x': {
          // Up to four hex digits; none at all leave the letter itself.
          unsigned v = 0;
          int n = 0;
          for (; n < 4 && i < s.size() && HexDigit(s[i]) >= 0; ++n, ++i)
            v = v << 4 | static_cast<unsigned>(HexDigit(s[i]));
          if (n) unit = static_cast<char16_t>(v);
          break;
        }
        default:
          if (e >= '0' && e <= '7') {
            unsigned v = static_cast<unsigned>(e - '0');
            for (int n = 1; n < 3 && i < s.size() && s[i] >= '0' && s[i] <= '7'; ++n, ++i)
              v = v * 8 + static_cast<unsigned>(s[i] - '0');
            unit = static_cast<char16_t>(v);
          }
      }
      if (out) (*out)[length++] = unit;
    }
    if (i >= s.size())
      Fail(std::string(end == '"' ? "missing closing quote" : "missing closing \"]\"") +
           " at the end of " + what + ": \"" + Shown(text) + "\"");
    s.remove_prefix(i + 1);
    return out ? std::u16string_view(out->data(), length) : std::u16string_view();
  }

  void ExpectEnd(std::string_view s, const char* what) {
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    if (!s.empty()) Fail(std::string("unexpected text \"") + Shown(s) + "\" after " + what);
  }

  // The names of a key path that are plain ASCII, separated by the escaped backslash and
  // escaping nothing else, as nearly every key line is: into `plainNames` where they stand
  // in the line, and `s` left behind the closing "]". False for any other path, which the
  // general way then reads (and reports, when it is faulty). Checking a key line takes its
  // place, its root key and the name below that from these, without building its path.
  bool PlainKeyPath(std::string_view& s) {
    plainNames.clear();
    std::size_t i = 0, start = 0;
    // Wine's own spelling of the classes' path starts nearly every key line.
    constexpr std::string_view kClasses = "Software\\\\Classes\\\\";
    if (s.starts_with(kClasses)) {
      plainNames.push_back(s.substr(0, 8));
      plainNames.push_back(s.substr(10, 7));
      i = start = kClasses.size();
    }
    for (;;) {
      i += PlainRun(s.substr(i), ']');
      if (i == s.size()) return false;
      const bool last = s[i] == ']';
      if (!last && (s[i] != '\\' || i + 1 == s.size() || s[i + 1] != '\\')) return false;
      if (i == start || plainNames.size() == kMaxDepth) return false;
      plainNames.push_back(s.substr(start, i - start));
      if (last) break;
      i += 2;
      start = i;
    }
    s.remove_prefix(i + 1);
    return true;
  }

  // The key path of any other key line, `s` after its "[", into `path` and `names`; `s`
  // is left behind the closing "]".
  void EscapedKeyPath(std::string_view& s) {
    path = Unescape(s, ']', "the key name", &pathUnits);
    names.clear();
    for (std::size_t start = 0; start <= path.size();) {
      const std::size_t end = std::min(path.find(u'\\', start), path.size());
      names.push_back(path.substr(start, end - start));
      if (names.back().empty() && !path.empty())
        Fail("the key path \"" + Shown(text) + "\" has an empty key name");
      if (names.size() > kMaxDepth)
        Fail("the key lies more than " + std::to_string(kMaxDepth) +
             " levels below its root key, deeper than Windows nests keys");
      start = end + 1;
    }
  }

  // Filling builds keys: the names of a plain path in UTF-16, into `path` and `names`.
  void WidenNames() {
    if (pathUnits.size() < text.size()) pathUnits.resize(text.size());
    names.clear();
    std::size_t length = 0;
    for (std::string_view n : plainNames) {
      std::copy(n.begin(), n.end(), pathUnits.data() + length);
      names.push_back(std::u16string_view(pathUnits.data() + length, n.size()));
      length += n.size();
    }
  }

  // [path] timestamp: the key that the following lines fill, when it is one that counts.
  void KeyLine(std::string_view s) {
    s.remove_prefix(1);
    const bool plain = PlainKeyPath(s);
    if (!plain) EscapedKeyPath(s);
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    // The time stamp, which nothing here reads.
    std::size_t digits = 0;
    while (digits < s.size() && static_cast<unsigned char>(s[digits] - '0') < 10) ++digits;
    ExpectEnd(s.substr(digits), "the key line");
    key = nullptr;
    link = false;
    place = plain ? Where(plainNames) : Where(names);
    if (place != Place::Classes) return;
    if ((plain ? plainNames.size() : names.size()) == 2) {
      key = &classes;
      return;
    }
    if (index) {
      if (!plain) return RecordEscaped(names[2], names.size() > 3 ? NameHash(names[3]) : 0);
      return RecordPlain(plainNames[2], plainNames.size() > 3 ? NameHash(plainNames[3]) : 0);
    }
    if (plain) WidenNames();
    if (names.size() < fillLevel) Fail("a key line changed");
    // The longest start shared with the key before, whose keys are known already.
    const std::size_t below = names.size() - fillLevel;
    std::size_t same = 0;
    while (same < below && same < openKeys.size() &&
           names[same + fillLevel] == openKeys[same]->name)
      ++same;
    openKeys.resize(same);
    RegKey* k = same ? openKeys.back() : fillRoot;
    for (std::size_t i = same; i < below; ++i) {
      k = &MakeSubkey(*k, names[i + fillLevel]);
      openKeys.push_back(k);
    }
    key = k;
  }

  // Filling a root key: the name one level below it that the key line at `pos` names,
  // which the check has found there.
  std::u16string_view ChildAt(std::size_t pos) {
    Seek(pos, 1);
    NextLine();
    std::string_view s = text;
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    if (s.empty() || s.front() != '[') Fail("no key line where the check found one");
    s.remove_prefix(1);
    if (!PlainKeyPath(s)) {
      EscapedKeyPath(s);
      if (names.size() < 4) Fail("a key line changed");
      return names[3];
    }
    if (plainNames.size() < 4) Fail("a key line changed");
    rootName.resize(plainNames[3].size());
    std::copy(plainNames[3].begin(), plainNames[3].end(), rootName.begin());
    return rootName;
  }

  template <class Name>
  static Place Where(const std::vector<Name>& n) {
    // Wine's own spelling of the classes' path, which nearly every key line starts with,
    // is known at once.
    if constexpr (std::is_same_v<Name, std::string_view>)
      if (n.size() >= 2 && n[0] == "Software" && n[1] == "Classes") return Place::Classes;
    auto is = [&](std::size_t i, std::u16string_view want) {
      return i < n.size() && EqualNoCase(n[i], want);
    };
    if (is(0, u"Software")) {
      if (is(1, u"Classes")) return Place::Classes;
      if (n.size() == 4 && is(1, u"Microsoft") && is(3, u"CurrentVersion")) {
        if (is(2, u"Windows")) return Place::CurrentVersion;
        if (is(2, u"Windows NT")) return Place::NtCurrentVersion;
      }
      return Place::None;
    }
    if (n.size() == 5 && is(0, u"System") && is(2, u"Control") && is(3, u"Session Manager") &&
        is(4, u"Environment")) {
      if (is(1, u"CurrentControlSet")) return Place::Environment;
      if (is(1, u"ControlSet001")) return Place::Environment001;
    }
    return Place::None;
  }

  // Comma-separated hex bytes, continued on the next line after a final backslash: into
  // `bytes`.
  void HexBytes(std::string_view s) {
    bytes.clear();
    for (;;) {
      while (!s.empty() && HexDigit(s.front()) >= 0) {
        unsigned v = 0;
        int n = 0;
        for (; !s.empty() && HexDigit(s.front()) >= 0; s.remove_prefix(1), ++n)
          v = v << 4 | static_cast<unsigned>(HexDigit(s.front()));
        if (n > 2) Fail("\"" + Shown(text) + "\" holds a hex byte of more than two digits");
        bytes.push_back(static_cast<BYTE>(v));
        while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
        if (!s.empty() && s.front() == ',') s.remove_prefix(1);
        while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
      }
      if (s.empty()) return;
      if (s != "\\")
        Fail("\"" + Shown(s) + "\" is not a hex byte (expected hex digits between commas)");
      if (!NextLine()) Fail("the file ends after a \"\\\" that continues the hex data");
      s = text;
      while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    }
  }

  // A value line, checked; its value set when its key is being built. While the file is
  // only checked, nothing here allocates once the buffers have grown.
  void ValueLine(std::string_view s) {
    // Below a root key of the classes, the check only checks.
    const bool keep = place != Place::Classes || key;
    if (s.front() == '@') {
      s.remove_prefix(1);
      valueName = {};
    } else {
      s.remove_prefix(1);
      valueName = Unescape(s, '"', "the value name", keep ? &valueNameUnits : nullptr);
    }
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    if (s.empty() || s.front() != '=') Fail("expected \"=\" after the value name");
    s.remove_prefix(1);
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);

    DWORD valueType = REG_SZ;
    bool quoted = false;
    auto startsWith = [&](std::string_view tag) {
      if (!s.starts_with(tag)) return false;
      s.remove_prefix(tag.size());
      return true;
    };
    quoted = startsWith("\"") || startsWith("str:\"");
    if (!quoted && startsWith("str(2):\"")) quoted = true, valueType = REG_EXPAND_SZ;
    if (!quoted && startsWith("str(7):\"")) quoted = true, valueType = REG_MULTI_SZ;
    if (quoted) {
      string = Unescape(s, '"', "the string", keep ? &stringUnits : nullptr);
      ExpectEnd(s, "the closing quote");
    } else if (startsWith("dword:")) {
      std::size_t n = 0;
      DWORD v = 0;
      for (; n < s.size() && HexDigit(s[n]) >= 0; ++n)
        v = v << 4 | static_cast<DWORD>(HexDigit(s[n]));
      if (n == 0 || n > 8) Fail("expected 1 to 8 hex digits after \"dword:\"");
      ExpectEnd(s.substr(n), "the dword");
      valueType = REG_DWORD;
      bytes = {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8), static_cast<BYTE>(v >> 16),
               static_cast<BYTE>(v >> 24)};
    } else if (startsWith("hex:")) {
      valueType = REG_BINARY;
      HexBytes(s);
    } else if (startsWith("hex(")) {
      std::size_t n = 0;
      DWORD type = 0;
      for (; n < s.size() && HexDigit(s[n]) >= 0; ++n)
        type = type << 4 | static_cast<DWORD>(HexDigit(s[n]));
      if (n == 0 || n > 8 || s.substr(n, 2) != "):")
        Fail("expected a hex type number and \"):\" after \"hex(\", as in \"hex(2):\"");
      valueType = type;
      HexBytes(s.substr(n + 2));
    } else {
      Fail("expected a quoted string, \"str(2):\", \"str(7):\", \"dword:\", \"hex:\" or "
           "\"hex(N):\" after \"=\"");
    }
    if (place == Place::Classes) {
      // A link key shows its target's content under Windows; that lies outside the
      // classes, so the key is kept empty rather than showing the link's own value.
      if (key && !link)
        SetValue(*key, RegValue{std::u16string(valueName), valueType,
                                quoted ? LittleEndianWithNull(string) : bytes});
    } else if (quoted && (valueType == REG_SZ || valueType == REG_EXPAND_SZ)) {
      // A string ends at its first null character for whoever reads it as text.
      facts[static_cast<int>(place)].push_back(
          {std::u16string(valueName), valueType,
           std::u16string(string.substr(0, string.find(u'\0')))});
    }
  }

  void Run() {
    if (!NextLine() || text != "WINE REGISTRY Version 2") {
      line = 1;
      Fail("not a Wine registry file: the first line must be \"WINE REGISTRY Version 2\"");
    }
    bool haveKey = false;
    while (NextLine()) {
      std::string_view s = text;
      while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
      if (s.empty() || s.front() == ';') continue;
      if (s.front() == '[') {
        KeyLine(s);
        haveKey = true;
        continue;
      }
      if (!haveKey) {
        if (s.front() == '@' || s.front() == '"') Fail("a value line before the first [key] line");
        if (s.front() != '#') Fail("unexpected text \"" + Shown(s) + "\"");
        // Wine refuses a file made for another kind of prefix than it knows.
        if (s.starts_with("#arch=") && s != "#arch=win32" && s != "#arch=win64")
          Fail("unknown architecture \"" + Shown(s.substr(6)) + "\" (expected win32 or win64)");
        continue;
      }
      // Keys that tell nothing here are skipped unread: hex data never starts with "[",
      // so the next key line is the next line starting with one.
      if (place != Place::None) SectionLine(s);
    }
  }

  // A line below a key line, without its leading blanks; neither blank nor a comment.
  void SectionLine(std::string_view s) {
    if (s.front() == '#') {
      if (s.starts_with("#link") && key) {
        link = true;
        key->values = RegValues{};
      }
      return;
    }
    if (s.front() == '@' || s.front() == '"') return ValueLine(s);
    Fail("unexpected text \"" + Shown(s) +
         "\" (expected a [key] line, a value line, an option or a comment)");
  }

  void RecordPlain(std::string_view root, std::uint32_t childHash);
  void RecordEscaped(std::u16string_view root, std::uint32_t childHash);

  // Filling: the section whose key line starts at `pos`, up to the next key line. The key
  // line of a root key's own section (`own`) names `fillRoot`, as the check found: it is
  // passed over unread.
  void Section(std::size_t pos, bool own) {
    Seek(pos, 1);
    NextLine();
    if (own) {
      place = Place::Classes;
      key = fillRoot;
      link = false;
      openKeys.clear();
    } else {
      std::string_view s = text;
      while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
      KeyLine(s);
    }
    while (NextLine()) {
      std::string_view s = text;
      while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
      if (s.empty() || s.front() == ';') continue;
      if (s.front() == '[') return;
      SectionLine(s);
    }
  }
};

// The sections of each root key of the classes, found in the one pass that checks the whole
// file. A root key's content lies in its own sections only (each names the key's path from
// the file's root), so each root key is read from them when it is first looked into: a scan
// that reads a few file types reads a few sections, not the million others.
struct Index final : KeyFiller, std::enable_shared_from_this<Index> {
  // The check reads the file through it, then the fills; nothing else keeps it open.
  std::unique_ptr<FileWindow> file = std::make_unique<FileWindow>();
  // By section below a root key of the classes, in the order of the file: the offset of
  // its key line (with kFirst on the first section of each root key), and a hash of the
  // name one level below the root key (0 for the root key's own section), which tells
  // without reading the file which subkeys a root key cannot have. A root key's `fillRef`
  // is its first section.
  static constexpr std::size_t kFirst = std::size_t{1} << 63;
  std::vector<std::size_t> sectionPos;
  std::vector<std::uint32_t> sectionChild;
  // Wine writes the root keys in the registry's order, each with all its sections: while
  // they come so, the sections of a root key follow one another up to the next first
  // section, a name is the last root key's or a new one, and nothing more is kept. In a
  // file written otherwise, from the first name out of order on, each section is linked
  // to the next of its root key in `next` (kNone after the last), and the root keys are
  // found by the hash of their names in `slots`.
  std::vector<std::uint32_t> next;
  // Reads the sections again; its buffers serve one root key after the other.
  mutable Parser filling;

  // While checking: the root keys met so far, unread, named with the first spelling met,
  // as when the key is made by the first line that names it.
  std::vector<std::unique_ptr<RegKey>> keys;
  bool inOrder = true;
  std::uint32_t recent = kNone;  // the root key of the section before
  // Its name as that section's key line has it, when plain: a copy, as the line does not
  // outlive the next one.
  std::string recentPlain;
  std::u16string wide;           // a plain name widened, reused
  // Out of order: by root key, its last section so far and the hash of its name.
  std::vector<std::uint32_t> lastOf;
  std::vector<HashEntry> hashes;
  std::vector<std::uint32_t> slots;

  std::size_t Pos(std::uint32_t s) const { return sectionPos[s] & ~kFirst; }
  // The section after `s` below the same root key, or kNone.
  std::uint32_t Next(std::uint32_t s) const {
    if (!next.empty()) return next[s];
    return s + 1 < sectionPos.size() && !(sectionPos[s + 1] & kFirst) ? s + 1 : kNone;
  }

  // A plain root key's name as it stands in the file: the same bytes as the section
  // before name the same root key, which is the common case, decided without widening.
  void AddPlain(std::string_view root, std::size_t pos, std::uint32_t childHash) {
    if (recent != kNone && root == recentPlain) return Add(recent, pos, childHash);
    wide.resize(root.size());
    WidenAscii(root, wide.data());
    const std::uint32_t k = RootOf(wide);
    recentPlain.assign(root);
    Add(k, pos, childHash);
  }

  // The root key `name`, a new one if it is not met yet.
  std::uint32_t RootOf(std::u16string_view name) {
    recentPlain.clear();
    const int order = recent == kNone ? -1 : CompareKeyNames(keys[recent]->name, name);
    if (order == 0) return recent;
    if (inOrder && order < 0) return recent = NewRoot(name);
    if (inOrder) Unorder();
    const std::uint32_t h = NameHash(name);
    if (keys.size() * 2 >= slots.size()) GrowSlots(slots, hashes);
    const std::size_t mask = slots.size() - 1;
    std::size_t i = h & mask;
    for (; slots[i] != kNone; i = (i + 1) & mask)
      if (hashes[slots[i]].hash == h && CompareKeyNames(keys[slots[i]]->name, name) == 0)
        return recent = slots[i];
    slots[i] = NewRoot(name);
    hashes.push_back({h});
    lastOf.push_back(kNone);
    return recent = slots[i];
  }

  // The first name out of order: the links, the last sections and the table of what came
  // before, when it all was in order.
  void Unorder() {
    inOrder = false;
    const auto sections = static_cast<std::uint32_t>(sectionPos.size());
    next.resize(sections);
    for (std::uint32_t s = 0; s < sections; ++s)
      next[s] = s + 1 < sections && !(sectionPos[s + 1] & kFirst) ? s + 1 : kNone;
    lastOf.resize(keys.size());
    hashes.resize(keys.size());
    for (std::size_t k = 0; k < keys.size(); ++k) {
      lastOf[k] = static_cast<std::uint32_t>(
          (k + 1 < keys.size() ? keys[k + 1]->fillRef : sections) - 1);
      hashes[k].hash = NameHash(std::u16string_view(keys[k]->name));
    }
    // GrowSlots doubles the table and places every root key in it.
    slots.assign(std::bit_ceil(keys.size()), kNone);
    GrowSlots(slots, hashes);
  }

  std::uint32_t NewRoot(std::u16string_view name) {
    if (name.size() > UINT32_MAX || keys.size() >= kNone - 1)
      throw ParseError{ERROR_BADDB, file->Name() + ": more root keys than this reader holds"};
    keys.push_back(std::make_unique<RegKey>());
    keys.back()->name = name;
    keys.back()->fillRef = kNone;  // until its first section
    return static_cast<std::uint32_t>(keys.size() - 1);
  }

  // A section that the index records has a key line of at least 22 bytes
  // ("[Software\\Classes\\x]" and a line break), and a root key has a section.
  void Reserve() {
    const std::size_t most = MostSections(file->Size(), 22);
    sectionPos.reserve(most);
    sectionChild.reserve(most);
    keys.reserve(most);
  }

  // A section whose key line starts at `pos` and names a key below the root key `k`
  // (`childHash` the NameHash of the name one level below it, 0 for the root key itself).
  void Add(std::uint32_t k, std::size_t pos, std::uint32_t childHash) {
    const auto at = static_cast<std::uint32_t>(sectionPos.size());
    if (at == kNone) throw ParseError{ERROR_BADDB, file->Name() + ": more keys than this reader holds"};
    const bool firstOfKey = keys[k]->fillRef == kNone;
    if (firstOfKey) keys[k]->fillRef = at;
    sectionPos.push_back(pos | (firstOfKey ? kFirst : 0));
    sectionChild.push_back(childHash);
    if (inOrder) return;
    next.push_back(kNone);
    if (!firstOfKey) next[lastOf[k]] = at;
    lastOf[k] = at;
  }

  // Once the whole file is checked: the root keys, unread, below `classes`. Wine writes
  // them sorted as the registry sorts them, and AddSubkeys takes such a list as it is, in
  // one pass; only a file written otherwise is sorted there.
  void PlaceRoots(const std::shared_ptr<const Index>& self, RegKey& classes) {
    std::vector<std::uint32_t>().swap(slots);
    std::vector<HashEntry>().swap(hashes);
    std::vector<std::uint32_t>().swap(lastOf);
    for (const std::unique_ptr<RegKey>& key : keys) key->filler = self;
    AddSubkeys(classes, std::move(keys));
  }

  // A root key's own sections give its values; the others only tell which subkeys it has,
  // and with which spelling (the first met). Each subkey is made unread, and read from its
  // own sections when looked into, so that the subkeys the scan never opens (a file type's
  // DefaultIcon) are never built. Each subkey's sections are linked in `subkeyNext`, from
  // the first one, which the subkey's `fillRef` names (with kSubkeyFill); the root key's
  // own list stays as it is, so that the key reads alike when it is read again after
  // Forget.
  static constexpr std::uint64_t kSubkeyFill = std::uint64_t{1} << 63;
  // By section, and written before it is read: a fill writes the links of the sections it
  // reads only, and the pages of the others are never touched.
  mutable std::unique_ptr<std::uint32_t[]> subkeyNext;
  struct Subkey {
    std::size_t at, size;  // its name in `foundNames`
    std::uint32_t hash, first, last;
  };
  // Reused by the fills: the subkeys found so far, by the hash of their names, and their
  // names one after the other.
  mutable std::vector<Subkey> found;
  mutable std::vector<std::uint32_t> foundSlots;  // once there are kFewFound
  static constexpr std::size_t kFewFound = 16;
  mutable std::u16string foundNames;
  std::u16string_view FoundName(const Subkey& f) const {
    return std::u16string_view(foundNames).substr(f.at, f.size);
  }

  // A fill reads what the check has passed: a line that it cannot read means that the file
  // changed since, which ends the run as a file that got shorter does (see FileWindow).
  void Fill(RegKey& key, std::uint64_t ref) const override {
    try {
      FillFrom(key, ref);
    } catch (const ParseError&) {
      file->Changed();
    }
  }

  void FillFrom(RegKey& key, std::uint64_t ref) const {
    filling.fillRoot = &key;
    filling.openKeys.clear();
    if (ref & kSubkeyFill) {
      filling.fillLevel = 4;
      for (std::uint32_t s = static_cast<std::uint32_t>(ref); s != kNone; s = subkeyNext[s])
        filling.Section(Pos(s), false);
      return;
    }
    filling.fillLevel = 3;
    // Wine's root keys come one after the other, each with all its sections: a root key's
    // lines are then read at once, up to the next one's (at most a window of them).
    if (next.empty()) {
      auto after = static_cast<std::uint32_t>(ref) + 1;
      while (after < sectionPos.size() && !(sectionPos[after] & kFirst)) ++after;
      const std::size_t start = Pos(static_cast<std::uint32_t>(ref));
      const std::size_t end = after < sectionPos.size() ? Pos(after) : file->Size();
      filling.Seek(start, std::min(end - start, FileWindow::kWindow));
    }
    if (!subkeyNext) subkeyNext.reset(new std::uint32_t[sectionPos.size()]);
    found.clear();
    foundSlots.clear();
    foundNames.clear();
    for (auto s = static_cast<std::uint32_t>(ref); s != kNone; s = Next(s)) {
      const std::uint32_t h = sectionChild[s];
      if (h == 0) {
        filling.Section(Pos(s), true);
        continue;
      }
      const std::u16string_view name = filling.ChildAt(Pos(s));
      subkeyNext[s] = kNone;
      if (Subkey* sub = FindFound(h, name)) {
        subkeyNext[sub->last] = s;
        sub->last = s;
        continue;
      }
      found.push_back({foundNames.size(), name.size(), h, s, s});
      foundNames += name;
      if (found.size() < kFewFound) continue;
      if (found.size() * 2 >= foundSlots.size()) {
        GrowSlots(foundSlots, found);
      } else {
        std::size_t i = h & (foundSlots.size() - 1);
        while (foundSlots[i] != kNone) i = (i + 1) & (foundSlots.size() - 1);
        foundSlots[i] = static_cast<std::uint32_t>(found.size() - 1);
      }
    }
    // The subkeys in the registry's order, which is Wine's: mostly there already.
    auto before = [this](const Subkey& a, const Subkey& b) {
      return CompareKeyNames(FoundName(a), FoundName(b)) < 0;
    };
    if (!std::is_sorted(found.begin(), found.end(), before))
      std::sort(found.begin(), found.end(), before);
    std::vector<std::unique_ptr<RegKey>> subkeys;
    subkeys.reserve(found.size());
    const std::shared_ptr<const KeyFiller> self = shared_from_this();
    for (const Subkey& f : found) {
      subkeys.push_back(std::make_unique<RegKey>());
      subkeys.back()->name = FoundName(f);
      subkeys.back()->filler = self;
      subkeys.back()->fillRef = kSubkeyFill | f.first;
    }
    key.subkeys = std::move(subkeys);
  }

  // Wine writes the sections of a subkey one after the other: the last one found is
  // mostly the one. A few are looked through.
  Subkey* FindFound(std::uint32_t h, std::u16string_view name) const {
    if (found.empty()) return nullptr;
    if (found.back().hash == h && CompareKeyNames(FoundName(found.back()), name) == 0)
      return &found.back();
    if (foundSlots.empty()) {
      for (Subkey& f : found)
        if (f.hash == h && CompareKeyNames(FoundName(f), name) == 0) return &f;
      return nullptr;
    }
    const std::size_t mask = foundSlots.size() - 1;
    for (std::size_t i = h & mask; foundSlots[i] != kNone; i = (i + 1) & mask) {
      Subkey& f = found[foundSlots[i]];
      if (f.hash == h && CompareKeyNames(FoundName(f), name) == 0) return &f;
    }
    return nullptr;
  }

  bool MayHaveSubkey(std::uint64_t ref, std::u16string_view name) const override {
    if (ref & kSubkeyFill) return true;
    const std::uint32_t h = NameHash(name);
    for (auto s = static_cast<std::uint32_t>(ref); s != kNone; s = Next(s))
      if (sectionChild[s] == h) return true;
    return false;
  }
};

void Parser::RecordPlain(std::string_view root, std::uint32_t childHash) {
  index->AddPlain(root, textPos, childHash);
}

void Parser::RecordEscaped(std::u16string_view root, std::uint32_t childHash) {
  index->Add(index->RootOf(root), textPos, childHash);
}

// One registry file of Wine parsed: its classes and what it tells of its machine.
struct Parsed {
  LSTATUS status = ERROR_SUCCESS;
  std::string error;
  RegKey classes;
  std::vector<StringValue> facts[6];
};

Parsed ParseFile(const std::string& path) {
  Parsed out;
  auto index = std::make_shared<Index>();
  index->filling.name = path;
  index->filling.file = index->file.get();
  if (!index->file->Open(path)) {
    out.status = ERROR_FILE_NOT_FOUND;
    out.error = path + ": " + index->file->Problem();
    return out;
  }
  index->Reserve();
  Parser p;
  p.name = path;
  p.file = index->file.get();
  p.index = index.get();
  try {
    p.Run();
  } catch (const ParseError& e) {
    out.status = e.status;
    out.error = e.message;
    return out;
  }
  out.classes = std::move(p.classes);
  index->PlaceRoots(index, out.classes);
  for (int i = 0; i < 6; ++i) out.facts[i] = std::move(p.facts[i]);
  return out;
}

// The machine's files read for their facts, kept until their classes are asked for, so that
// each file is read once.
std::map<std::string, Parsed>& Kept() {
  static std::map<std::string, Parsed> kept;
  return kept;
}

std::string MachineFile(const std::string& path, bool prefix) {
  return prefix ? path + "/system.reg" : path;
}

const std::u16string* Find(const std::vector<StringValue>& values, std::u16string_view name) {
  for (const StringValue& v : values)
    if (EqualNoCase(v.name, name)) return &v.text;
  return nullptr;
}

// `text` with %name% replaced as Wine's start-up replaces it: a name not defined stays
// with its percent signs, a lone percent sign stays too.
std::u16string Expand(std::u16string_view text, const MachineFacts& facts) {
  std::u16string out;
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t open = text.find(u'%', i);
    if (open == std::u16string_view::npos) break;
    const std::size_t close = text.find(u'%', open + 1);
    if (close == std::u16string_view::npos) break;
    out.append(text.substr(i, open - i));
    const std::u16string_view name = text.substr(open + 1, close - open - 1);
    const std::u16string* value = nullptr;
    for (auto it = facts.variables.rbegin(); it != facts.variables.rend() && !value; ++it)
      if (EqualNoCase(it->first, name)) value = &it->second;
    if (value) {
      out += *value;
    } else {
      out.append(text.substr(open, close - open + 1));
    }
    i = close + 1;
  }
  out.append(text.substr(i));
  return out;
}

void TellFacts(const Parsed& file, MachineFacts& facts) {
  auto add = [&](const char16_t* name, const std::u16string* value) {
    if (value && !value->empty()) facts.variables.emplace_back(name, *value);
  };
  const auto& version = file.facts[static_cast<int>(Place::CurrentVersion)];
  add(u"ProgramFiles", Find(version, u"ProgramFilesDir"));
  add(u"CommonProgramFiles", Find(version, u"CommonFilesDir"));
  const std::u16string* root = Find(file.facts[static_cast<int>(Place::NtCurrentVersion)],
                                    u"SystemRoot");
  add(u"SystemRoot", root);
  add(u"windir", root);
  if (root && root->size() >= 2 && (*root)[1] == u':') {
    const std::u16string drive = root->substr(0, 2);
    add(u"SystemDrive", &drive);
  }
  // The current control set, else the first one, which it stands for on a fresh system.
  const auto* environment = &file.facts[static_cast<int>(Place::Environment)];
  if (environment->empty()) environment = &file.facts[static_cast<int>(Place::Environment001)];
  // In the key's order, each expandable value against the variables set before it, as
  // Wine sets up a process's environment; empty values define nothing.
  for (const StringValue& v : *environment) {
    if (v.text.empty()) continue;
    facts.variables.emplace_back(v.name, v.type == REG_EXPAND_SZ ? Expand(v.text, facts) : v.text);
  }
}

// The code pages of the Windows locales, as Wine's locale data gives them: by language,
// and by language and territory where a territory differs (each checked against Wine 8).
// Locales with only Unicode text get UTF-8. A language that Wine's data knows only with a
// script (Serbian, Azerbaijani, Uzbek without "@latin") falls back to English (US), as in
// Wine; so does any language missing here.
struct LocalePages {
  const char* name;
  UINT acp;
  UINT oemcp;
};
constexpr LocalePages kLocales[] = {
    {"af", 1252, 850},    {"ar", 1256, 720},    {"be", 1251, 866},    {"bg", 1251, 866},
    {"bn", 65001, 65001}, {"ca", 1252, 850},    {"cs", 1250, 852},    {"da", 1252, 850},
    {"de", 1252, 850},    {"el", 1253, 737},    {"en", 1252, 437},    {"en-AU", 1252, 850},
    {"en-CA", 1252, 850}, {"en-GB", 1252, 850}, {"en-HK", 1252, 850}, {"en-IE", 1252, 850},
    {"en-NZ", 1252, 850}, {"es", 1252, 850},    {"et", 1257, 775},    {"eu", 1252, 850},
    {"fa", 1256, 720},    {"fi", 1252, 850},    {"fr", 1252, 850},    {"ga", 1252, 850},
    {"he", 1255, 862},    {"hi", 65001, 65001}, {"hr", 1250, 852},    {"hu", 1250, 852},
    {"hy", 65001, 65001}, {"id", 1252, 850},    {"is", 1252, 850},    {"it", 1252, 850},
    {"ja", 932, 932},     {"ka", 65001, 65001}, {"kk", 65001, 65001}, {"ko", 949, 949},
    {"lt", 1257, 775},    {"lv", 1257, 775},    {"mk", 1251, 866},    {"mn", 1251, 866},
    {"ms", 1252, 850},    {"nb", 1252, 850},    {"nl", 1252, 850},    {"pl", 1250, 852},
    {"pt", 1252, 850},    {"ro", 1250, 852},    {"ru", 1251, 866},    {"sk", 1250, 852},
    {"sl", 1250, 852},    {"sq", 1250, 852},    {"sr-Latn", 1250, 852}, {"sv", 1252, 850},
    {"ta", 65001, 65001}, {"th", 874, 874},     {"tr", 1254, 857},    {"uk", 1251, 866},
    {"ur", 1256, 720},    {"vi", 1258, 1258},   {"zh", 936, 936},     {"zh-HK", 950, 950},
    {"zh-TW", 950, 950},
};

const LocalePages* FindLocale(std::string name) {
  for (;;) {
    for (const LocalePages& l : kLocales)
      if (strcasecmp(l.name, name.c_str()) == 0) return &l;
    const std::size_t dash = name.rfind('-');
    if (dash == std::string::npos) return nullptr;
    name.resize(dash);
  }
}

// The Windows name of a Unix locale, lang[_territory][.charset][@modifier], as Wine
// forms it: lang[-script][-territory].
std::string WindowsLocaleName(const std::string& unixName) {
  if (unixName == "C" || unixName == "POSIX") return "en-US";
  const std::size_t sep = unixName.find_first_of("_.@");
  std::string lang = unixName.substr(0, sep);
  std::string territory;
  std::string modifier;
  std::size_t at = sep;
  if (at != std::string::npos && unixName[at] == '_') {
    const std::size_t end = unixName.find_first_of(".@", at + 1);
    territory = unixName.substr(at + 1, end == std::string::npos ? end : end - at - 1);
    at = end;
  }
  if (at != std::string::npos) {
    const std::size_t mod = unixName.find('@', at);
    if (mod != std::string::npos) modifier = unixName.substr(mod + 1);
  }
  if (modifier == "latin") lang += "-Latn";
  else if (modifier == "cyrillic") lang += "-Cyrl";
  return territory.empty() ? lang : lang + "-" + territory;
}

}  // namespace

void WineCodePages(UINT& acp, UINT& oemcp) {
  // The character-type locale as the C library takes it from the environment; one that is
  // not installed leaves Wine in the "C" locale, which stands for English (US).
  auto variable = [](const char* name) {
    const char* v = std::getenv(name);
    return v && *v ? std::string(v) : std::string();
  };
  std::string name = variable("LC_ALL");
  if (name.empty()) name = variable("LC_CTYPE");
  if (name.empty()) name = variable("LANG");
  if (locale_t installed = newlocale(LC_CTYPE_MASK, name.c_str(), static_cast<locale_t>(nullptr))) {
    freelocale(installed);
  } else {
    name.clear();
  }
  const LocalePages* found = name.empty() ? nullptr : FindLocale(WindowsLocaleName(name));
  acp = found ? found->acp : 1252;
  oemcp = found ? found->oemcp : 437;
}

LSTATUS ReadWineFacts(const std::string& path, bool prefix, MachineFacts& facts,
                      std::string& error) {
  Parsed& file = Kept()[path] = ParseFile(MachineFile(path, prefix));
  WineCodePages(facts.acp, facts.oemcp);
  if (file.status != ERROR_SUCCESS) {
    error = file.error;
    return file.status;
  }
  TellFacts(file, facts);
  return ERROR_SUCCESS;
}

LSTATUS LoadWineClasses(const std::string& path, bool prefix, RegKey& classes,
                        std::string& error) {
  classes = RegKey{};
  Parsed machine;
  if (auto kept = Kept().find(path); kept != Kept().end()) {
    machine = std::move(kept->second);
    Kept().erase(kept);
  } else {
    machine = ParseFile(MachineFile(path, prefix));
  }
  if (machine.status != ERROR_SUCCESS) {
    error = machine.error;
    return machine.status;
  }
  if (prefix) {
    // A prefix whose user has never started Wine has no user.reg yet.
    const std::string userFile = path + "/user.reg";
    struct stat info {};
    if (stat(userFile.c_str(), &info) == 0 || errno != ENOENT) {
      Parsed user = ParseFile(userFile);
      if (user.status != ERROR_SUCCESS) {
        error = user.error;
        return user.status;
      }
      MergeClasses(machine.classes, std::move(user.classes));
    }
  }
  classes = std::move(machine.classes);
  return ERROR_SUCCESS;
}

}  // namespace tavplat
