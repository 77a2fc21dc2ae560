// Writes a SOFTWARE hive whose Classes key holds the keys of genreg's export with the same
// N, for timing tavdump on hive files: a third file types with a description, an icon and
// an open command, a third extensions naming them, a third other keys.
//
//   genhive N FILE
//
// The records are written directly, as Windows lays them out: 4 KiB bins (larger for a
// cell that needs it), one security record shared by every key, names kept as Latin-1,
// subkey lists sorted by upper-cased name, in lh lists of at most 500 entries and, when a
// key has more, behind an index of lists (ri). Everything is built in memory and written
// at once: N = 1,000,000 makes a file of about 400 MB.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kBin = 0x1000;
constexpr std::uint32_t kNone = 0xFFFFFFFF;
constexpr std::size_t kListMax = 500;

std::vector<unsigned char> out(kBin);  // the header first; cells follow in bins
std::size_t binStart = 0, binEnd = 0;  // the open bin
std::uint32_t sk = 0;
std::uint32_t keys = 0;

void Put32(std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + i] = static_cast<unsigned char>(v >> (8 * i));
}
void Put16(std::size_t at, std::uint16_t v) {
  out[at] = static_cast<unsigned char>(v);
  out[at + 1] = static_cast<unsigned char>(v >> 8);
}

void OpenBin(std::size_t size) {
  binStart = out.size();
  binEnd = binStart + size;
  out.resize(binEnd);
  std::memcpy(&out[binStart], "hbin", 4);
  Put32(binStart + 4, static_cast<std::uint32_t>(binStart - kBin));
  Put32(binStart + 8, static_cast<std::uint32_t>(size));
  Put32(binStart + 0x20, static_cast<std::uint32_t>(size - 0x20));  // one free cell
}

std::size_t freeAt = 0;  // where the free cell at the end of the open bin starts

// A used cell with room for `payload` bytes; returns its offset from the first bin.
std::uint32_t Cell(std::size_t payload) {
  const std::size_t size = (payload + 4 + 7) / 8 * 8;
  if (binEnd == 0 || size > binEnd - freeAt) {
    OpenBin(std::max(kBin, (size + 0x20 + kBin - 1) / kBin * kBin));
    freeAt = binStart + 0x20;
  }
  const std::size_t at = freeAt;
  freeAt += size;
  Put32(at, static_cast<std::uint32_t>(0u - size));
  if (freeAt < binEnd) Put32(freeAt, static_cast<std::uint32_t>(binEnd - freeAt));
  return static_cast<std::uint32_t>(at - kBin);
}

unsigned char* At(std::uint32_t cell) { return &out[kBin + cell + 4]; }

struct Value {
  std::string data;  // REG_SZ text, ASCII
};

struct Key {
  std::string name;
  std::vector<Value> values;  // default values only
  std::vector<Key> subkeys;   // sorted
};

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::uint32_t Hash(const std::string& name) {
  std::uint32_t h = 0;
  for (char c : Upper(name)) h = h * 37 + static_cast<unsigned char>(c);
  return h;
}

// Writes `key` with everything below it; returns its record's offset.
std::uint32_t Write(const Key& key, std::uint32_t parent, bool root) {
  const std::uint32_t nk = Cell(0x4C + key.name.size());
  ++keys;
  std::uint32_t valueList = kNone;
  std::size_t longestData = 0;
  if (!key.values.empty()) {
    std::vector<std::uint32_t> vks;
    for (const Value& v : key.values) {
      std::string utf16;
      for (char c : v.data + '\0') utf16 += {c, '\0'};
      longestData = std::max(longestData, utf16.size());
      const std::uint32_t data = Cell(utf16.size());
      std::memcpy(At(data), utf16.data(), utf16.size());
      const std::uint32_t vk = Cell(0x14);
      std::memcpy(At(vk), "vk", 2);
      Put32(kBin + vk + 4 + 4, static_cast<std::uint32_t>(utf16.size()));
      Put32(kBin + vk + 4 + 8, data);
      Put32(kBin + vk + 4 + 0xC, 1);  // REG_SZ
      vks.push_back(vk);
    }
    valueList = Cell(4 * vks.size());
    for (std::size_t i = 0; i < vks.size(); ++i) Put32(kBin + valueList + 4 + 4 * i, vks[i]);
  }
  std::vector<std::uint32_t> children;
  std::size_t longestName = 0;
  for (const Key& sub : key.subkeys) {
    children.push_back(Write(sub, nk, false));
    longestName = std::max(longestName, sub.name.size() * 2);
  }
  std::uint32_t subkeyList = kNone;
  if (!children.empty()) {
    std::vector<std::uint32_t> lists;
    for (std::size_t first = 0; first < children.size(); first += kListMax) {
      const std::size_t n = std::min(kListMax, children.size() - first);
      const std::uint32_t lh = Cell(4 + 8 * n);
      std::memcpy(At(lh), "lh", 2);
      Put16(kBin + lh + 4 + 2, static_cast<std::uint16_t>(n));
      for (std::size_t i = 0; i < n; ++i) {
        Put32(kBin + lh + 4 + 4 + 8 * i, children[first + i]);
        Put32(kBin + lh + 4 + 8 + 8 * i, Hash(key.subkeys[first + i].name));
      }
      lists.push_back(lh);
    }
    subkeyList = lists[0];
    if (lists.size() > 1) {
      subkeyList = Cell(4 + 4 * lists.size());
      std::memcpy(At(subkeyList), "ri", 2);
      Put16(kBin + subkeyList + 4 + 2, static_cast<std::uint16_t>(lists.size()));
      for (std::size_t i = 0; i < lists.size(); ++i)
        Put32(kBin + subkeyList + 4 + 4 + 4 * i, lists[i]);
    }
  }
  const std::size_t p = kBin + nk + 4;
  std::memcpy(&out[p], "nk", 2);
  Put16(p + 0x02, root ? 0x2C : 0x20);  // the root's flags, a name kept as Latin-1
  Put32(p + 0x10, parent);
  Put32(p + 0x14, static_cast<std::uint32_t>(children.size()));
  Put32(p + 0x1C, subkeyList);
  Put32(p + 0x20, kNone);
  Put32(p + 0x24, static_cast<std::uint32_t>(key.values.size()));
  Put32(p + 0x28, valueList);
  Put32(p + 0x2C, sk);
  Put32(p + 0x30, kNone);
  Put32(p + 0x34, static_cast<std::uint32_t>(longestName));
  Put32(p + 0x40, static_cast<std::uint32_t>(longestData));
  Put16(p + 0x48, static_cast<std::uint16_t>(key.name.size()));
  std::memcpy(&out[p + 0x4C], key.name.data(), key.name.size());
  return nk;
}

