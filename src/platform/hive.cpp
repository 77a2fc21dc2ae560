#include "hive.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codepage.h"

namespace tavplat {

namespace {

// Windows nests keys at most 512 deep; a deeper key, or a loop of keys, is damage.
constexpr std::size_t kMaxDepth = 512;
// The regf header: a 4 KiB block, then the bins it counts. Offsets in records count from
// the first bin.
constexpr std::size_t kHeaderSize = 0x1000;
// Windows keeps a value longer than this in pieces of this size (a "db" record).
constexpr std::size_t kPieceSize = 16344;
// The smallest key and value records, up to their names.
constexpr std::size_t kKeyRecord = 0x4C;
constexpr std::size_t kValueRecord = 0x14;
// The longest name a record can hold: its length is 16 bits, in bytes.
constexpr std::size_t kLongestName = 0xFFFF;

// A key or value: the offset of its record from the first bin; 0 (where no cell can start,
// the bin's own header being there) for none.
using Node = std::uint32_t;

struct HiveError {
  LSTATUS status;
  std::string problem;
};

[[noreturn]] void Fail(std::string problem, LSTATUS status = ERROR_BADDB) {
  throw HiveError{status, std::move(problem)};
}

std::uint32_t Le32(const unsigned char* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint16_t Le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

// The payload of a used cell: its bytes after the size field.
struct Cell {
  const unsigned char* p = nullptr;
  std::size_t n = 0;
};

// One hive file, read whole. Every record is read through Used(), which only knows the
// cells that the pass over the bins found, each lying inside its bin; every field is read
// within its cell. So no offset in the file leads outside the copy.
struct Hive {
  std::string path;
  struct stat file {};  // the file as it was when read
  const unsigned char* map = nullptr;  // the file's bytes, read-only
  std::size_t size = 0;
  std::size_t binsEnd = 0;
  // One bit for each 8 bytes of the file: set where a used cell starts.
  std::vector<std::uint64_t> starts;
  Node root = 0;
  // Bytes of value records and data read so far: a sound hive stores each once, so more
  // than the file holds means keys share them, which could make a small file fill the memory.
  std::size_t valueBytes = 0;
  // The key being read, for messages: the names from the hive's root down to where the
  // walk of the classes starts, then the keys it went through (named only on failure).
  std::vector<std::u16string> trail;
  std::vector<Node> walk;
  // The keys whose subkeys the hive does not list in the order the tree keeps, sorted.
  std::vector<Node> unsorted;
  // Room that the walk reuses from key to key instead of allocating it anew.
  std::vector<std::vector<Node>> children;
  std::vector<Node> values;
  std::vector<std::u16string> names;
  std::vector<char16_t> name, previous;  // kLongestName units each once the walk starts

  Hive() = default;
  Hive(const Hive&) = delete;
  Hive& operator=(const Hive&) = delete;
  ~Hive() {
    if (map) munmap(const_cast<unsigned char*>(map), size);
  }
};

std::u16string KeyName(const Hive& hive, Node node);

// A name from the hive as messages show it: control characters as escapes, so that none can
// end the message's line or drive the terminal.
std::string Shown(std::u16string_view name) {
  static constexpr char16_t kHex[] = u"0123456789abcdef";
  std::u16string out;
  for (char16_t c : name) {
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) out += {u'\\', u'x', kHex[c >> 4], kHex[c & 15]};
    else out += c;
  }
  return Utf16ToUtf8(out);
}

// At most `limit` bytes of the UTF-8 `text`, cut before a character, not inside one.
std::string CutAtCharacter(const std::string& text, std::size_t limit) {
  if (text.size() <= limit) return text;
  while (limit > 0 && (static_cast<unsigned char>(text[limit]) & 0xC0) == 0x80) --limit;
  return text.substr(0, limit);
}

std::string Where(const Hive& hive) {
  std::u16string path;
  for (const std::u16string& name : hive.trail) {
    if (!path.empty()) path += u'\\';
    path += name;
  }
  for (Node node : hive.walk) {
    if (!path.empty()) path += u'\\';
    path += KeyName(hive, node);
  }
  return path.empty() ? "the root key" : "the key " + Shown(path);
}

std::string Hex(std::size_t n) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%zx", n);
  return text;
}

// The used cell at `at`, or false.
inline bool Used(const Hive& hive, std::uint32_t at, Cell& cell) {
  const std::size_t offset = kHeaderSize + at;
  if (offset >= hive.binsEnd || offset % 8 != 0 ||
      !(hive.starts[offset / 512] >> (offset / 8 % 64) & 1))
    return false;
  cell = {hive.map + offset + 4, (0u - Le32(hive.map + offset)) - 4};
  return true;
}

// The bins, cell by cell, as Windows lays them out: each bin where the one before it ends,
// knowing its own place, its cells filling it exactly. One linear pass over the file, made
// while it is read: each bin is checked once all of it is in, while its bytes are still
// in the processor's cache. The first damage is kept, not thrown, so that a file that
// cannot be read whole is reported as such, as when the bins were checked after reading.
struct BinsPass {
  std::size_t bin = kHeaderSize;  // the next bin to check
  std::string damage;             // the first damage found; the pass stops there

