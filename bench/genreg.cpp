// Writes a registry with a given number of HKEY_CLASSES_ROOT subkeys, for timing tavdump
// on large registries: a third file types with open commands, a third extensions naming
// them, a third other keys; optionally a CLSID key with many classes below it, as a real
// machine has, which the scan never reads.
//
//   genreg KIND N FILE [CLASSES]
//
// KIND is the file written: `export` (a REGEDIT4 export of HKEY_CLASSES_ROOT), `wine` (a
// Wine system.reg, the classes under Software\Classes) or `hive` (a SOFTWARE hive, the
// classes under Classes). CLASSES (default 0) adds CLSID\{...} keys, each with an
// InprocServer32 subkey: two keys per class.
//
// File type i (Type000000, ...) opens with "C:\Program Files\Vendor<i mod 100>\app<i>.exe"
// "%1", except types 0 to 2, which belong to "C:\Program Files\Bench\bench.exe". Every
// command contains "Program Files\" and none starts with it, so that path makes the scan
// fall back to the contains pass with every file type matching.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

struct Value {
  std::string name;  // "" is the default value
  std::string text;
};

// Receives the keys depth first, subkeys in the order Windows sorts them.
struct Sink {
  virtual ~Sink() = default;
  virtual void Enter(const std::string& name, const std::vector<Value>& values) = 0;
  virtual void Leave() = 0;
  void Leaf(const std::string& name, const std::vector<Value>& values) {
    Enter(name, values);
    Leave();
  }
};

std::string Numbered(const char* format, long i) {
  char text[64];
  std::snprintf(text, sizeof text, format, i);
  return text;
}

void FileType(Sink& s, long i) {
  std::string program = "C:\\Program Files\\Bench\\bench.exe";
  if (i >= 3)
    program = "C:\\Program Files\\Vendor" + Numbered("%02ld", i % 100) + "\\" +
              Numbered("app%06ld", i) + ".exe";
  s.Enter(Numbered("Type%06ld", i), {{"", "Document " + std::to_string(i)}});
  s.Leaf("DefaultIcon", {{"", program + ",0"}});
  s.Enter("shell", {});
  s.Enter("open", {});
  s.Leaf("command", {{"", "\"" + program + "\" \"%1\""}});
  s.Leave(), s.Leave(), s.Leave();
}

// The root keys in Windows' order: .e... < CLSID < Other... < Type...
void Classes(Sink& s, long total, long classes) {
  const long third = total / 3, types = total - 2 * third;
  for (long i = 0; i < third; ++i) s.Leaf(Numbered(".e%06ld", i), {{"", Numbered("Type%06ld", i)}});
  if (classes > 0) {
    s.Enter("CLSID", {});
    for (long i = 0; i < classes; ++i) {
      s.Enter(Numbered("{00000000-0000-0000-0000-%012lX}", i), {{"", "Class " + std::to_string(i)}});
      s.Leaf("InprocServer32", {{"", Numbered("C:\\Windows\\System32\\class%ld.dll", i)},
                                {"ThreadingModel", "Both"}});
      s.Leave();
    }
    s.Leave();
  }
  for (long i = 0; i < third; ++i) s.Leaf(Numbered("Other%06ld", i), {{"", "Other key " + std::to_string(i)}});
  for (long i = 0; i < types; ++i) FileType(s, i);
}

std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

// Export and Wine file: a section for each key that has values.
struct TextSink : Sink {
  std::ofstream& out;
  bool wine;
  std::vector<std::string> path;
  TextSink(std::ofstream& o, bool w) : out(o), wine(w) {}
  void Enter(const std::string& name, const std::vector<Value>& values) override {
    path.push_back(name);
    if (values.empty()) return;
    out << (wine ? "[Software\\\\Classes" : "[HKEY_CLASSES_ROOT");
    for (const std::string& n : path) out << (wine ? "\\\\" : "\\") << n;
    out << (wine ? "] 1700000000\n#time=1d9a0b0c0d0e0f0\n" : "]\r\n");
    for (const Value& v : values)
      out << (v.name.empty() ? "@" : "\"" + Escaped(v.name) + "\"") << "=\"" << Escaped(v.text)
          << (wine ? "\"\n" : "\"\r\n");
    out << (wine ? "\n" : "\r\n");
  }
  void Leave() override { path.pop_back(); }
};

// A SOFTWARE hive written in one go: cells are laid out in an image of the hive bins as the
// keys come, and each key's subkey list and counts are filled in when it is left.
struct HiveSink : Sink {
  std::vector<char> bins;  // the hive bins; offsets count from their start
  std::size_t binStart = 0, binEnd = 0;
  struct Open {
    std::uint32_t nk;
    std::vector<std::pair<std::uint32_t, std::string>> subkeys;
    std::uint32_t longest = 0;
  };
  std::vector<Open> stack;
  std::uint32_t sk = 0, root = 0;

