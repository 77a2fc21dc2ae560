#include "regfile.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "codepage.h"
#include "filewindow.h"

namespace tavplat {

namespace {

// Names compared with text are views (u"..."sv): their lengths are then known when compiled,
// not counted unit by unit at every comparison.
using namespace std::string_view_literals;

const std::u16string kHeader4 = u"REGEDIT4";

// Windows nests keys at most 512 deep: a key line may name 512 keys below its root key.
// The bound also keeps the merge and the freeing of the tree, which recurse by level, far
// from the end of the stack.
constexpr std::size_t kMaxDepth = 512;
const std::u16string kHeader5 = u"Windows Registry Editor Version 5.00";

// Where a section's key lives: the machine's classes, the user's, the merged view
// (HKEY_CLASSES_ROOT itself) or a root that the view does not show.
enum class Part { Machine, User, View, Elsewhere };

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view TrimLeft(std::u16string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

std::u16string_view Trim(std::u16string_view s) {
  s = TrimLeft(s);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Names are mostly spelt alike where they are equal: the exact comparison comes first.
bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() &&
         (std::memcmp(a.data(), b.data(), a.size() * sizeof(char16_t)) == 0 ||
          CompareKeyNames(a, b) == 0);
}

// Where in `s`, from `from` on, the first `a` or `b` is; s.size() for none. Eight units
// at a time where SSE2 is there: every line's key names and quoted texts are searched so.
// Always inlined: it runs for every name and every escape, mostly over a few units, and a
// call and the setting up of its constants cost more than that search (2 % of a run).
[[gnu::always_inline]] inline std::size_t FindEither(std::u16string_view s, std::size_t from,
                                                     char16_t a, char16_t b) {
  const char16_t* p = s.data();
  std::size_t i = from;
#if defined(__SSE2__)
  const __m128i wantA = _mm_set1_epi16(static_cast<short>(a));
  const __m128i wantB = _mm_set1_epi16(static_cast<short>(b));
  for (; i + 8 <= s.size(); i += 8) {
    const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const int found = _mm_movemask_epi8(
        _mm_or_si128(_mm_cmpeq_epi16(units, wantA), _mm_cmpeq_epi16(units, wantB)));
    if (found != 0) return i + static_cast<std::size_t>(__builtin_ctz(found)) / 2;
  }
#endif
  for (; i < s.size(); ++i)
    if (p[i] == a || p[i] == b) return i;
  return s.size();
}

bool StartsNoCase(std::u16string_view s, std::u16string_view prefix) {
  return s.size() >= prefix.size() && EqualNoCase(s.substr(0, prefix.size()), prefix);
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// 1 to 8 hex digits, nothing else.
std::optional<DWORD> ParseHex32(std::u16string_view s) {
  if (s.empty() || s.size() > 8) return std::nullopt;
  DWORD v = 0;
  for (char16_t c : s) {
    const int d = HexDigit(c);
    if (d < 0) return std::nullopt;
    v = v << 4 | static_cast<DWORD>(d);
  }
  return v;
}

bool ValidUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    int extra = 0;
    char32_t cp = 0;
    if (b < 0x80) {
      ++i;
      continue;
    } else if (b >= 0xC2 && b <= 0xDF) {
      extra = 1, cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      extra = 2, cp = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      extra = 3, cp = b & 0x07;
    } else {
      return false;
    }
    if (i + extra >= s.size()) return false;
    for (int k = 1; k <= extra; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = cp << 6 | (c & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
    if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += extra + 1;
  }
  return true;
}

// The input as a message quotes it: at most 60 characters, so that a bad line of any length
// stays a short message, with control characters as escapes, so that none can end the line
// or drive the terminal.
std::string Shown(std::u16string_view text) {
  constexpr std::size_t kMaxShown = 60;
  std::string out;
  std::size_t i = 0;
  for (std::size_t shown = 0; i < text.size() && shown < kMaxShown; ++shown) {
    const char16_t c = text[i];
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned>(c));
      out += c == 0 ? "\\0" : c == u'\t' ? "\\t" : c == u'\n' ? "\\n" : c == u'\r' ? "\\r" : escape;
      ++i;
      continue;
    }
    // A surrogate pair is one character.
    const bool pair = c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
                      text[i + 1] <= 0xDFFF;
    out += Utf16ToUtf8(text.substr(i, pair ? 2 : 1));
    i += pair ? 2 : 1;
  }
  if (i < text.size()) out += "...";
  return out;
}

// With `zero`, the text's terminating zero too.
std::vector<BYTE> LittleEndian(std::u16string_view text, bool zero = false) {
  std::vector<BYTE> bytes(text.size() * 2 + (zero ? 2 : 0));
  if constexpr (std::endian::native == std::endian::little) {
    // An empty vector may have no storage, and memcpy takes no null pointer.
    if (!text.empty()) std::memcpy(bytes.data(), text.data(), text.size() * 2);
    return bytes;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    bytes[2 * i] = static_cast<BYTE>(text[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<BYTE>(text[i] >> 8);
  }
  return bytes;
}

// A parse failure: the message already names the file and line. A file that cannot be
// read while it is checked fails as one that cannot be opened.
struct ParseError {
  std::string message;
  LSTATUS status = ERROR_BADDB;
};

// The file's text as it is read: a line is decoded to UTF-16 when it is read, and dropped
// when the next one is. ANSI and UTF-8 files are read again through `window` wherever a
// key is read from them; no view into it outlives the next read.
struct Text {
  std::string name;
  mutable FileWindow window;
  // The window's last view and where it starts in the file: the lines that follow one
  // another mostly lie in it, and are then found without asking the window again.
  mutable std::string_view seen;
  mutable std::size_t seenAt = 0;
  std::size_t start = 0;  // where the text starts in the file, after a byte-order mark
  std::u16string wide;    // UTF-16LE files, whole; positions are then its units'
  bool isWide = false;
  bool utf8 = false;  // narrow text is UTF-8, else ANSI
  bool ansi = false;  // REGEDIT4: hex string bytes are ANSI text
  UINT codePage = 0;
};

// At least `length` bytes of the file from `at` on, for the check (`checking`) or for a
// read of what the check passed, which cannot report a failure (see FileWindow::Reread).
[[gnu::noinline]] std::string_view ReadAgain(const Text& t, std::size_t at, std::size_t length,
                                             bool checking) {
  std::string_view bytes;
  t.seen = {};  // a failed read leaves no bytes to trust
  if (!checking)
    bytes = t.window.Reread(at, length);
  else if (!t.window.Read(at, length, bytes))
    throw ParseError{t.name + ": " + t.window.Problem(), ERROR_FILE_NOT_FOUND};
  t.seen = bytes;
  t.seenAt = at;
  return bytes;
}

std::string_view Bytes(const Text& t, std::size_t at, std::size_t length, bool checking) {
  if (at >= t.seenAt && at - t.seenAt + length <= t.seen.size())
    return std::string_view(t.seen.data() + (at - t.seenAt), t.seen.size() - (at - t.seenAt));
  return ReadAgain(t, at, length, checking);
}

// LineAt for a line that the window's last view does not hold to its end: it is read
// again from its start, asking for twice as much, so that a long line costs its length,
// not its square.
[[gnu::noinline]] std::string_view LineReadAgain(const Text& t, std::size_t& pos, bool checking) {
  const std::size_t size = t.window.Size();
  std::size_t length = 0;
  for (;;) {
    const std::string_view bytes = Bytes(t, pos, length, checking);
    const std::size_t end = bytes.find('\n');
    if (end != bytes.npos) {
      pos += end + 1;
      return bytes.substr(0, end);
    }
    if (pos + bytes.size() == size) {
      pos = std::string::npos;
      return bytes;
    }
    length = std::min(2 * bytes.size() + 1, size - pos);
  }
}

// The line of a narrow file at `pos`, without its line break; `pos` moves to the next
// line, npos after the last. Always inlined: every line read passes here, and mostly
// finds its end in the view at hand.
[[gnu::always_inline]] inline std::string_view LineAt(const Text& t, std::size_t& pos,
                                                      bool checking) {
  const std::size_t at = pos - t.seenAt;
  if (pos >= t.seenAt && at < t.seen.size()) {
    const char* start = t.seen.data() + at;
    if (const void* end = std::memchr(start, '\n', t.seen.size() - at)) {
      const auto length = static_cast<std::size_t>(static_cast<const char*>(end) - start);
      pos += length + 1;
      return std::string_view(start, length);
    }
  }
  return LineReadAgain(t, pos, checking);
}

// Where a section is found again: the offset of its key line, the next section of the same
// root key, and a hash of the name one level below the root key (0 for none), which tells
// without reading the file which subkeys a root key cannot have.
struct SectionRef {
  std::size_t pos;
  std::uint32_t next;
  std::uint32_t child;
};
constexpr std::uint32_t kNone = UINT32_MAX;

struct Index;

struct Parser {
  const Text& text;
  std::size_t pos = 0;        // where the next line starts; npos after the last
  std::size_t lineStart = 0;  // where the line being read starts
  std::size_t line = 0;       // index of the line being read
  bool started = false;       // a line has been read
  std::u16string buffer;      // the line being read, when it is ASCII (at its start)
  std::u16string wideLine;    // the line being read, when it had to be decoded
  std::u16string nameBuffer, stringBuffer;  // the quoted texts of a value line
  std::u16string_view current;
  bool ansi;
  // Checking the whole file: sections go to `index`, and nothing is built.
  Index* index = nullptr;
  RegKey machine;
  RegKey user;
  // The section in force: none before the first, a deletion, or a key.
  bool haveSection = false;
  bool deleting = false;
  Part part = Part::Elsewhere;
  std::vector<std::u16string_view> names;  // the section's keys below the classes, in the line
  std::vector<std::u16string> path;        // the same, kept while the section's lines are read
  RegKey* target = nullptr;                // the key the section's values go to, once found
  RegKey* into = nullptr;                  // a root key read from its own sections: see Into
  RegKey* base = nullptr;                  // a subkey of a root key being read: see Below
  const RegKey* madeRoot = nullptr;        // Make's last root, and the keys of its path
  std::vector<RegKey*> made;
  // The key line that `names` and `deleting` are of, while no other line was read since
  // Recorded read it (reading a line forgets it); npos for none.
  std::size_t recordedAt = std::string::npos;

  explicit Parser(const Text& t) : text(t), pos(t.isWide ? 0 : t.start), ansi(t.ansi) {}

  [[noreturn]] void Fail(const std::string& what) const {
    throw ParseError{text.name + ":" + std::to_string(line + 1) + ": " + what};
  }

  // Reads the line at `pos` into `current`; false after the last line.
  bool NextLine() {
    recordedAt = std::string::npos;
    if (pos == std::string::npos) return false;
    if (started) ++line;
    started = true;
    lineStart = pos;
    if (text.isWide) {
      const std::u16string_view all = text.wide;
      const std::size_t end = all.find(u'\n', pos);
      current = all.substr(pos, end == all.npos ? all.npos : end - pos);
      pos = end == all.npos ? std::string::npos : end + 1;
      if (!current.empty() && current.back() == u'\r') current.remove_suffix(1);
      return true;
    }
    // Valid until the next read of the file: decoded below, before any.
    std::string_view raw = LineAt(text, pos, index != nullptr);
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    // Below 0x80 every code page the file may be in is ASCII: most lines need no table.
    // The buffer only grows, so that a line costs no filling of it.
    if (buffer.size() < raw.size()) buffer.resize(std::max(raw.size(), 2 * buffer.size()));
    if (WidenAscii(raw, buffer.data()) == raw.size()) {
      current = std::u16string_view(buffer.data(), raw.size());
      return true;
    }
    if (text.utf8 && !ValidUtf8(raw))
      throw ParseError{text.name + ":" + std::to_string(line + 1) + ": the line is not valid UTF-8"};
    wideLine = text.utf8 ? Utf8ToUtf16(raw) : ToUtf16(raw, text.codePage);
    current = wideLine;
    return true;
  }

  // Passes over the line at `pos`, known to be good, without decoding it.
  void SkipLine() {
    recordedAt = std::string::npos;
    if (!text.isWide) {
      LineAt(text, pos, index != nullptr);
      return;
    }
    const std::size_t end = std::u16string_view(text.wide).find(u'\n', pos);
    pos = end == std::string::npos ? end : end + 1;
  }

  RegKey& Tree(Part p) { return base ? *base : p == Part::User ? user : machine; }

  RegKey* Find(RegKey& root) {
    RegKey* key = &root;
    for (const std::u16string& n : path)
      if (!(key = FindSubkey(*key, n))) return nullptr;
    return key;
  }

  // Sections below one key come one after the other: the part of the path that the last
  // key made has in common with this one (same spelling) is not looked up again.
  RegKey& Make(RegKey& root) {
    std::size_t k = 0;
    if (madeRoot == &root)
      while (k < made.size() && k < path.size() && made[k]->name == path[k]) ++k;
    made.resize(k);
    madeRoot = &root;
    RegKey* key = k ? made.back() : &root;
    for (; k < path.size(); ++k) made.push_back(key = &MakeSubkey(*key, path[k]));
    return *key;
  }

  // The key that a value of the section goes to: for the merged view, the user's key when
  // the user has one, as Windows writes there.
  // Found once per section: a value line changes no key.
  RegKey& Target() {
    if (target) return *target;
    if (part == Part::View) target = Find(user);
    if (!target) target = &Make(Tree(part));
    return *target;
  }

  void DeleteKey(RegKey& root) {
    made.clear();
    if (path.empty()) {
      // Emptied, not replaced: `base` keeps its name and filler, and a later section that
      // makes the key again starts from nothing.
      root.values = RegValues{};
      root.subkeys = SubkeyList{};
      root.orderValid = false;
      return;
    }
    const std::u16string last = path.back();
    path.pop_back();
    RegKey* parent = Find(root);
    path.push_back(last);
    if (parent) DeleteSubkey(*parent, last);
  }

  void Record();

  // Sorts a [root\path] into its part of the view. Roots other than the classes are
  // accepted and left out; a deletion of a key above the classes removes them all.
  void Section(std::u16string_view text) {
    deleting = !text.empty() && text.front() == u'-';
    if (deleting) text.remove_prefix(1);
    if (text.empty()) Fail("the key line names no key");
    // The root's name, then the names below it.
    std::size_t end = FindEither(text, 0, u'\\', u'\\');
    const std::u16string_view given = text.substr(0, end);
    names.clear();
    for (std::u16string_view name = given;;) {
      if (name.empty()) Fail("the key path \"" + Shown(text) + "\" has an empty key name");
      if (names.size() > kMaxDepth)
        Fail("the key lies more than " + std::to_string(kMaxDepth) +
             " levels below its root key, deeper than Windows nests keys");
      if (end == text.size()) break;
      const std::size_t start = end + 1;
      end = FindEither(text, start, u'\\', u'\\');
      name = names.emplace_back(text.substr(start, end - start));
    }
    auto is = [&](std::u16string_view root) { return EqualNoCase(given, root); };
    // The classes below HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER sit at SOFTWARE\Classes.
    auto below = [&](Part p) {
      const bool inside = names.size() >= 2 && EqualNoCase(names[0], u"SOFTWARE"sv) &&
                          EqualNoCase(names[1], u"Classes"sv);
      const bool above = names.empty() || (names.size() == 1 && EqualNoCase(names[0], u"SOFTWARE"sv));
      if (inside) {
        names.erase(names.begin(), names.begin() + 2);
        return p;
      }
      if (above && deleting) {
        names.clear();
        return p;
      }
      return Part::Elsewhere;
    };
    if (is(u"HKEY_CLASSES_ROOT"sv))
      part = Part::View;
    else if (is(u"HKEY_LOCAL_MACHINE"sv))
      part = below(Part::Machine);
    else if (is(u"HKEY_CURRENT_USER"sv))
      part = below(Part::User);
    else if (is(u"HKEY_USERS"sv) || is(u"HKEY_CURRENT_CONFIG"sv) || is(u"HKEY_DYN_DATA"sv) ||
             is(u"HKEY_PERFORMANCE_DATA"sv))
      part = Part::Elsewhere;
    else
      Fail("unknown root key \"" + Shown(given) +
           "\" (expected a name like HKEY_CLASSES_ROOT)");
    haveSection = true;
    target = nullptr;
    if (part == Part::Elsewhere) return;
    if (index) return Record();
    path.assign(names.begin(), names.end());
    if (deleting) {
      if (part == Part::View) {
        DeleteKey(machine);
        DeleteKey(user);
      } else {
        DeleteKey(Tree(part));
      }
    } else if (!(part == Part::View && Find(user))) {
      Make(Tree(part));
    }
  }

  // A quoted text starting after its opening quote; `rest` is what follows the closing one.
  // Returns the text, unescaped into `buffer`: the caller's, kept from line to line and
  // never shrunk, so that reading a value allocates nothing and fills nothing twice (the
  // text is never longer than its quoted form). The checking pass, which keeps no value,
  // gives no buffer, and gets nothing.
  std::u16string_view Quoted(std::u16string_view s, std::u16string_view& rest, const char* what,
                             std::u16string* buffer) {
    char16_t* out = nullptr;
    if (buffer) {
      if (buffer->size() < s.size()) buffer->resize(std::max(s.size(), 2 * buffer->size()));
      out = buffer->data();
    }
    std::size_t n = 0;  // units written to `out`
    for (std::size_t i = 0; i < s.size(); ++i) {
      // The plain text up to the next quote or backslash goes in as one piece.
      const std::size_t special = FindEither(s, i, u'"', u'\\');
      if (out) std::copy(s.begin() + i, s.begin() + special, out + n);
      n += special - i;
      if ((i = special) == s.size()) break;
      if (s[i] == u'"') {
        rest = s.substr(i + 1);
        return out ? std::u16string_view(out, n) : std::u16string_view();
      }
      if (++i == s.size()) break;
      char16_t c;
      switch (s[i]) {
        case u'\\':
        case u'"':
          c = s[i];
          break;
        // regedit under Wine writes line breaks inside strings this way.
        case u'n':
          c = u'\n';
          break;
        case u'r':
          c = u'\r';
          break;
        default:
          Fail(std::string("unknown escape \"\\") + Shown(s.substr(i, 1)) + "\" in " + what +
               " (a backslash is written \\\\)");
      }
      if (out) out[n] = c;
      ++n;
    }
    Fail(std::string("missing closing quote at the end of ") + what);
  }

  // `what` is plain text, not a std::string: every line passes here, and only a failure
  // needs the message.
  void ExpectEnd(std::u16string_view rest, const char* what) {
    rest = TrimLeft(rest);
    if (!rest.empty() && rest.front() != u';')
      Fail("unexpected text \"" + Shown(Trim(rest)) + "\" after " + what);
  }

  // Comma-separated bytes, continued on the next line after a final backslash.
  std::vector<BYTE> HexBytes(std::u16string_view s) {
    std::vector<BYTE> bytes;
    for (;;) {
      s = Trim(s);
      const bool more = !s.empty() && s.back() == u'\\';
      if (more) s.remove_suffix(1);
      std::vector<std::u16string_view> items;
      for (std::size_t start = 0; !s.empty() && start <= s.size();) {
        const std::size_t end = std::min(s.find(u',', start), s.size());
        items.push_back(Trim(s.substr(start, end - start)));
        start = end + 1;
      }
      // A comma may end the line: regedit writes one before each backslash.
      if (items.size() > 1 && items.back().empty()) items.pop_back();
      for (std::u16string_view item : items) {
        const std::optional<DWORD> byte = item.size() <= 2 ? ParseHex32(item) : std::nullopt;
        if (!byte)
          Fail("\"" + Shown(item) +
               "\" is not a hex byte (expected one or two hex digits between commas)");
        bytes.push_back(static_cast<BYTE>(*byte));
      }
      if (!more) return bytes;
      // Blank and comment lines may stand between continued lines, as regedit allows.
      const std::size_t continued = line;
      do {
        if (!NextLine()) {
          line = continued;
          Fail("the file ends after a \"\\\" that continues the hex data on the next line");
        }
        s = TrimLeft(current);
      } while (s.empty() || s.front() == u';');
    }
  }

  // hex(1), hex(2) and hex(7) in a REGEDIT4 file hold ANSI text; the registry keeps UTF-16.
  std::vector<BYTE> HexData(DWORD type, std::u16string_view s) {
    std::vector<BYTE> bytes = HexBytes(s);
    if (ansi && (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ))
      bytes = LittleEndian(ToUtf16(std::string(bytes.begin(), bytes.end()), text.codePage));
    return bytes;
  }

  void ValueLine(std::u16string_view s) {
    if (!haveSection) Fail("a value line before the first [key] line");
    if (deleting) Fail("a value line below a [-key] line, which deletes its key");
    std::u16string_view valueName, rest;
    if (s.front() == u'@')
      rest = s.substr(1);
    else
      valueName = Quoted(s.substr(1), rest, "the value name", index ? nullptr : &nameBuffer);
    rest = TrimLeft(rest);
    if (rest.empty() || rest.front() != u'=') Fail("expected \"=\" after the value name");
    rest = TrimLeft(rest.substr(1));

    bool remove = false;
    RegValue value{{}, REG_SZ, {}};  // named once it is kept
    if (!rest.empty() && rest.front() == u'-') {
      ExpectEnd(rest.substr(1), "\"-\"");
      remove = true;
    } else if (!rest.empty() && rest.front() == u'"') {
      std::u16string_view after;
      const std::u16string_view text =
          Quoted(rest.substr(1), after, "the string", index ? nullptr : &stringBuffer);
      if (!index) value.data = LittleEndian(text, true);
      ExpectEnd(after, "the closing quote");
    } else if (StartsNoCase(rest, u"dword:"sv)) {
      std::u16string_view digits = TrimLeft(rest.substr(6));
      std::size_t n = 0;
      while (n < digits.size() && HexDigit(digits[n]) >= 0) ++n;
      const std::optional<DWORD> number = ParseHex32(digits.substr(0, n));
      if (!number) Fail("expected 1 to 8 hex digits after \"dword:\"");
      ExpectEnd(digits.substr(n), "the dword");
      value.type = REG_DWORD;
      value.data = {static_cast<BYTE>(*number), static_cast<BYTE>(*number >> 8),
                    static_cast<BYTE>(*number >> 16), static_cast<BYTE>(*number >> 24)};
    } else if (StartsNoCase(rest, u"hex:"sv)) {
      value.type = REG_BINARY;
      value.data = HexData(value.type, rest.substr(4));
    } else if (StartsNoCase(rest, u"hex("sv)) {
      const std::size_t close = rest.find(u"):");
      const std::optional<DWORD> type =
          close == std::u16string_view::npos ? std::nullopt : ParseHex32(rest.substr(4, close - 4));
      if (!type) Fail("expected a hex type number and \"):\" after \"hex(\", as in \"hex(2):\"");
      value.type = *type;
      value.data = HexData(value.type, rest.substr(close + 2));
    } else {
      Fail("expected a quoted string, \"dword:\", \"hex:\", \"hex(N):\" or \"-\" after \"=\"");
    }

    if (part == Part::Elsewhere || index) return;
    if (!remove) {
      value.name = valueName;
      SetValue(Target(), std::move(value));
    } else if (into) {
      DeleteValue(*into, valueName);
    } else if (part == Part::View) {
      if (RegKey* key = Find(machine)) DeleteValue(*key, valueName);
      if (RegKey* key = Find(user)) DeleteValue(*key, valueName);
    } else if (RegKey* key = Find(Tree(part))) {
      DeleteValue(*key, valueName);
    }
  }

  void KeyLine(std::u16string_view s) {
    // A key name may hold "]": the line's last one closes it.
    const std::size_t close = s.rfind(u']');
    if (close == std::u16string_view::npos) Fail("missing \"]\" at the end of the key line");
    ExpectEnd(s.substr(close + 1), "the key line");
    Section(s.substr(1, close - 1));
  }

  // Whether the next line that is not blank is a key line, told without decoding it:
  // blanks, line breaks and "[" are ASCII, and a line's first byte and every byte after a
  // blank start a character. The blank lines before it are passed over: only a fill asks,
  // and a blank line tells it nothing.
  bool KeyLineNext() {
    if (text.isWide) return *KeyLineNextIn(std::u16string_view(text.wide), 0, true);
    // The window may cut the blank lines: what follows is then read again from the first
    // line not passed yet, asking for more than the window held.
    const std::size_t size = text.window.Size();
    std::size_t length = 0;
    while (pos != std::string::npos) {
      const std::size_t from = pos;
      const std::string_view bytes = Bytes(text, from, length, index != nullptr);
      if (const std::optional<bool> key = KeyLineNextIn(bytes, from, from + bytes.size() == size))
        return *key;
      length = std::min(2 * (from + bytes.size() - pos) + 2, size - pos);
    }
    return false;
  }
  // The same over `all`, the text from `from` on, the rest of the file when `whole`; no
  // answer when `all` ends before it is found.
  template <class View>
  std::optional<bool> KeyLineNextIn(View all, std::size_t from, bool whole) {
    while (pos != std::string::npos) {
      std::size_t i = pos - from;
      while (i < all.size() && (all[i] == ' ' || all[i] == '\t')) ++i;
      if (!whole && i + 1 >= all.size()) return std::nullopt;
      if (i < all.size() && all[i] == '\r' && (i + 1 == all.size() || all[i + 1] == '\n')) ++i;
      if (i < all.size() && all[i] != '\n') return all[i] == '[';
      pos = i < all.size() ? from + i + 1 : std::string::npos;
      recordedAt = std::string::npos;
    }
    return false;
  }

  // Reads lines up to the end of the file, or with `oneSection` up to the next key line,
  // which is left unread.
  void Lines(bool oneSection) {
    while (!(oneSection && KeyLineNext()) && NextLine()) {
      const std::u16string_view s = TrimLeft(current);
      if (s.empty() || s.front() == u';') continue;
      if (s.front() == u'[') {
        if (oneSection) return;
        KeyLine(s);
      } else if (s.front() == u'@' || s.front() == u'"') {
        ValueLine(s);
      } else {
        Fail("unexpected text \"" + Shown(Trim(s)) +
             "\" (expected a [key] line, a value line or a comment)");
      }
    }
  }

  void Run() {
    NextLine();
    const std::u16string_view header = Trim(current);
    if (header == kHeader4)
      ansi = true;
    else if (header != kHeader5)
      Fail(
          "not a registry file: the first line must be \"REGEDIT4\" or "
          "\"Windows Registry Editor Version 5.00\"");
    Lines(false);
  }

  // Reads the key line at `at` again, one that the check recorded: it names a key below
  // the classes root or the machine's classes, and needs no checking. `names` gets the
  // names from the root key's on, as Section gives them, and `deleting` is set.
  void Recorded(std::size_t at) {
    // A subkey read right after its root key (the scan opens a file type's
    // shell\open\command) starts at the key line that the root key's fill read last: that
    // is still at hand.
    if (at == recordedAt) return;
    pos = at;
    NextLine();
    recordedAt = at;
    // The check found the key line of a subkey of a root key here; anything else means
    // that the file changed since (see Index::Fill).
    std::u16string_view s = TrimLeft(current);
    const std::size_t close = s.rfind(u']');
    if (s.empty() || s.front() != u'[' || close == s.npos || close < 2) Fail("a key line changed");
    s = s.substr(1, close - 1);
    deleting = s.front() == u'-';
    if (deleting) s.remove_prefix(1);
    // HKEY_CLASSES_ROOT\... or HKEY_LOCAL_MACHINE\SOFTWARE\Classes\...
    std::size_t start = FindEither(s, 0, u'\\', u'\\') + 1;
    if (!EqualNoCase(s.substr(0, start - 1), u"HKEY_CLASSES_ROOT"sv))
      for (int skip = 0; skip < 2 && start <= s.size(); ++skip)
        start = FindEither(s, start, u'\\', u'\\') + 1;
    names.clear();
    while (start <= s.size()) {
      const std::size_t end = FindEither(s, start, u'\\', u'\\');
      names.push_back(s.substr(start, end - start));
      if (end == s.size()) break;
      start = end + 1;
    }
    if (names.size() < 2) Fail("a key line changed");
  }

  // Reads the section at `at` again, a section of `key`, a subkey of a root key (its key
  // line names the root key, then `key`): its keys are made below `key` and its values
  // set on them, as if the tree were built from the root key down. A file read key by key
  // has no section of the user's classes: the view is the machine's.
  void Below(std::size_t at, RegKey& key) {
    Recorded(at);
    haveSection = true;
    part = Part::Machine;
    target = nullptr;
    path.assign(names.begin() + 2, names.end());
    if (deleting)
      DeleteKey(key);
    else
      Make(key);
    base = &key;
    Lines(true);
    base = nullptr;
  }

  // Reads the values of the section at `at`, a section of the root key `key` itself, into
  // `key`: the key line was checked, and names the key, so it is passed over, and no tree
  // of keys is made to hold the values on the way.
  void Into(std::size_t at, RegKey& key) {
    pos = at;
    SkipLine();
    haveSection = true;
    deleting = false;
    part = Part::Machine;
    target = into = &key;
    Lines(true);
    target = into = nullptr;
  }
};

// The sections of each root key, found in one pass that also checks the whole file. When
// every section lies below a root key of the machine's classes, each root key is read when
// it is first looked into, from its own sections. Sections of the user's classes or of the
// classes root itself reach across root keys (Windows writes to the user's key when there
// is one; a deletion of the root takes every key): such a file is read whole, at once.
struct Index final : KeyFiller, std::enable_shared_from_this<Index> {
  Text text;
  std::vector<SectionRef> sections;
  // By section: the next section of the same subkey of a root key, once that root key is
  // read (see Fill).
  mutable std::vector<std::uint32_t> subkeyNext;
  bool whole = false;  // the file must be read whole

  // While checking: the root keys met so far, in that order (at the end those that are
  // there become the classes' keys), each with its first section as its `fillRef` (see
  // Fill), and the last of its sections and whether it is there. A root key whose name
  // sorts after every one before it is new without looking it up: regedit writes keys
  // sorted, and in such a file `slots` (the root keys by the hash of their names, kept in
  // `hashes`) is never made, nor a name hashed. The table is made, and kept from then on,
  // at the first name that sorts before.
  std::vector<std::unique_ptr<RegKey>> rootKeys;
  std::vector<std::uint32_t> lastSection;
  std::vector<bool> there;
  std::vector<HashEntry> hashes;
  std::vector<std::uint32_t> slots;
  std::uint32_t recent = kNone;  // with a table: the root key of the section before

  std::uint32_t RootOf(std::u16string_view name) {
    // Sections of one root key mostly come together. Without a table, the root key of the
    // section before is the last one made, and compared below.
    if (!slots.empty() && EqualNoCase(rootKeys[recent]->name, name)) return recent;
    const auto count = static_cast<std::uint32_t>(rootKeys.size());
    std::uint32_t h = 0;
    std::size_t i = 0;
    bool lookUp = !slots.empty();
    if (!lookUp && count) {
      const int order = CompareKeyNames(rootKeys.back()->name, name);
      if (order == 0) return count - 1;
      lookUp = order > 0;
    }
    if (lookUp) {
      if (slots.empty()) {
        hashes.reserve(rootKeys.capacity());
        for (const auto& key : rootKeys) hashes.push_back({HashKeyName(key->name)});
        // GrowSlots doubles the table it is given: it is given half of one that fits them all.
        std::size_t half = 32;
        while (half <= count) half *= 2;
        slots.resize(half);
        GrowSlots(slots, hashes);
      }
      h = HashKeyName(name);
      if (count * std::size_t{2} >= slots.size()) GrowSlots(slots, hashes);
      const std::size_t mask = slots.size() - 1;
      for (i = h & mask; slots[i] != kNone; i = (i + 1) & mask) {
        if (hashes[slots[i]].hash == h && CompareKeyNames(rootKeys[slots[i]]->name, name) == 0)
          return recent = slots[i];
      }
      slots[i] = count;
      hashes.push_back({h});
    }
    rootKeys.push_back(std::make_unique<RegKey>());
    rootKeys.back()->name = name;
    rootKeys.back()->fillRef = kNone;
    lastSection.push_back(kNone);
    there.push_back(false);
    return recent = count;
  }

  // A section that the index records has a key line of at least 21 characters
  // ("[HKEY_CLASSES_ROOT\x]") and a line break, and a root key has a section.
  void Reserve() {
    const std::size_t chars = text.isWide ? text.wide.size() : text.window.Size() - text.start;
    const std::size_t most = MostSections(chars, 21);
    sections.reserve(most);
    rootKeys.reserve(most);
    lastSection.reserve(most);
  }

  // Whether a root key is there at the end, and with which spelling, follows from its own
  // sections; its content is theirs, read again.
  void Add(const Parser& p) {
    if (p.part == Part::User || p.names.empty()) {
      whole = true;
      return;
    }
    const std::size_t known = rootKeys.size();
    const std::uint32_t k = RootOf(p.names[0]);
    RegKey& key = *rootKeys[k];
    std::uint32_t& last = lastSection[k];
    if (p.deleting && p.names.size() == 1) {
      // Nothing before this section is left of the key.
      there[k] = false;
      key.fillRef = last = kNone;
      return;
    }
    if (!p.deleting && !there[k]) {
      there[k] = true;
      if (k < known) key.name = p.names[0];  // a key just made has this spelling
    }
    const auto at = static_cast<std::uint32_t>(sections.size());
    sections.push_back({p.lineStart, kNone, p.names.size() > 1 ? HashKeyName(p.names[1]) : 0});
    if (last == kNone)
      key.fillRef = at;
    else
      sections[last].next = at;
    last = at;
  }

  // The root keys that are there, each unread.
  std::vector<std::unique_ptr<RegKey>> TakeRootKeys() {
    std::size_t kept = 0;
    for (std::size_t k = 0; k < rootKeys.size(); ++k) {
      if (!there[k]) continue;
      rootKeys[k]->filler = shared_from_this();
      rootKeys[kept++] = std::move(rootKeys[k]);
    }
    rootKeys.resize(kept);
    std::vector<std::uint32_t>().swap(lastSection);
    std::vector<bool>().swap(there);
    std::vector<HashEntry>().swap(hashes);
    std::vector<std::uint32_t>().swap(slots);
    return std::move(rootKeys);
  }

  // The parser that reads keys again: one for all, so that its buffers are made once.
  mutable std::unique_ptr<Parser> replay;

  Parser& Replayer() const {
    if (!replay) replay = std::make_unique<Parser>(text);
    replay->made.clear();
    return *replay;
  }

  // A root key's `fillRef` is its first section. Its own sections give its values. The
  // others only tell which subkeys it has (a subkey is there once a section names it, until
  // one deletes it), and with which spelling: each subkey is made unread, and read from its
  // own sections when looked into, so that the subkeys the scan never opens (a file type's
  // DefaultIcon) are never built. Each subkey's sections are linked in `subkeyNext`, from
  // the first one, which the subkey's `fillRef` names (with kSubkeyFill). The root key's
  // own list stays as it is, so that the key reads alike when it is read again after Forget.
  static constexpr std::uint64_t kSubkeyFill = std::uint64_t{1} << 63;

  // What a fill of a root key finds of its subkeys: kept from fill to fill, so that a fill
  // allocates nothing of its own. The names lie in `foundNames`; a key with many subkeys
  // looks them up by hash in `foundSlots` (as the roots' `slots`), one with few along the
  // list.
  struct FoundSubkey {
    std::uint32_t nameAt, nameSize;
    std::uint32_t hash, first, last;
    bool exists;
  };
  static constexpr std::size_t kFewSubkeys = 16;
  mutable std::vector<FoundSubkey> found;
  mutable std::vector<std::uint32_t> foundSlots;
  mutable std::u16string foundNames;

  std::u16string_view NameOf(const FoundSubkey& k) const {
    return std::u16string_view(foundNames).substr(k.nameAt, k.nameSize);
  }

  // The subkey found before that `name`, of hash `hash`, names, or null; with a table,
  // `slot` is then the free slot where it goes.
  FoundSubkey* Known(std::uint32_t hash, std::u16string_view name, std::size_t& slot) const {
    if (foundSlots.empty()) {
      for (FoundSubkey& k : found)
        if (k.hash == hash && EqualNoCase(NameOf(k), name)) return &k;
      return nullptr;
    }
    const std::size_t mask = foundSlots.size() - 1;
    for (slot = hash & mask; foundSlots[slot] != kNone; slot = (slot + 1) & mask) {
      FoundSubkey& k = found[foundSlots[slot]];
      if (k.hash == hash && EqualNoCase(NameOf(k), name)) return &k;
    }
    return nullptr;
  }

  // A fill reads what the check passed: a line it cannot read as the check did means that
  // the file changed since, which ends the run as a file that got shorter does.
  void Fill(RegKey& key, std::uint64_t ref) const override {
    try {
      if (ref & kSubkeyFill) return FillSubkey(key, static_cast<std::uint32_t>(ref));
      FillRoot(key, ref);
    } catch (const ParseError&) {
      text.window.Changed();
    }
  }

  void FillRoot(RegKey& key, std::uint64_t ref) const {
    Parser& p = Replayer();
    if (subkeyNext.empty()) subkeyNext.assign(sections.size(), kNone);
    for (auto s = static_cast<std::uint32_t>(ref); s != kNone; s = sections[s].next) {
      const SectionRef& section = sections[s];
      if (section.child == 0) {
        p.Into(section.pos, key);
        continue;
      }
      p.Recorded(section.pos);
      const std::u16string_view name = p.names[1];
      if (foundSlots.empty() ? found.size() >= kFewSubkeys : found.size() * 2 >= foundSlots.size())
        GrowSlots(foundSlots, found);
      std::size_t slot = 0;
      FoundSubkey* sub = Known(section.child, name, slot);
      if (!sub) {
        if (!foundSlots.empty()) foundSlots[slot] = static_cast<std::uint32_t>(found.size());
        sub = &found.emplace_back(FoundSubkey{static_cast<std::uint32_t>(foundNames.size()),
                                              static_cast<std::uint32_t>(name.size()),
                                              section.child, s, s, false});
        foundNames += name;
      } else {
        subkeyNext[sub->last] = s;
        sub->last = s;
      }
      subkeyNext[s] = kNone;
      if (p.deleting && p.names.size() == 2) {
        sub->exists = false;
      } else if (!p.deleting && !sub->exists) {
        // Names equal in any letter case are as long: the new spelling takes the old's place.
        std::copy(name.begin(), name.end(), foundNames.begin() + sub->nameAt);
        sub->exists = true;
      }
    }
    std::size_t count = 0;
    for (const FoundSubkey& k : found) count += k.exists;
    std::vector<std::unique_ptr<RegKey>> subkeys;
    subkeys.reserve(count);
    for (const FoundSubkey& k : found) {
      if (!k.exists) continue;
      auto sub = std::make_unique<RegKey>();
      sub->name = NameOf(k);
      sub->filler = shared_from_this();
      sub->fillRef = kSubkeyFill | k.first;
      subkeys.push_back(std::move(sub));
    }
    // A key with many subkeys (CLSID) leaves no large lists behind.
    if (found.size() > kFewSubkeys) {
      std::vector<FoundSubkey>().swap(found);
      std::vector<std::uint32_t>().swap(foundSlots);
      std::u16string().swap(foundNames);
    }
    found.clear();
    foundSlots.clear();
    foundNames.clear();
    AddSubkeys(key, std::move(subkeys));
  }

  void FillSubkey(RegKey& key, std::uint32_t firstSection) const {
    Parser& p = Replayer();
    for (std::uint32_t s = firstSection; s != kNone; s = subkeyNext[s]) p.Below(sections[s].pos, key);
  }

  bool MayHaveSubkey(std::uint64_t ref, std::u16string_view name) const override {
    if (ref & kSubkeyFill) return true;
    const std::uint32_t h = HashKeyName(name);
    for (auto s = static_cast<std::uint32_t>(ref); s != kNone; s = sections[s].next)
      if (sections[s].child == h) return true;
    return false;
  }
};

void Parser::Record() { index->Add(*this); }

// The encoding of the file, from its byte-order mark and its header. A UTF-16LE file is
// decoded whole, a window at a time.
void Open(Text& t) {
  t.codePage = AnsiCodePage();
  const std::size_t size = t.window.Size();
  const std::string_view head = Bytes(t, 0, std::min<std::size_t>(size, 3), true).substr(0, 3);
  if (head.size() >= 2 && static_cast<unsigned char>(head[0]) == 0xFE &&
      static_cast<unsigned char>(head[1]) == 0xFF)
    throw ParseError{t.name + ": UTF-16 big-endian text is not supported (save it as UTF-16LE)"};
  if (head.size() >= 2 && static_cast<unsigned char>(head[0]) == 0xFF &&
      static_cast<unsigned char>(head[1]) == 0xFE) {
    if (size % 2 != 0)
      throw ParseError{t.name + ": the UTF-16 text ends in the middle of a character"};
    t.isWide = true;
    t.wide.resize(size / 2 - 1);
    // Each step takes what the window holds, at least one unit.
    for (std::size_t at = 2; at < size;) {
      const std::string_view bytes = Bytes(t, at, 2, true);
      const std::size_t units = bytes.size() / 2;
      char16_t* out = t.wide.data() + (at - 2) / 2;
      for (std::size_t i = 0; i < units; ++i)
        out[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                       static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
      at += 2 * units;
    }
    return;
  }
  t.utf8 = head == "\xEF\xBB\xBF";
  if (t.utf8) t.start = 3;
  // Without a byte-order mark the header tells: REGEDIT4 is ANSI, version 5 UTF-8.
  if (!t.utf8) {
    std::size_t pos = 0;
    std::string_view first = LineAt(t, pos, true);
    if (!first.empty() && first.back() == '\r') first.remove_suffix(1);
    t.utf8 = Trim(Utf8ToUtf16(first)) != kHeader4;
  }
}

LSTATUS Parse(std::shared_ptr<Index> index, RegKey& classesRoot, std::string& error) {
  try {
    Open(index->text);
    index->Reserve();
    Parser check(index->text);
    check.index = index.get();
    try {
      check.Run();
    } catch (const ParseError& e) {
      // Every line is checked as UTF-8 before any is read, so that mistake comes first.
      while (e.status == ERROR_BADDB && index->text.utf8 && check.NextLine()) {
      }
      throw;
    }
    index->text.ansi = check.ansi;
    if (index->whole) {
      Parser p(index->text);
      p.Run();
      MergeClasses(p.machine, std::move(p.user));
      classesRoot = std::move(p.machine);
      return ERROR_SUCCESS;
    }
  } catch (const ParseError& e) {
    error = e.message;
    return e.status;
  }
  AddSubkeys(classesRoot, index->TakeRootKeys());
  return ERROR_SUCCESS;
}

}  // namespace

LSTATUS ParseRegFile(std::string_view bytes, const std::string& name, RegKey& classesRoot,
                     std::string& error) {
  classesRoot = RegKey{};
  auto index = std::make_shared<Index>();
  index->text.name = name;
  index->text.window.Hold(std::string(bytes));
  return Parse(std::move(index), classesRoot, error);
}

LSTATUS LoadRegFile(const std::string& path, RegKey& classesRoot, std::string& error) {
  classesRoot = RegKey{};
  auto index = std::make_shared<Index>();
  index->text.name = path;
  if (!index->text.window.Open(path)) {
    error = path + ": " + index->text.window.Problem();
    return ERROR_FILE_NOT_FOUND;
  }
  return Parse(std::move(index), classesRoot, error);
}

}  // namespace tavplat