  // Checks the bins that lie whole in the first `read` bytes of the file.
  void Check(Hive& hive, std::size_t read) {
    const auto damaged = [&](std::size_t at, const char* problem) {
      damage = "the hive's bins are damaged (" + std::string(problem) + " at " + Hex(at) + ")";
    };
    while (damage.empty() && bin < hive.binsEnd) {
      if (hive.binsEnd - bin < 0x1000) return damaged(bin, "no bin");
      if (bin + 0x20 > read) return;  // its header is still to come
      const unsigned char* head = hive.map + bin;
      if (std::memcmp(head, "hbin", 4) != 0) return damaged(bin, "no bin");
      const std::size_t binSize = Le32(head + 8);
      if (binSize < 0x1000 || binSize % 0x1000 != 0 || binSize > hive.binsEnd - bin)
        return damaged(bin, "a bin of a wrong size");
      if (Le32(head + 4) != bin - kHeaderSize) return damaged(bin, "a bin that names another place");
      const std::size_t end = bin + binSize;
      if (end > read) return;  // checked once read whole
      for (std::size_t at = bin + 0x20; at < end;) {
        const std::uint32_t field = Le32(hive.map + at);
        const bool used = field & 0x80000000u;
        const std::size_t length = used ? 0u - field : field;
        if (length < 8 || length % 8 != 0 || length > end - at)
          return damaged(at, "a cell of a wrong size");
        if (used) hive.starts[at / 512] |= std::uint64_t{1} << (at / 8 % 64);
        at += length;
      }
      bin = end;
    }
  }
};

// Reads the file behind `fd` into memory of its own, which keeps the bytes that were
// checked the bytes that are read later, whatever happens to the file meanwhile, and
// checks its bins as they come in (`bins`). Huge pages where the system gives them: a hive
// runs to hundreds of megabytes, and taking them a page at a time costs more than copying
// them. Returns 0 or an errno.
int ReadWhole(int fd, Hive& hive, BinsPass& bins) {
  // Read a megabyte at a time: what was read last is still in the cache when checked.
  constexpr std::size_t kChunk = std::size_t{1} << 20;
  void* memory = mmap(nullptr, hive.size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return errno;
  hive.map = static_cast<const unsigned char*>(memory);
  madvise(memory, hive.size, MADV_HUGEPAGE);
  hive.starts.assign(hive.size / 512 + 1, 0);
  auto* bytes = static_cast<unsigned char*>(memory);
  for (std::size_t done = 0; done < hive.size;) {
    const std::size_t want = std::min(kChunk - done % kChunk, hive.size - done);
    const ssize_t n = pread(fd, bytes + done, want, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;  // cut short since fstat
    done += static_cast<std::size_t>(n);
    bins.Check(hive, done);
  }
  mprotect(memory, hive.size, PROT_READ);
  return 0;
}

// The hives that Facts() read, kept for LoadClasses(), which reads the same files right
// after: a hive of hundreds of megabytes is then copied and checked once, not twice, and
// the classes come from the very bytes the facts came from.
std::vector<std::shared_ptr<Hive>>& Kept() {
  static std::vector<std::shared_ptr<Hive>> kept;
  return kept;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// The hive of `path` that Kept() holds, taken out of it and as if just read, when the file
// is still the one it was read from; else null.
std::shared_ptr<Hive> TakeKept(const std::string& path, const struct stat& info) {
  auto& kept = Kept();
  for (auto it = kept.begin(); it != kept.end(); ++it) {
    if ((*it)->path != path || !SameFile((*it)->file, info)) continue;
    std::shared_ptr<Hive> hive = std::move(*it);
    kept.erase(it);
    hive->valueBytes = 0;
    hive->trail.clear();
    hive->walk.clear();
    return hive;
  }
  return nullptr;
}

// Reads `path` after checking its header.
std::shared_ptr<Hive> OpenHive(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (fd < 0 || fstat(fd, &info) != 0) {
    const int err = errno;
    if (fd >= 0) close(fd);
    Fail("cannot open the hive file: " + std::string(std::strerror(err)), ERROR_FILE_NOT_FOUND);
  }
  if (!S_ISREG(info.st_mode)) {
    close(fd);
    Fail("the hive is not a file", ERROR_FILE_NOT_FOUND);
  }
  if (auto kept = TakeKept(path, info)) {
    close(fd);
    return kept;
  }
  auto hive = std::make_shared<Hive>();
  hive->path = path;
  hive->file = info;
  const std::size_t fileSize = static_cast<std::size_t>(info.st_size);
  unsigned char header[kHeaderSize];
  if (fileSize < 2 * kHeaderSize || pread(fd, header, kHeaderSize, 0) != static_cast<ssize_t>(kHeaderSize)) {
    close(fd);
    Fail("the hive file is truncated: " + std::to_string(fileSize) +
         " bytes, less than a header and one bin");
  }
  // The header is checked before the file is read: a large file that is no hive is not.
  const auto fail = [&](const std::string& problem) {
    close(fd);
    Fail(problem);
  };
  if (std::memcmp(header, "regf", 4) != 0) fail("the file is not a hive (no regf magic)");
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < 0x1FC; i += 4) sum ^= Le32(header + i);
  if (sum != Le32(header + 0x1FC)) fail("the hive header's checksum is wrong");
  if (Le32(header + 0x14) != 1)
    fail("the hive's format version " + std::to_string(Le32(header + 0x14)) + " is unknown");
  const std::size_t bins = Le32(header + 0x28);
  if (bins > fileSize - kHeaderSize)
    fail("the hive file is truncated: its header counts " + std::to_string(bins) +
         " bytes of bins, the file holds " + std::to_string(fileSize - kHeaderSize));
  // What lies beyond the bins the header counts is no part of the hive.
  hive->size = hive->binsEnd = kHeaderSize + bins;
  BinsPass pass;
  const int err = ReadWhole(fd, *hive, pass);
  close(fd);
  if (err) Fail("cannot read the hive file: " + std::string(std::strerror(err)));
  if (!pass.damage.empty()) Fail(pass.damage);
  hive->root = Le32(header + 0x24);
  Cell root;
  if (!Used(*hive, hive->root, root) || root.n < kKeyRecord || std::memcmp(root.p, "nk", 2) != 0 ||
      Le16(root.p + 0x48) > root.n - kKeyRecord)
    Fail("the hive has no root key");
  return hive;
}

// The cell at `at` (a key, a value, a list), which Used() found before in this same
// memory: read where it lies, with no look-up in `starts`. The walk and the fills read
// a record's fields a few times over, millions of records.
inline Cell Checked(const Hive& hive, std::uint32_t at) {
  const unsigned char* head = hive.map + kHeaderSize + at;
  return {head + 4, (0u - Le32(head)) - 4};
}

// A name as the hive stores it (Latin-1 when `latin1`, else UTF-16LE), written at `out`,
// which has room for kLongestName units.
std::u16string_view DecodeName(const unsigned char* p, std::size_t length, bool latin1,
                               char16_t* out) {
  const std::size_t n = latin1 ? length : length / 2;
  if (latin1) {
    std::size_t i = 0;
#if defined(__SSE2__)
    // Latin-1 is the first 256 code points: each byte widens to its unit, eight at a time.
    for (; i + 8 <= n; i += 8) {
      const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + i));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_unpacklo_epi8(bytes, _mm_setzero_si128()));
    }
#endif
    for (; i < n; ++i) out[i] = static_cast<char16_t>(p[i]);
  } else {
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<char16_t>(Le16(p + 2 * i));
  }
  return {out, n};
}