std::string Numbered(const char* prefix, long i) {
  char text[32];
  std::snprintf(text, sizeof text, "%s%06ld", prefix, i);
  return text;
}

// File type i as genreg writes it.
Key FileType(long i) {
  std::string program;
  if (i < 3) {
    program = "C:\\Program Files\\Bench\\bench.exe";
  } else {
    char vendor[16];
    std::snprintf(vendor, sizeof vendor, "%02ld", i % 100);
    program = std::string("C:\\Program Files\\Vendor") + vendor + "\\" + Numbered("app", i) + ".exe";
  }
  Key command{"command", {{"\"" + program + "\" \"%1\""}}, {}};
  Key open{"open", {}, {command}};
  Key shell{"shell", {}, {open}};
  Key icon{"DefaultIcon", {{program + ",0"}}, {}};
  return {Numbered("Type", i), {{"Document " + std::to_string(i)}}, {icon, shell}};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: genhive N FILE\n";
    return 2;
  }
  const long total = std::strtol(argv[1], nullptr, 10);
  if (total < 3) {
    std::cerr << "genhive: N must be at least 3\n";
    return 2;
  }
  const long third = total / 3;
  const long types = total - 2 * third;
  Key classes{"Classes", {}, {}};
  // Sorted as Windows sorts them: '.' before 'O' before 'T', the numbers in order.
  for (long i = 0; i < third; ++i) classes.subkeys.push_back({Numbered(".e", i), {{Numbered("Type", i)}}, {}});
  for (long i = 0; i < third; ++i)
    classes.subkeys.push_back({Numbered("Other", i), {{"Other key " + std::to_string(i)}}, {}});
  for (long i = 0; i < types; ++i) classes.subkeys.push_back(FileType(i));
  const Key root{"ROOT", {}, {classes, Key{"Microsoft", {}, {}}}};

  // The one security record, its list pointing at itself.
  sk = Cell(0x14 + 20);
  std::memcpy(At(sk), "sk", 2);
  Put32(kBin + sk + 4 + 4, sk);
  Put32(kBin + sk + 4 + 8, sk);
  Put32(kBin + sk + 4 + 0x10, 20);
  const unsigned char descriptor[4] = {1, 0, 4, 0x80};  // self-relative, nothing else
  std::memcpy(At(sk) + 0x14, descriptor, 4);
  const std::uint32_t rootAt = Write(root, 0, true);
  Put32(kBin + sk + 4 + 0xC, keys);  // every key refers to it

  std::memcpy(&out[0], "regf", 4);
  Put32(0x04, 1);  // sequence numbers, equal: written cleanly
  Put32(0x08, 1);
  Put32(0x14, 1);  // version 1.5
  Put32(0x18, 5);
  Put32(0x20, 1);
  Put32(0x24, rootAt);
  Put32(0x28, static_cast<std::uint32_t>(out.size() - kBin));
  Put32(0x2C, 1);
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < 0x1FC; i += 4)
    sum ^= out[i] | out[i + 1] << 8 | out[i + 2] << 16 | static_cast<std::uint32_t>(out[i + 3]) << 24;
  Put32(0x1FC, sum);
  std::ofstream file(argv[2], std::ios::binary);
  file.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
  if (!file.flush()) {
    std::cerr << "genhive: cannot write " << argv[2] << "\n";
    return 1;
  }
  return 0;
}