  void Put32(std::uint32_t at, std::uint32_t v) { std::memcpy(&bins[at], &v, 4); }
  void Put16(std::uint32_t at, std::uint16_t v) { std::memcpy(&bins[at], &v, 2); }

  // A used cell of `size` data bytes; returns the offset of its data's start minus 4.
  std::uint32_t Cell(std::size_t size) {
    const std::size_t cell = (size + 4 + 7) / 8 * 8;
    if (bins.size() + cell > binEnd) {
      if (bins.size() < binEnd) {  // the rest of the bin becomes one free cell
        const auto rest = static_cast<std::uint32_t>(binEnd - bins.size());
        const std::size_t at = bins.size();
        bins.resize(binEnd);
        Put32(static_cast<std::uint32_t>(at), rest);
      }
      binStart = bins.size();
      const std::size_t binSize = (cell + 32 + 4095) / 4096 * 4096;
      binEnd = binStart + binSize;
      bins.resize(binStart + 32);
      std::memcpy(&bins[binStart], "hbin", 4);
      Put32(static_cast<std::uint32_t>(binStart + 4), static_cast<std::uint32_t>(binStart));
      Put32(static_cast<std::uint32_t>(binStart + 8), static_cast<std::uint32_t>(binSize));
    }
    const auto at = static_cast<std::uint32_t>(bins.size());
    bins.resize(bins.size() + cell);
    Put32(at, static_cast<std::uint32_t>(-static_cast<std::int32_t>(cell)));
    return at;
  }

  std::vector<char> Utf16(const std::string& text) {
    std::vector<char> out;
    for (char c : text) out.push_back(c), out.push_back(0);
    out.push_back(0), out.push_back(0);
    return out;
  }

  std::uint32_t ValueCell(const Value& v) {
    const std::uint32_t vk = Cell(20 + v.name.size());
    std::memcpy(&bins[vk + 4], "vk", 2);
    Put16(vk + 6, static_cast<std::uint16_t>(v.name.size()));
    const std::vector<char> data = Utf16(v.text);
    if (data.size() <= 4) {  // small data lies in the offset field
      Put32(vk + 8, static_cast<std::uint32_t>(data.size()) | 0x80000000u);
      std::memcpy(&bins[vk + 12], data.data(), data.size());
    } else {
      Put32(vk + 8, static_cast<std::uint32_t>(data.size()));
      const std::uint32_t cell = Cell(data.size());
      std::memcpy(&bins[cell + 4], data.data(), data.size());
      Put32(vk + 12, cell);
    }
    Put32(vk + 16, 1);  // REG_SZ
    Put16(vk + 20, v.name.empty() ? 0 : 1);  // the name is ASCII
    std::memcpy(&bins[vk + 24], v.name.data(), v.name.size());
    return vk;
  }