void DecodeName(const unsigned char* p, std::size_t length, bool latin1, std::u16string& name) {
  name.resize(latin1 ? length : length / 2);
  DecodeName(p, length, latin1, name.data());
}

// The name of the key `node`, decoded into `room` (kLongestName units): the walk and the
// fills decode a name for every key, with no string of its own.
std::u16string_view KeyName(const Hive& hive, Node node, char16_t* room) {
  const Cell nk = Checked(hive, node);
  return DecodeName(nk.p + kKeyRecord, Le16(nk.p + 0x48), Le16(nk.p + 0x02) & 0x20, room);
}

void KeyName(const Hive& hive, Node node, std::u16string& name) {
  const Cell nk = Checked(hive, node);
  DecodeName(nk.p + kKeyRecord, Le16(nk.p + 0x48), Le16(nk.p + 0x02) & 0x20, name);
}

std::u16string KeyName(const Hive& hive, Node node) {
  std::u16string name;
  KeyName(hive, node, name);
  return name;
}

// Adds the entries of the subkey list `list` (lf, lh or li; an ri, an index of such lists,
// when `index`) to `children`, which holds at most `count`.
void ListEntries(const Hive& hive, const Cell& list, std::size_t count, bool index,
                 std::vector<Node>& children) {
  const auto damaged = [&](const std::string& problem) {
    Fail("the subkey list of " + Where(hive) + " is damaged (" + problem + ")");
  };
  if (list.n < 4) damaged("a list too small for its header");
  const std::size_t n = Le16(list.p + 2);
  const bool hashed = list.p[0] == 'l' && (list.p[1] == 'f' || list.p[1] == 'h');
  const bool plain = list.p[0] == 'l' && list.p[1] == 'i';
  const bool ri = index && list.p[0] == 'r' && list.p[1] == 'i';
  if (!hashed && !plain && !ri) damaged("a cell is not of the kind expected there");
  const std::size_t step = hashed ? 8 : 4;
  if (n > (list.n - 4) / step) damaged("a list holds fewer entries than it counts");
  for (std::size_t i = 0; i < n; ++i) {
    const Node entry = Le32(list.p + 4 + i * step);
    Cell cell;
    if (!Used(hive, entry, cell)) damaged("an offset points to no cell");
    if (ri) {
      ListEntries(hive, cell, count, false, children);
      continue;
    }
    if (cell.n < kKeyRecord || std::memcmp(cell.p, "nk", 2) != 0)
      damaged("a cell is not of the kind expected there");
    if (Le16(cell.p + 0x48) > cell.n - kKeyRecord) damaged("a name longer than its record");
    if (children.size() == count) damaged("the lists hold more subkeys than the key counts");
    children.push_back(entry);
  }
}

