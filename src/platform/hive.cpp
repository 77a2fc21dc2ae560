#include "hive.h"

#include <dirent.h>
#include <fcntl.h>
#include <hivex.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "codepage.h"

namespace tavplat {

namespace {

// Windows nests keys at most 512 deep; a deeper key, or a loop of keys, is damage.
constexpr std::size_t kMaxDepth = 512;
// The regf header: a 4 KiB block, then the bins it counts.
constexpr std::size_t kHeaderSize = 0x1000;

struct HiveError {
  LSTATUS status;
  std::string problem;
};

[[noreturn]] void Fail(std::string problem, LSTATUS status = ERROR_BADDB) {
  throw HiveError{status, std::move(problem)};
}

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, FreeDeleter>;

std::uint32_t Le32(const unsigned char* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint16_t Le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

// One open hive file.
struct Hive {
  std::string path;
  hive_h* h = nullptr;
  int fd = -1;  // for the few reads that libhivex does not offer
  std::size_t size = 0;
  // Value bytes read so far: sound hives store each value once, so more than the file holds
  // means keys share their values, which could make a small file fill the memory.
  std::size_t dataRead = 0;
  // The names from the hive's root down to the key being read, for messages.
  std::vector<std::u16string> trail;

  Hive() = default;
  Hive(const Hive&) = delete;
  Hive& operator=(const Hive&) = delete;
  ~Hive() {
    if (h) hivex_close(h);
    if (fd >= 0) close(fd);
  }
};

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

std::string Where(const Hive& hive) {
  std::u16string path;
  for (const std::u16string& name : hive.trail) {
    if (!path.empty()) path += u'\\';
    path += name;
  }
  return path.empty() ? "the root key" : "the key " + Shown(path);
}

// What libhivex's error codes mean for a hive it reads.
std::string Reason(int err) {
  switch (err) {
    case EFAULT: return "an offset points to no cell";
    case EINVAL: return "a cell is not of the kind expected there";
    case ENOTSUP: return "a record of an unknown kind or with wrong counts";
    case ERANGE: return "a count beyond libhivex's limits";
    case 0: return "damaged";
    default: return std::strerror(err);
  }
}

// Exactly `n` bytes at `offset`, or the hive is cut short.
void ReadAt(const Hive& hive, std::size_t offset, unsigned char* buffer, std::size_t n) {
  if (offset > hive.size || n > hive.size - offset ||
      pread(hive.fd, buffer, n, static_cast<off_t>(offset)) != static_cast<ssize_t>(n))
    Fail(Where(hive) + " points outside the file");
}

// Opens `path` after checking what libhivex passes over: a file cut short at the end of a bin
// would otherwise read as a smaller, sound hive.
std::unique_ptr<Hive> OpenHive(const std::string& path) {
  auto hive = std::make_unique<Hive>();
  hive->path = path;
  hive->fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (hive->fd < 0 || fstat(hive->fd, &info) != 0)
    Fail("cannot open the hive file: " + Reason(errno), ERROR_FILE_NOT_FOUND);
  if (!S_ISREG(info.st_mode)) Fail("the hive is not a file", ERROR_FILE_NOT_FOUND);
  hive->size = static_cast<std::size_t>(info.st_size);
  std::array<unsigned char, kHeaderSize> header{};
  if (hive->size < 2 * kHeaderSize ||
      pread(hive->fd, header.data(), header.size(), 0) != static_cast<ssize_t>(header.size()))
    Fail("the hive file is truncated: " + std::to_string(hive->size) +
         " bytes, less than a header and one bin");
  if (std::memcmp(header.data(), "regf", 4) != 0) Fail("the file is not a hive (no regf magic)");
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < 0x1FC; i += 4) sum ^= Le32(&header[i]);
  if (sum != Le32(&header[0x1FC])) Fail("the hive header's checksum is wrong");
  const std::size_t bins = Le32(&header[0x28]);
  if (bins > hive->size - kHeaderSize)
    Fail("the hive file is truncated: its header counts " + std::to_string(bins) +
         " bytes of bins, the file holds " + std::to_string(hive->size - kHeaderSize));
  // libhivex traces to standard error when HIVEX_DEBUG=1; the run must print nothing of it.
  const char* debug = std::getenv("HIVEX_DEBUG");
  const std::string saved = debug ? debug : "";
  if (debug) unsetenv("HIVEX_DEBUG");
  errno = 0;
  hive->h = hivex_open(path.c_str(), 0);
  const int err = errno;
  if (debug) setenv("HIVEX_DEBUG", saved.c_str(), 1);
  if (!hive->h) Fail("the hive's bins are damaged (" + Reason(err) + ")");
  return hive;
}

// A name as the hive stores it, Latin-1 or UTF-16LE, for the rare name that libhivex cannot
// give as UTF-8 (an unpaired surrogate): Windows accepts those, so they are read all the same.
std::u16string RawName(const Hive& hive, std::size_t cell, std::size_t lengthAt, std::size_t at,
                       std::size_t flagsAt, unsigned compressed) {
  std::array<unsigned char, 2> field{};
  ReadAt(hive, cell + lengthAt, field.data(), 2);
  const std::size_t length = Le16(field.data());
  ReadAt(hive, cell + flagsAt, field.data(), 2);
  const bool latin1 = Le16(field.data()) & compressed;
  std::vector<unsigned char> bytes(length);
  ReadAt(hive, cell + at, bytes.data(), length);
  std::u16string name;
  if (latin1)
    for (unsigned char b : bytes) name += static_cast<char16_t>(b);
  else
    for (std::size_t i = 0; i + 1 < length; i += 2) name += static_cast<char16_t>(Le16(&bytes[i]));
  return name;
}

std::u16string KeyName(const Hive& hive, hive_node_h node) {
  Owned<char> name(hivex_node_name(hive.h, node));
  if (name) return Utf8ToUtf16(name.get());
  if (hivex_node_struct_length(hive.h, node) == 0)
    Fail(Where(hive) + " has a damaged subkey (" + Reason(errno) + ")");
  return RawName(hive, node, 0x4C, 0x50, 0x06, 0x20);
}

std::u16string ValueName(const Hive& hive, hive_value_h value) {
  Owned<char> name(hivex_value_key(hive.h, value));
  if (name) return Utf8ToUtf16(name.get());
  if (hivex_value_struct_length(hive.h, value) == 0)
    Fail(Where(hive) + " has a damaged value (" + Reason(errno) + ")");
  return RawName(hive, value, 0x06, 0x18, 0x14, 0x01);
}

std::vector<hive_node_h> Children(const Hive& hive, hive_node_h node) {
  errno = 0;
  Owned<hive_node_h> list(hivex_node_children(hive.h, node));
  if (!list) {
    if (errno == ERANGE)
      Fail(Where(hive) + " has more subkeys than libhivex reads (" + Reason(errno) + ")");
    Fail("the subkey list of " + Where(hive) + " is damaged (" + Reason(errno) + ")");
  }
  std::vector<hive_node_h> children;
  for (const hive_node_h* p = list.get(); *p; ++p) children.push_back(*p);
  return children;
}

// A value over one cell is kept in pieces (a "db" record and its list of cells);
// libhivex reads as many list entries as the record counts without checking that the list
// holds them, so the list's size is checked here first.
void CheckPieces(const Hive& hive, hive_value_h value, std::size_t length) {
  std::size_t cellLength = 0;
  const hive_value_h cell = hivex_value_data_cell_offset(hive.h, value, &cellLength);
  if (!cell) return;  // inline data, or an offset libhivex refuses itself
  std::array<unsigned char, 12> head{};
  ReadAt(hive, cell, head.data(), head.size());
  const std::size_t room = 0u - Le32(head.data());  // a used cell's size is negative
  if (room >= 4 && length <= room - 4) return;
  if (std::memcmp(&head[4], "db", 2) != 0) return;  // libhivex rejects it
  const std::size_t pieces = Le16(&head[6]);
  std::array<unsigned char, 4> size{};
  ReadAt(hive, kHeaderSize + Le32(&head[8]), size.data(), size.size());
  const std::size_t listRoom = 0u - Le32(size.data());
  if (listRoom < 4 || (listRoom - 4) / 4 < pieces)
    Fail("the list of pieces of a long value of " + Where(hive) + " is cut short");
}

std::vector<hive_value_h> Values(const Hive& hive, hive_node_h node) {
  errno = 0;
  Owned<hive_value_h> list(hivex_node_values(hive.h, node));
  if (!list) Fail("the value list of " + Where(hive) + " is damaged (" + Reason(errno) + ")");
  std::vector<hive_value_h> values;
  for (const hive_value_h* p = list.get(); *p; ++p) values.push_back(*p);
  return values;
}

RegValue ReadValue(Hive& hive, hive_value_h value) {
  RegValue result;
  result.name = ValueName(hive, value);
  // Built only on failure: a hive holds a million values.
  const auto fail = [&](const std::string& problem) {
    Fail("the value \"" + Shown(result.name) + "\" of " + Where(hive) + problem);
  };
  hive_type type{};
  std::size_t declared = 0;
  if (hivex_value_type(hive.h, value, &type, &declared) != 0)
    fail(" is damaged (" + Reason(errno) + ")");
  if (declared > hive.size) fail(" is longer than the file");
  if (declared > 4) CheckPieces(hive, value, declared);
  std::size_t length = 0;
  errno = 0;
  Owned<char> data(hivex_value_value(hive.h, value, &type, &length));
  if (!data) fail(" cannot be read (" + Reason(errno) + ")");
  if (length != declared) fail(" has fewer bytes than it declares");
  hive.dataRead += length;
  if (hive.dataRead > hive.size) fail(" shares its data with other keys");
  // A value's type is any 32-bit number (devices' properties use 0xFFFF0000 and up), but
  // hive_type names only the standard ones, and loading another number as one is undefined:
  // the number is taken from its bytes.
  static_assert(sizeof type == sizeof result.type);
  std::memcpy(&result.type, &type, sizeof result.type);
  result.data.assign(data.get(), data.get() + length);
  return result;
}

// Reads the values of the key at `node` into `key` and creates its subkeys by name, each
// listed in `subkeys` with its node for the caller to read (now, or when first needed).
void ReadKey(Hive& hive, hive_node_h node, RegKey& key,
             std::vector<std::pair<RegKey*, hive_node_h>>& subkeys) {
  for (hive_value_h value : Values(hive, node)) {
    RegValue read = ReadValue(hive, value);
    if (FindValue(key, read.name))
      Fail(Where(hive) + " has two values named \"" + Shown(read.name) + "\"");
    SetValue(key, std::move(read));
  }
  for (hive_node_h child : Children(hive, node)) {
    // Each key names its parent: a key listed under another one is a loop or a shared key.
    if (hivex_node_parent(hive.h, child) != node)
      Fail(Where(hive) + " lists a subkey that belongs to another key");
    const std::u16string name = KeyName(hive, child);
    if (FindSubkey(key, name))
      Fail(Where(hive) + " has two subkeys named \"" + Shown(name) + "\"");
    subkeys.emplace_back(&MakeSubkey(key, name), child);
  }
}

void ReadTree(Hive& hive, hive_node_h node, RegKey& key, std::size_t depth) {
  std::vector<std::pair<RegKey*, hive_node_h>> subkeys;
  ReadKey(hive, node, key, subkeys);
  for (auto [sub, child] : subkeys) {
    hive.trail.push_back(sub->name);
    if (depth == kMaxDepth)
      Fail(Where(hive).substr(0, 200) + "... lies more than " + std::to_string(kMaxDepth) +
           " levels below the classes, deeper than Windows nests keys");
    ReadTree(hive, child, *sub, depth + 1);
    hive.trail.pop_back();
  }
}

// The subkey `name` (any letter case) of `node`, or 0.
hive_node_h FindChild(Hive& hive, hive_node_h node, std::u16string_view name) {
  const std::u16string wanted = FoldKeyName(name);
  for (hive_node_h child : Children(hive, node))
    if (FoldKeyName(KeyName(hive, child)) == wanted) return child;
  return 0;
}

hive_node_h FindPath(Hive& hive, hive_node_h node, std::initializer_list<std::u16string_view> path) {
  const std::size_t depth = hive.trail.size();
  for (std::u16string_view name : path) {
    if (node) node = FindChild(hive, node, name);
    hive.trail.emplace_back(name);
  }
  hive.trail.resize(depth);
  return node;
}

// The value `name` of `node`, or nothing (REG_NONE) when the key lacks it.
RegValue FindValueOf(Hive& hive, hive_node_h node, std::u16string_view name) {
  if (!node) return {};
  const std::u16string wanted = FoldKeyName(name);
  for (hive_value_h value : Values(hive, node))
    if (FoldKeyName(ValueName(hive, value)) == wanted) return ReadValue(hive, value);
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

void SoftwareFacts(Hive& hive, hive_node_h root, MachineFacts& facts) {
  std::u16string text;
  const hive_node_h windows = FindPath(hive, root, {u"Microsoft", u"Windows", u"CurrentVersion"});
  if (StringOf(FindValueOf(hive, windows, u"ProgramFilesDir"), text))
    facts.variables.emplace_back(u"ProgramFiles", text);
  if (StringOf(FindValueOf(hive, windows, u"CommonFilesDir"), text))
    facts.variables.emplace_back(u"CommonProgramFiles", text);
  const hive_node_h nt = FindPath(hive, root, {u"Microsoft", u"Windows NT", u"CurrentVersion"});
  if (StringOf(FindValueOf(hive, nt, u"SystemRoot"), text)) {
    facts.variables.emplace_back(u"SystemRoot", text);
    facts.variables.emplace_back(u"windir", text);
    if (text.size() >= 2 && text[1] == u':')
      facts.variables.emplace_back(u"SystemDrive", text.substr(0, 2));
  }
}

void SystemFacts(Hive& hive, hive_node_h root, MachineFacts& facts) {
  const RegValue current = FindValueOf(hive, FindPath(hive, root, {u"Select"}), u"Current");
  if (current.type != REG_DWORD || current.data.size() != 4) return;
  const std::string number = std::to_string(Le32(current.data.data()));
  std::u16string name = u"ControlSet";
  for (std::size_t i = number.size(); i < 3; ++i) name += u'0';
  for (char c : number) name += static_cast<char16_t>(c);
  const hive_node_h set = FindChild(hive, root, name);
  if (!set) Fail("the current control set " + Utf16ToUtf8(name) + " is missing");
  hive.trail.push_back(name);
  const hive_node_h pages = FindPath(hive, set, {u"Control", u"Nls", u"CodePage"});
  facts.acp = CodePageOf(FindValueOf(hive, pages, u"ACP"));
  facts.oemcp = CodePageOf(FindValueOf(hive, pages, u"OEMCP"));
  const hive_node_h env = FindPath(hive, set, {u"Control", u"Session Manager", u"Environment"});
  if (env) {
    for (const std::u16string_view part : {u"Control", u"Session Manager", u"Environment"})
      hive.trail.emplace_back(part);
    std::u16string text;
    for (hive_value_h value : Values(hive, env)) {
      const RegValue read = ReadValue(hive, value);
      if (!StringOf(read, text)) continue;
      if (read.type == REG_EXPAND_SZ) text = Expand(text, facts);
      facts.variables.emplace_back(read.name, text);
    }
  }
  hive.trail.clear();
}

enum class HiveKind { Software, System, UserProfile, UserClasses };

struct Opened {
  std::unique_ptr<Hive> hive;
  HiveKind kind = HiveKind::UserClasses;
  hive_node_h root = 0;
  hive_node_h classes = 0;  // 0: the hive holds no classes
  std::vector<std::u16string> classesTrail;  // where they lie, for messages
};

Opened OpenKind(const std::string& path) {
  Opened o;
  o.hive = OpenHive(path);
  Hive& hive = *o.hive;
  o.root = hivex_root(hive.h);
  if (!o.root) Fail("the hive has no root key");
  const hive_node_h classes = FindChild(hive, o.root, u"Classes");
  if (classes && FindChild(hive, o.root, u"Microsoft")) {
    o.kind = HiveKind::Software;
    o.classes = classes;
    o.classesTrail = {u"Classes"};
  } else if (!classes && FindChild(hive, o.root, u"Select")) {
    o.kind = HiveKind::System;
  } else if (const hive_node_h software = FindChild(hive, o.root, u"Software")) {
    o.kind = HiveKind::UserProfile;
    o.classes = FindChild(hive, software, u"Classes");
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

void ClassesOf(Opened& o, RegKey& classes) {
  if (!o.classes) return;
  o.hive->trail = o.classesTrail;
  ReadTree(*o.hive, o.classes, classes, 0);
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
  LSTATUS status = Guard(software, error, [&] {
    Opened o = OpenKind(software);
    if (o.kind != HiveKind::Software) Fail("the hive is no SOFTWARE hive (no Classes and Microsoft keys)");
    FactsOf(o, found);
    if (classes) ClassesOf(o, *classes);
  });
  if (status == ERROR_SUCCESS) status = Guard(system, error, [&] {
    Opened o = OpenKind(system);
    if (o.kind != HiveKind::System) Fail("the hive is no SYSTEM hive (no Select key)");
    FactsOf(o, found);
  });
  if (status != ERROR_SUCCESS) {
    if (classes) *classes = RegKey{};
    return status;
  }
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