  void Enter(const std::string& name, const std::vector<Value>& values) override {
    if (!sk) {  // one security descriptor for every key: owner and group Administrators
      static const unsigned char sd[] = {1, 0, 4, 0x80, 20, 0, 0, 0, 36, 0, 0, 0, 0, 0, 0, 0,
                                         0, 0, 0, 0, 1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0,
                                         32, 2, 0, 0, 1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0,
                                         32, 2, 0, 0};
      sk = Cell(20 + sizeof sd);
      std::memcpy(&bins[sk + 4], "sk", 2);
      Put32(sk + 8, sk), Put32(sk + 12, sk), Put32(sk + 16, 0);
      Put32(sk + 20, sizeof sd);
      std::memcpy(&bins[sk + 24], sd, sizeof sd);
    }
    const std::uint32_t nk = Cell(76 + name.size());
    std::memcpy(&bins[nk + 4], "nk", 2);
    Put16(nk + 6, stack.empty() ? 0x2C : 0x20);  // root flags; ASCII name
    Put32(nk + 20, stack.empty() ? 0 : stack.back().nk);
    Put32(nk + 36, 0xFFFFFFFFu);  // no volatile subkeys
    Put32(nk + 48, sk);
    Put32(nk + 52, 0xFFFFFFFFu);  // no class
    Put16(nk + 76, static_cast<std::uint16_t>(name.size()));
    std::memcpy(&bins[nk + 80], name.data(), name.size());
    Put32(sk + 16, static_cast<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(&bins[sk + 16]) + 1));
    std::uint32_t longestName = 0, longestData = 0;
    std::vector<std::uint32_t> vks;
    for (const Value& v : values) {
      vks.push_back(ValueCell(v));
      longestName = std::max<std::uint32_t>(longestName, static_cast<std::uint32_t>(2 * v.name.size()));
      longestData = std::max<std::uint32_t>(longestData, static_cast<std::uint32_t>(2 * v.text.size() + 2));
    }
    Put32(nk + 40, static_cast<std::uint32_t>(vks.size()));
    Put32(nk + 44, 0xFFFFFFFFu);
    if (!vks.empty()) {
      const std::uint32_t list = Cell(4 * vks.size());
      for (std::size_t i = 0; i < vks.size(); ++i) Put32(static_cast<std::uint32_t>(list + 4 + 4 * i), vks[i]);
      Put32(nk + 44, list);
    }
    Put32(nk + 64, longestName), Put32(nk + 68, longestData);
    if (!stack.empty()) {
      stack.back().subkeys.emplace_back(nk, name);
      stack.back().longest = std::max<std::uint32_t>(stack.back().longest, static_cast<std::uint32_t>(2 * name.size()));
    } else {
      root = nk;
    }
    stack.push_back({nk, {}, 0});
  }

  // An lf list of subkeys [from, to): offset and the name's first four characters.
  std::uint32_t Leaves(const Open& key, std::size_t from, std::size_t to) {
    const std::uint32_t lf = Cell(4 + 8 * (to - from));
    std::memcpy(&bins[lf + 4], "lf", 2);
    Put16(lf + 6, static_cast<std::uint16_t>(to - from));
    for (std::size_t i = from; i < to; ++i) {
      const auto at = static_cast<std::uint32_t>(lf + 8 + 8 * (i - from));
      Put32(at, key.subkeys[i].first);
      char hint[4] = {};
      std::memcpy(hint, key.subkeys[i].second.data(), std::min<std::size_t>(4, key.subkeys[i].second.size()));
      std::memcpy(&bins[at + 4], hint, 4);
    }
    return lf;
  }

  void Leave() override {
    Open key = std::move(stack.back());
    stack.pop_back();
    const std::size_t n = key.subkeys.size();
    Put32(key.nk + 24, static_cast<std::uint32_t>(n));
    Put32(key.nk + 32, 0xFFFFFFFFu);
    Put32(key.nk + 56, key.longest);
    if (n == 0) return;
    constexpr std::size_t kPerList = 1000;  // more than this: an ri index of lf lists
    if (n <= kPerList) {
      Put32(key.nk + 32, Leaves(key, 0, n));
      return;
    }
    std::vector<std::uint32_t> lists;
    for (std::size_t from = 0; from < n; from += kPerList) lists.push_back(Leaves(key, from, std::min(n, from + kPerList)));
    const std::uint32_t ri = Cell(4 + 4 * lists.size());
    std::memcpy(&bins[ri + 4], "ri", 2);
    Put16(ri + 6, static_cast<std::uint16_t>(lists.size()));
    for (std::size_t i = 0; i < lists.size(); ++i) Put32(static_cast<std::uint32_t>(ri + 8 + 4 * i), lists[i]);
    Put32(key.nk + 32, ri);
  }

  void Write(std::ofstream& out) {
    if (bins.size() < binEnd) {  // the rest of the last bin is free
      const auto at = static_cast<std::uint32_t>(bins.size());
      bins.resize(binEnd);
      Put32(at, static_cast<std::uint32_t>(binEnd - at));
    }
    std::vector<char> base(4096, 0);
    auto put = [&](std::size_t at, std::uint32_t v) { std::memcpy(&base[at], &v, 4); };
    std::memcpy(base.data(), "regf", 4);
    put(4, 1), put(8, 1), put(20, 1), put(24, 5), put(28, 0), put(32, 1);
    put(36, root), put(40, static_cast<std::uint32_t>(bins.size())), put(44, 1);
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < 508; i += 4) sum ^= *reinterpret_cast<std::uint32_t*>(&base[i]);
    put(508, sum);
    out.write(base.data(), 4096);
    out.write(bins.data(), static_cast<std::streamsize>(bins.size()));
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::cerr << "usage: genreg export|wine|hive N FILE [CLASSES]\n";
    return 2;
  }
  const std::string kind = argv[1];
  const long total = std::strtol(argv[2], nullptr, 10);
  const long classes = argc == 5 ? std::strtol(argv[4], nullptr, 10) : 0;
  if (total < 3 || (kind != "export" && kind != "wine" && kind != "hive")) {
    std::cerr << "genreg: KIND is export, wine or hive, and N at least 3\n";
    return 2;
  }
  std::ofstream out(argv[3], std::ios::binary);
  if (kind == "hive") {
    HiveSink hive;
    hive.Enter("ROOT", {});
    hive.Enter("Classes", {});
    Classes(hive, total, classes);
    hive.Leave();
    // A root with Classes and Microsoft is what a reader takes for a SOFTWARE hive.
    hive.Enter("Microsoft", {});
    hive.Leave(), hive.Leave();
    hive.Write(out);
  } else {
    out << (kind == "wine" ? "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n\n"
                           : "REGEDIT4\r\n\r\n");
    TextSink text(out, kind == "wine");
    Classes(text, total, classes);
  }
  out.flush();
  if (!out) {
    std::cerr << "genreg: cannot write " << argv[3] << "\n";
    return 1;
  }
  return 0;
}