// The subkeys of `node`, each a sound key record.
void Children(const Hive& hive, Node node, std::vector<Node>& children) {
  children.clear();
  const Cell nk = Checked(hive, node);
  const std::size_t count = Le32(nk.p + 0x14);
  if (count == 0) return;
  Cell list;
  if (!Used(hive, Le32(nk.p + 0x1C), list))
    Fail("the subkey list of " + Where(hive) + " is damaged (an offset points to no cell)");
  // Each subkey takes a cell of its own: a count beyond that is damage, not a reason to
  // reserve the memory it asks for.
  if (count > hive.size / 8)
    Fail(Where(hive) + " counts more subkeys than the file can hold");
  children.reserve(count);
  ListEntries(hive, list, count, true, children);
  if (children.size() != count)
    Fail("the subkey list of " + Where(hive) + " is damaged (the lists hold fewer subkeys than the key counts)");
}

std::vector<Node> Children(const Hive& hive, Node node) {
  std::vector<Node> children;
  Children(hive, node, children);
  return children;
}

// Calls `visit` with each entry of the subkey list `list` of a key that Children() read.
template <class Visit>
void EachSubkey(const Hive& hive, const Cell& list, Visit& visit) {
  const std::size_t n = Le16(list.p + 2);
  if (list.p[0] == 'r') {
    for (std::size_t i = 0; i < n; ++i) EachSubkey(hive, Checked(hive, Le32(list.p + 4 + 4 * i)), visit);
    return;
  }
  const std::size_t step = list.p[1] == 'i' ? 4 : 8;  // li: offsets; lf, lh: with hashes
  for (std::size_t i = 0; i < n; ++i) visit(Le32(list.p + 4 + i * step));
}
template <class Visit>
void EachSubkey(const Hive& hive, const Cell& list, Visit&& visit) {
  EachSubkey(hive, list, visit);
}

// The values of `node`, each a sound value record.
void Values(const Hive& hive, Node node, std::vector<Node>& values) {
  values.clear();
  const Cell nk = Checked(hive, node);
  const std::size_t count = Le32(nk.p + 0x24);
  if (count == 0) return;
  const auto damaged = [&](const char* problem) {
    Fail("the value list of " + Where(hive) + " is damaged (" + problem + ")");
  };
  Cell list;
  if (!Used(hive, Le32(nk.p + 0x28), list)) damaged("an offset points to no cell");
  if (count > list.n / 4) damaged("the list holds fewer values than the key counts");
  values.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const Node at = Le32(list.p + 4 * i);
    Cell vk;
    if (!Used(hive, at, vk)) damaged("an offset points to no cell");
    if (vk.n < kValueRecord || std::memcmp(vk.p, "vk", 2) != 0)
      damaged("a cell is not of the kind expected there");
    if (Le16(vk.p + 0x02) > vk.n - kValueRecord) damaged("a name longer than its record");
    values.push_back(at);
  }
}

std::vector<Node> Values(const Hive& hive, Node node) {
  std::vector<Node> values;
  Values(hive, node, values);
  return values;
}

void ValueName(const Hive& hive, Node value, std::u16string& name) {
  const Cell vk = Checked(hive, value);
  DecodeName(vk.p + kValueRecord, Le16(vk.p + 0x02), Le16(vk.p + 0x10) & 0x01, name);
}

std::u16string ValueName(const Hive& hive, Node value) {
  std::u16string name;
  ValueName(hive, value, name);
  return name;
}

// The data of `value`, checked, in at most one piece per 16344 bytes. Adds them to `out`
// unless it is null.
void ValueData(const Hive& hive, Node value, std::vector<BYTE>* out) {
  const auto fail = [&](const std::string& problem) {
    Fail("the value \"" + Shown(ValueName(hive, value)) + "\" of " + Where(hive) + problem);
  };
  const Cell vk = Checked(hive, value);
  const std::uint32_t field = Le32(vk.p + 0x04);
  const std::size_t length = field & 0x7FFFFFFFu;
  const auto take = [&](const unsigned char* p, std::size_t n) {
    if (out) out->insert(out->end(), p, p + n);
  };
  if (field & 0x80000000u) {  // kept in the record itself
    if (length > 4) fail(" is damaged (more than 4 bytes kept in its record)");
    take(vk.p + 0x08, length);
    return;
  }
  if (length == 0) return;
  if (length > hive.size) fail(" is longer than the file");
  Cell data;
  if (!Used(hive, Le32(vk.p + 0x08), data)) fail(" is damaged (an offset points to no cell)");
  if (length <= data.n) {
    take(data.p, length);
    return;
  }
  if (data.n < 8 || std::memcmp(data.p, "db", 2) != 0) fail(" has fewer bytes than it declares");
  const std::size_t pieces = Le16(data.p + 2);
  Cell list;
  if (!Used(hive, Le32(data.p + 4), list)) fail(" is damaged (an offset points to no cell)");
  if (list.n / 4 < pieces)
    Fail("the list of pieces of a long value of " + Where(hive) + " is cut short");
  if (out) out->reserve(out->size() + length);
  std::size_t left = length;
  for (std::size_t i = 0; i < pieces && left > 0; ++i) {
    Cell piece;
    if (!Used(hive, Le32(list.p + 4 * i), piece)) fail(" is damaged (an offset points to no cell)");
    const std::size_t n = std::min({left, piece.n, kPieceSize});
    take(piece.p, n);
    left -= n;
  }
  if (left > 0) fail(" has fewer bytes than it declares");
}

RegValue ReadValue(const Hive& hive, Node value) {
  RegValue result;
  result.name = ValueName(hive, value);
  result.type = Le32(Checked(hive, value).p + 0x0C);
  ValueData(hive, value, &result.data);
  return result;
}

// Checks `value` as ReadValue reads it, and counts what it holds against the file's size.
// Its name is decoded only for a message: the walk checks millions of values.
void CheckValue(Hive& hive, Node value, std::vector<BYTE>* data) {
  ValueData(hive, value, data);
  const std::uint32_t field = Le32(Checked(hive, value).p + 0x04);
  hive.valueBytes += kValueRecord + (field & 0x80000000u ? 0 : field & 0x7FFFFFFFu);
  if (hive.valueBytes > hive.size)
    Fail("the value \"" + Shown(ValueName(hive, value)) + "\" of " + Where(hive) +
         " shares its data with other keys");
}

RegValue CheckValue(Hive& hive, Node value) {
  RegValue result;
  result.name = ValueName(hive, value);
  result.type = Le32(Checked(hive, value).p + 0x0C);
  CheckValue(hive, value, &result.data);
  return result;
}

// The first `n` of `names` sorted; true when two of them fold alike, one of which is `which`.
bool Twice(std::vector<std::u16string>& names, std::size_t n, std::u16string& which) {
  std::sort(names.begin(), names.begin() + static_cast<std::ptrdiff_t>(n),
            [](const std::u16string& a, const std::u16string& b) { return CompareKeyNames(a, b) < 0; });
  for (std::size_t i = 1; i < n; ++i)
    if (CompareKeyNames(names[i - 1], names[i]) == 0) {
      which = names[i];
      return true;
    }
  return false;
}

// `names` with room for `n` names, reusing the strings it has.
void Room(std::vector<std::u16string>& names, std::size_t n) {
  if (names.size() < n) names.resize(n);
}

// Checks the key at `node` and everything below it, reading each record as the filler
// will: after this, filling any of these keys cannot fail. The walk allocates nothing per
// key: a hive holds millions of them.
void CheckTree(Hive& hive, Node node, std::size_t depth) {
  std::u16string twice;
  Values(hive, node, hive.values);
  const std::size_t valueCount = hive.values.size();
  for (std::size_t i = 0; i < valueCount; ++i) CheckValue(hive, hive.values[i], nullptr);
  if (valueCount > 1) {
    Room(hive.names, valueCount);
    for (std::size_t i = 0; i < valueCount; ++i) ValueName(hive, hive.values[i], hive.names[i]);
    if (Twice(hive.names, valueCount, twice))
      Fail(Where(hive) + " has two values named \"" + Shown(twice) + "\"");
  }
  // One list per level, made before any is used: the deeper calls must not move them.
  if (hive.children.empty()) {
    hive.children.resize(kMaxDepth + 1);
    hive.name.resize(kLongestName);
    hive.previous.resize(kLongestName);
  }
  std::vector<Node>& children = hive.children[depth];
  Children(hive, node, children);
  // Windows keeps subkeys sorted, so each name only needs to follow the one before it;
  // only a list out of that order is sorted here to find a name that comes twice.
  bool sorted = true;
  std::u16string_view previous;
  for (std::size_t i = 0; i < children.size(); ++i) {
    // Each key names its parent: a key listed under another one is a loop or a shared key.
    if (Le32(Checked(hive, children[i]).p + 0x10) != node)
      Fail(Where(hive) + " lists a subkey that belongs to another key");
    const std::u16string_view name = KeyName(hive, children[i], hive.name.data());
    if (i > 0 && CompareKeyNames(previous, name) >= 0) sorted = false;
    previous = name;
    hive.previous.swap(hive.name);  // `previous` keeps its units
  }
  if (!sorted) {
    Room(hive.names, children.size());
    for (std::size_t i = 0; i < children.size(); ++i) KeyName(hive, children[i], hive.names[i]);
    if (Twice(hive.names, children.size(), twice))
      Fail(Where(hive) + " has two subkeys named \"" + Shown(twice) + "\"");
    hive.unsorted.push_back(node);
  }
  for (std::size_t i = 0; i < children.size(); ++i) {
    hive.walk.push_back(children[i]);
    if (depth == kMaxDepth)
      Fail(CutAtCharacter(Where(hive), 200) + "... lies more than " + std::to_string(kMaxDepth) +
           " levels below the classes, deeper than Windows nests keys");
    CheckTree(hive, children[i], depth + 1);
    hive.walk.pop_back();
  }
}

// Reads the keys of a checked hive when they are first looked into, straight from the
// copy of the file, which it keeps.
class HiveFiller : public KeyFiller, public std::enable_shared_from_this<HiveFiller> {
 public:
  explicit HiveFiller(std::shared_ptr<Hive> hive) : hive_(std::move(hive)) {}

  void Fill(RegKey& key, std::uint64_t ref) const override {
    const Hive& hive = *hive_;
    const Node node = static_cast<Node>(ref);
    const Cell nk = Checked(hive, node);
    // CheckTree read every record read here, in this same memory: nothing here can fail,
    // and each list holds what its key counts. They are read where they lie, not copied
    // into lists of their own first.
    if (const std::size_t count = Le32(nk.p + 0x24)) {
      const Cell list = Checked(hive, Le32(nk.p + 0x28));
      for (std::size_t i = 0; i < count; ++i) SetValue(key, ReadValue(hive, Le32(list.p + 4 * i)));
    }
    std::vector<std::unique_ptr<RegKey>> subkeys;
    if (const std::size_t count = Le32(nk.p + 0x14)) {
      subkeys.reserve(count);
      const std::shared_ptr<const KeyFiller> self = shared_from_this();
      EachSubkey(hive, Checked(hive, Le32(nk.p + 0x1C)), [&](Node child) {
        auto sub = std::make_unique<RegKey>();
        sub->name = KeyName(hive, child, name_.get());
        sub->filler = self;
        sub->fillRef = child;
        subkeys.push_back(std::move(sub));
      });
    }
    if (key.subkeys.empty() && !std::binary_search(hive.unsorted.begin(), hive.unsorted.end(), node)) {
      // In the order the tree keeps, as Windows writes them and CheckTree found them:
      // taken as they are, sparing AddSubkeys a sort of a million names.
      key.subkeys = std::move(subkeys);
      key.orderValid = false;
    } else {
      AddSubkeys(key, std::move(subkeys));
    }
  }

  bool MayHaveSubkey(std::uint64_t ref, std::u16string_view) const override {
    return Le32(Checked(*hive_, static_cast<Node>(ref)).p + 0x14) != 0;
  }

 private:
  std::shared_ptr<Hive> hive_;
  // Room for a subkey's name, kept from fill to fill.
  const std::unique_ptr<char16_t[]> name_{new char16_t[kLongestName]};
};

// The subkey `name` (any letter case) of `node`, or 0.
Node FindChild(Hive& hive, Node node, std::u16string_view name) {
  std::u16string found;
  for (Node child : Children(hive, node)) {
    KeyName(hive, child, found);
    if (CompareKeyNames(found, name) == 0) return child;
  }
  return 0;
}

Node FindPath(Hive& hive, Node node, std::initializer_list<std::u16string_view> path) {
  const std::size_t depth = hive.trail.size();
  for (std::u16string_view name : path) {
    if (node) node = FindChild(hive, node, name);
    hive.trail.emplace_back(name);
  }
  hive.trail.resize(depth);
  return node;
}

// The value `name` of `node`, or nothing (REG_NONE) when the key lacks it.
RegValue FindValueOf(Hive& hive, Node node, std::u16string_view name) {
  if (!node) return {};
  for (Node value : Values(hive, node))
    if (CompareKeyNames(ValueName(hive, value), name) == 0) return CheckValue(hive, value);
  return {};
}

// A string value's text up to its end or its first NUL, as Windows hands it out.
bool StringOf(const RegValue& value, std::u16string& text) {
  if (value.type != REG_SZ && value.type != REG_EXPAND_SZ) return false;
  text.clear();
  for (std::size_t i = 0; i + 1 < value.data.size(); i += 2) {
    const auto c = static_cast<char16_t>(value.data[i] | value.data[i + 1] << 8);
    if (c == 0) break;
    text += c;
  }
  return true;
}

const std::u16string* Variable(const MachineFacts& facts, std::u16string_view name) {
  const std::u16string wanted = FoldKeyName(name);
  for (auto it = facts.variables.rbegin(); it != facts.variables.rend(); ++it)
    if (FoldKeyName(it->first) == wanted) return &it->second;
  return nullptr;
}

// %name% references replaced by the variables known so far; unknown ones stay as written.
std::u16string Expand(std::u16string_view text, const MachineFacts& facts) {
  std::u16string out;
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t close = text[i] == u'%' ? text.find(u'%', i + 1) : std::u16string_view::npos;
    if (close == std::u16string_view::npos) {
      out += text[i++];
      continue;
    }
    if (const std::u16string* value = Variable(facts, text.substr(i + 1, close - i - 1))) {
      out += *value;
      i = close + 1;
    } else {
      out += text.substr(i, close - i);
      i = close;
    }
  }
  return out;
}

UINT CodePageOf(const RegValue& value) {
  std::u16string text;
  if (!StringOf(value, text) || text.empty() || text.size() > 5) return 0;
  UINT page = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') return 0;
    page = page * 10 + (c - u'0');
  }
  return page <= 65535 ? page : 0;
}

void SoftwareFacts(Hive& hive, Node root, MachineFacts& facts) {
  std::u16string text;
  const Node windows = FindPath(hive, root, {u"Microsoft", u"Windows", u"CurrentVersion"});
  if (StringOf(FindValueOf(hive, windows, u"ProgramFilesDir"), text))
    facts.variables.emplace_back(u"ProgramFiles", text);
  if (StringOf(FindValueOf(hive, windows, u"CommonFilesDir"), text))
    facts.variables.emplace_back(u"CommonProgramFiles", text);
  const Node nt = FindPath(hive, root, {u"Microsoft", u"Windows NT", u"CurrentVersion"});
  if (StringOf(FindValueOf(hive, nt, u"SystemRoot"), text)) {
    facts.variables.emplace_back(u"SystemRoot", text);
    facts.variables.emplace_back(u"windir", text);
    if (text.size() >= 2 && text[1] == u':')
      facts.variables.emplace_back(u"SystemDrive", text.substr(0, 2));
  }
}

void SystemFacts(Hive& hive, Node root, MachineFacts& facts) {
  const RegValue current = FindValueOf(hive, FindPath(hive, root, {u"Select"}), u"Current");
  if (current.type != REG_DWORD || current.data.size() != 4) return;
  const std::string number = std::to_string(Le32(current.data.data()));
  std::u16string name = u"ControlSet";
  for (std::size_t i = number.size(); i < 3; ++i) name += u'0';
  for (char c : number) name += static_cast<char16_t>(c);
  const Node set = FindChild(hive, root, name);
  if (!set) Fail("the current control set " + Utf16ToUtf8(name) + " is missing");
  hive.trail.push_back(name);
  const Node pages = FindPath(hive, set, {u"Control", u"Nls", u"CodePage"});
  facts.acp = CodePageOf(FindValueOf(hive, pages, u"ACP"));
  facts.oemcp = CodePageOf(FindValueOf(hive, pages, u"OEMCP"));
  const Node env = FindPath(hive, set, {u"Control", u"Session Manager", u"Environment"});
  if (env) {
    for (const std::u16string_view part : {u"Control", u"Session Manager", u"Environment"})
      hive.trail.emplace_back(part);
    std::u16string text;
    for (Node value : Values(hive, env)) {
      const RegValue read = CheckValue(hive, value);
      if (!StringOf(read, text)) continue;
      if (read.type == REG_EXPAND_SZ) text = Expand(text, facts);
      facts.variables.emplace_back(read.name, text);
    }
  }
  hive.trail.clear();
}

enum class HiveKind { Software, System, UserProfile, UserClasses };

struct Opened {
  std::shared_ptr<Hive> hive;
  HiveKind kind = HiveKind::UserClasses;
  Node root = 0;
  Node classes = 0;  // 0: the hive holds no classes
  std::vector<std::u16string> classesTrail;  // where they lie, for messages
};

Opened OpenKind(const std::string& path) {
  Opened o;
  o.hive = OpenHive(path);
  Hive& hive = *o.hive;
  o.root = hive.root;
  const Node classes = FindChild(hive, o.root, u"Classes");
  if (classes && FindChild(hive, o.root, u"Microsoft")) {
    o.kind = HiveKind::Software;
    o.classes = classes;
    o.classesTrail = {u"Classes"};
  } else if (!classes && FindChild(hive, o.root, u"Select")) {
    o.kind = HiveKind::System;
  } else if (const Node software = FindChild(hive, o.root, u"Software")) {
    o.kind = HiveKind::UserProfile;
    hive.trail = {u"Software"};
    o.classes = FindChild(hive, software, u"Classes");
    hive.trail.clear();
    o.classesTrail = {u"Software", u"Classes"};
  } else {
    o.classes = o.root;
  }
  return o;
}

void FactsOf(Opened& o, MachineFacts& facts) {
  o.hive->trail.clear();
  if (o.kind == HiveKind::Software) SoftwareFacts(*o.hive, o.root, facts);
  if (o.kind == HiveKind::System) SystemFacts(*o.hive, o.root, facts);
}

// The classes: checked whole now, read key by key when the scan looks into them.
void ClassesOf(Opened& o, RegKey& classes) {
  if (!o.classes) return;
  o.hive->trail = o.classesTrail;
  o.hive->unsorted.clear();
  CheckTree(*o.hive, o.classes, 0);
  std::sort(o.hive->unsorted.begin(), o.hive->unsorted.end());
  o.hive->trail.clear();
  o.hive->children = {};
  o.hive->names = {};
  o.hive->name = {};
  o.hive->previous = {};
  std::make_shared<HiveFiller>(o.hive)->Fill(classes, o.classes);
}

// `drive`'s hive `name` (Windows/System32/config/<name> in any letter case), or "".
std::string DriveHive(const std::string& drive, const char* name) {
  std::string path = drive;
  for (const char* part : {"Windows", "System32", "config", name}) {
    std::string found;
    struct stat info {};
    if (DIR* dir = opendir(path.c_str())) {
      while (const dirent* entry = readdir(dir))
        if (strcasecmp(entry->d_name, part) == 0 &&
            (found.empty() || std::strcmp(entry->d_name, part) == 0))
          found = path + "/" + entry->d_name;
      closedir(dir);
    }
    if (found.empty() || stat(found.c_str(), &info) != 0) return "";
    path = found;
  }
  return path;
}

template <typename Body>
LSTATUS Guard(const std::string& path, std::string& error, Body body) {
  try {
    body();
    return ERROR_SUCCESS;
  } catch (const HiveError& e) {
    error = path + ": " + e.problem;
    return e.status;
  } catch (const std::bad_alloc&) {
    error = path + ": the hive does not fit in memory";
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

// The SOFTWARE and SYSTEM hives of `drive`, with the facts of both.
LSTATUS ReadDrive(const std::string& drive, MachineFacts& facts, RegKey* classes,
                  std::string& error) {
  const std::string software = DriveHive(drive, "SOFTWARE");
  const std::string system = DriveHive(drive, "SYSTEM");
  if (software.empty() || system.empty()) {
    error = drive + ": the folder holds no Windows/System32/config/" +
            (software.empty() ? "SOFTWARE" : "SYSTEM") + " hive";
    return ERROR_FILE_NOT_FOUND;
  }
  MachineFacts found;
  std::vector<std::shared_ptr<Hive>> read;
  LSTATUS status = Guard(software, error, [&] {
    Opened o = OpenKind(software);
    if (o.kind != HiveKind::Software) Fail("the hive is no SOFTWARE hive (no Classes and Microsoft keys)");
    FactsOf(o, found);
    if (classes) ClassesOf(o, *classes);
    read.push_back(o.hive);
  });
  if (status == ERROR_SUCCESS) status = Guard(system, error, [&] {
    Opened o = OpenKind(system);
    if (o.kind != HiveKind::System) Fail("the hive is no SYSTEM hive (no Select key)");
    FactsOf(o, found);
    read.push_back(o.hive);
  });
  if (status != ERROR_SUCCESS) {
    if (classes) *classes = RegKey{};
    return status;
  }
  if (!classes) Kept().insert(Kept().end(), read.begin(), read.end());
  facts.variables.insert(facts.variables.end(), found.variables.begin(), found.variables.end());
  if (found.acp) facts.acp = found.acp;
  if (found.oemcp) facts.oemcp = found.oemcp;
  return ERROR_SUCCESS;
}

}  // namespace

LSTATUS LoadHiveClasses(const std::string& path, RegKey& classes, std::string& error) {
  classes = RegKey{};
  const LSTATUS status = Guard(path, error, [&] {
    Opened o = OpenKind(path);
    // The facts come from the same file: a damaged part there fails the load too, so that
    // no source is read in part without a word.
    MachineFacts ignored;
    FactsOf(o, ignored);
    ClassesOf(o, classes);
  });
  if (status != ERROR_SUCCESS) classes = RegKey{};
  return status;
}

LSTATUS LoadSystemDriveClasses(const std::string& drive, RegKey& classes, std::string& error) {
  classes = RegKey{};
  MachineFacts ignored;
  return ReadDrive(drive, ignored, &classes, error);
}

LSTATUS ReadHiveFacts(const std::string& path, MachineFacts& facts, std::string& error) {
  MachineFacts found;
  const LSTATUS status = Guard(path, error, [&] {
    Opened o = OpenKind(path);
    FactsOf(o, found);
    Kept().push_back(o.hive);
  });
  if (status != ERROR_SUCCESS) return status;
  facts.variables.insert(facts.variables.end(), found.variables.begin(), found.variables.end());
  if (found.acp) facts.acp = found.acp;
  if (found.oemcp) facts.oemcp = found.oemcp;
  return ERROR_SUCCESS;
}

LSTATUS ReadSystemDriveFacts(const std::string& drive, MachineFacts& facts, std::string& error) {
  return ReadDrive(drive, facts, nullptr, error);
}

}  // namespace tavplat
