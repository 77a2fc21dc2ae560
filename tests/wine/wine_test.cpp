// Tavdump.exe under Wine beside the Linux build, over the shared case folders: the same
// output on the same registry, restores that re-create the backed-up keys and add nothing,
// and output failures on the real platform.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "Process.h"

namespace {

namespace fs = std::filesystem;
using namespace tavtest;
using Strings = std::vector<std::string>;
using Files = std::map<std::string, std::string>;
// A prefix's registry files: the lines (time stamps left out) of each lower-cased section.
using Registry = std::map<std::string, std::set<std::string>>;
// Keys (with an empty name) and values that differ between two registries.
using Changes = std::set<std::pair<std::string, std::string>>;

const fs::path Work = TAVDUMP_WINE_WORK_DIR, Cases = TAVDUMP_CASES_DIR;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

Strings Lines(const std::string& text) {
  Strings lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line); lines.push_back(line))
    if (line.ends_with('\r')) line.pop_back();
  return lines;
}

ProcessSpec Spec(const std::string& binary, const Strings& args, const Strings& env,
                 const fs::path& dir, int timeout = 180) {
  ProcessSpec spec;
  spec.Binary = binary, spec.Args = args, spec.Env = env, spec.WorkDir = dir;
  spec.TimeoutSeconds = timeout;
  return spec;
}

fs::path Fresh(const fs::path& dir) {
  RemoveTree(dir);
  fs::create_directories(dir);
  return dir;
}

Files FilesIn(const fs::path& dir) {
  Files files;
  std::error_code missing;
  for (const auto& entry : fs::recursive_directory_iterator(dir, missing))
    if (!entry.is_symlink() && entry.is_regular_file())
      files[entry.path().lexically_relative(dir)] = ReadFileBytes(entry.path());
  return files;
}

std::string WinePath(const fs::path& path) {
  std::string text = "Z:" + path.string();
  std::replace(text.begin(), text.end(), '/', '\\');
  return text;
}

// A prefix, with the environment of every Wine program run in it. After the first boot,
// sessions skip wineboot's start of services and desktop, which neither the tool nor the
// restore tools need and which would cost seconds per prefix.
struct Prefix {
  fs::path Dir;
  Strings Env;
  ProcessResult Run(const std::string& binary, const Strings& args, const fs::path& dir) const {
    return RunProcess(Spec(binary, args, Env, dir, 600));
  }
  ProcessResult Wine(const Strings& args, const fs::path& dir) const { return Run(TAVDUMP_WINE, args, dir); }
  // Ends the server, which writes the registry files, and removes the socket folder that
  // Debian's Wine names in the prefix and leaves in /tmp.
  void End() const {
    Run(TAVDUMP_WINESERVER, {"-k"}, Work);
    std::string name = ReadFileBytes(Dir / "wineserver");
    while (name.ends_with('\n')) name.pop_back();
    if (!name.empty() && name.find('/') == std::string::npos) RemoveTree(fs::path("/tmp") / name);
  }
};

Prefix MakePrefix(const fs::path& dir, const Strings& extra) {
  Prefix prefix{dir, {"PATH=/usr/local/bin:/usr/bin:/bin", "HOME=" + (Work / "home").string(),
                      "WINEARCH=win64", "WINEDEBUG=-all", "WINEDLLOVERRIDES=wineboot.exe=d",
                      "WINEPREFIX=" + dir.string(), "LANG=C.UTF-8"}};
  for (const std::string& line : extra)
    line.starts_with('-') ? UnsetEnv(prefix.Env, line.substr(1))
                          : SetEnv(prefix.Env, line.substr(0, line.find('=')), line.substr(line.find('=') + 1));
  return prefix;
}

Registry ReadRegistry(const fs::path& dir) {
  Registry registry;
  for (const std::string file : {"system.reg", "user.reg"}) {
    std::string section = file;
    for (const std::string& line : Lines(ReadFileBytes(dir / file))) {
      if (line.starts_with('['))
        registry[section = file + Lower(line.substr(0, line.rfind(']') + 1))];
      else if (!line.empty() && !line.starts_with("#time="))
        registry[section].insert(line);
    }
  }
  return registry;
}

Changes Diff(const Registry& one, const Registry& other) {
  Changes changes;
  for (const auto& [from, to] : {std::pair{&one, &other}, std::pair{&other, &one}}) {
    for (const auto& [section, lines] : *from) {
      const auto there = to->find(section);
      if (there == to->end()) changes.insert({section, ""});
      for (const std::string& line : lines) {
        if (there != to->end() && there->second.count(line)) continue;
        std::size_t end = line.starts_with('"') ? 1 : line.find('=');
        while (line.starts_with('"') && end < line.size() && line[end] != '"') end += line[end] == '\\' ? 2 : 1;
        changes.insert({section, Lower(line.substr(0, end))});
      }
    }
  }
  return changes;
}

// Whether a section of a registry file belongs to one of the classes `keys`.
bool Under(const std::string& section, const std::set<std::string>& keys) {
  const std::string name = section.substr(section.find('['));
  return std::any_of(keys.begin(), keys.end(), [&name](const std::string& key) {
    const std::string top = "[software\\\\classes\\\\" + key;
    return name.starts_with(top + "]") || name.starts_with(top + "\\\\");
  });
}

std::set<std::string> DriveC(const fs::path& prefix) {
  std::set<std::string> paths;
  for (const auto& entry : fs::recursive_directory_iterator(prefix / "drive_c"))
    paths.insert(entry.path().lexically_relative(prefix));
  return paths;
}

// A booted prefix for one Unix locale, and what the Linux build needs to stand beside it.
struct Locale {
  Prefix Pristine;
  Strings LinuxEnv;  // the prefix's environment and code pages
  Registry Keys;
  std::set<std::string> Drive;
  std::string Error;

  // A copy whose files are hard links, which Wine only reads, except the registry files,
  // which it rewrites in place, and from which the classes `drop` are left out: those that
  // a fresh prefix holds already (Wine's own) then come back only through a restore.
  // Its server runs from here on unless `serve` is false.
  Prefix Copy(const fs::path& dir, const Strings& extra, const std::set<std::string>& drop = {},
              bool serve = true) const {
    const Prefix copy = MakePrefix(dir, extra);
    RemoveTree(dir);
    EXPECT_EQ(RunProcess(Spec("/bin/cp", {"-al", Pristine.Dir, dir}, {}, Work)).ExitCode, 0);
    fs::remove(dir / "wineserver");
    for (const std::string file : {"system.reg", "user.reg", "userdef.reg"}) {
      fs::remove(dir / file);
      std::ofstream out(dir / file, std::ios::binary);
      for (bool skip = false; const std::string& line : Lines(ReadFileBytes(Pristine.Dir / file))) {
        if (line.starts_with('[')) skip = Under(Lower(line), drop);
        if (!skip) out << line << "\n";
      }
    }
    if (serve) copy.Run(TAVDUMP_WINESERVER, {"-p"}, Work);
    return copy;
  }
};

// A query of a new server can come back empty while Wine is still starting: it is tried
// again before the prefix counts as broken.
std::string Query(const Prefix& prefix, const Strings& args) {
  ProcessResult result;
  for (int attempt = 0; attempt < 3 && result.Stdout.empty(); ++attempt) result = prefix.Wine(args, Work);
  return result.ExitCode == 0 ? result.Stdout : "";
}

const Locale& LocaleOf(const std::string& lang) {
  static std::map<std::string, Locale> locales;
  auto [it, fresh] = locales.try_emplace(lang);
  Locale& locale = it->second;
  if (!fresh) return locale;
  const Prefix& prefix = locale.Pristine = MakePrefix(Work / ("pristine-" + lang), {"LANG=" + lang});
  fs::create_directories(Work / "home");
  RemoveTree(prefix.Dir);
  Prefix boot = prefix;
  SetEnv(boot.Env, "WINEDLLOVERRIDES", "");
  const ProcessResult made = boot.Run(TAVDUMP_WINEBOOT, {"-i"}, Work);
  boot.Run(TAVDUMP_WINESERVER, {"-w"}, Work);
  boot.End();
  prefix.Run(TAVDUMP_WINESERVER, {"-p"}, Work);
  for (const std::string& line : Lines(Query(prefix, {"cmd", "/c", "set"})))
    if (line.find('=') != std::string::npos && !line.starts_with('=')) locale.LinuxEnv.push_back(line);
  for (const std::string name : {"ACP", "OEMCP"}) {
    std::istringstream words(
        Query(prefix, {"reg", "query", "HKLM\\System\\CurrentControlSet\\Control\\Nls\\CodePage", "/v", name}));
    std::string word, last, page;
    for (; words >> word; last = word)
      if (last == "REG_SZ") page = word;
    SetEnv(locale.LinuxEnv, "TAVDUMP_" + name, page);
    if (page.empty()) locale.Error = "no code page " + name + " in " + lang + ": " + Describe({"-i"}, made);
  }
  prefix.End();
  locale.Keys = ReadRegistry(prefix.Dir);
  locale.Drive = DriveC(prefix.Dir);
  return locale;
}

std::string Summary(const ProcessResult& run, const Files& files) {
  std::string text = "exit " + std::to_string(run.ExitCode) + "\nstdout " + Visible(run.Stdout) +
                     "\nstderr " + Visible(run.Stderr) + "\n";
  for (const auto& [name, bytes] : files) text += name + " " + Visible(bytes) + "\n";
  return text;
}

// The classes named in a REG file that Tavdump wrote (names may hold "]", never "\").
std::set<std::string> KeysOfReg(const std::string& reg) {
  std::set<std::string> keys;
  for (const std::string& line : Lines(reg))
    if (line.starts_with("[HKEY_CLASSES_ROOT\\") && line.ends_with(']'))
      keys.insert(Lower(line.substr(19, std::min(line.find('\\', 19), line.size() - 1) - 19)));
  return keys;
}

class WineCase : public ::testing::TestWithParam<std::string> {};

// The case's registry imported into a prefix, Tavdump.exe there and the Linux build over
// the same registry in the prefix's surroundings say, end and write the same (Wine's files
// may be given in wine-expected/). Each file written then restores into a fresh prefix
// where Tavdump.exe writes the same again (or wine-restored/<file>), and which differs
// from the pristine prefix only in keys and values that the source held, and no file.
TEST_P(WineCase, SameOutputAndExactRestore) {
  const fs::path dir = Cases / GetParam(), registry = dir / "registry.reg", root = Fresh(Work / "case");
  Strings args, wine = Lines(ReadFileBytes(dir / "wine"));
  std::istringstream lines(ReadFileBytes(dir / "args"));
  for (std::string arg; std::getline(lines, arg);) args.push_back(arg);
  if (!wine.empty() && wine[0].starts_with("skip:")) GTEST_SKIP() << wine[0];
  std::string lang = "C.UTF-8";
  for (const std::string& line : wine)
    if (line.starts_with("LANG=")) lang = line.substr(5);
  const Locale& locale = LocaleOf(lang);
  ASSERT_EQ(locale.Error, "");
  const Prefix source = locale.Copy(root / "source", wine);
  if (fs::exists(registry)) source.Wine({"regedit", "/s", WinePath(registry)}, root);
  Strings exe = args;
  exe.insert(exe.begin(), TAVDUMP_WINDOWS_EXE);
  const ProcessResult windows = source.Wine(exe, Fresh(root / "wine"));
  const Files written = FilesIn(root / "wine");
  std::string reg;
  for (const auto& [name, bytes] : written)
    if (Lower(name).ends_with(".reg")) reg = bytes;
  if (reg.empty() && !written.empty()) {
    source.Wine({TAVDUMP_WINDOWS_EXE, args.at(0), "keys.reg"}, Fresh(root / "keys"));
    reg = ReadFileBytes(root / "keys" / "keys.reg");
  }
  Files expected = written;
  for (const auto& [name, bytes] : FilesIn(dir / "wine-expected"))
    EXPECT_TRUE(SameBytes("Wine's " + name, bytes, expected[name]));
  // The prefix holds the pristine registry and the case's. The Linux build takes the
  // case's file for it, unless there is none or the two builds differ over it; then the
  // prefix's export.
  auto linuxOver = [&](const fs::path& file) {
    Strings env = locale.LinuxEnv;
    SetEnv(env, "TAVDUMP_REGISTRY", file);
    const ProcessResult run = RunProcess(Spec(TAVDUMP_BINARY, args, env, Fresh(root / "linux")));
    Files files = FilesIn(root / "linux");
    for (const auto& [name, bytes] : FilesIn(dir / "wine-expected")) files[name] = bytes;
    return Summary(run, files);
  };
  std::string linux = fs::exists(registry) ? linuxOver(registry) : "";
  if (linux != Summary(windows, written)) {
    source.Wine({"regedit", "/e", WinePath(root / "classes.reg"), "HKEY_CLASSES_ROOT"}, root);
    linux = linuxOver(root / "classes.reg");
  }
  source.End();
  ASSERT_TRUE(SameBytes("Wine's run, then the Linux build's", Summary(windows, written), linux));

  const std::set<std::string> keys = KeysOfReg(reg);
  Changes allowed = Diff(locale.Keys, ReadRegistry(source.Dir));
  for (const auto& [name, bytes] : written) {
    SCOPED_TRACE("restoring " + name);
    const Prefix target = locale.Copy(root / "target", wine, keys);
    const Registry before = ReadRegistry(target.Dir);
    allowed.merge(Diff(locale.Keys, before));
    const fs::path backup = Fresh(root / "backup") / name;
    std::ofstream(backup, std::ios::binary) << bytes;
    const std::map<std::string, Strings> tools = {
        {".cmd", {"cmd", "/c", name}},
        {".reg", {"regedit", "/s", WinePath(backup)}},
        {".inf", {"rundll32", "setupapi.dll,InstallHinfSection", "DefaultInstall", "128", WinePath(backup)}}};
    const Strings& tool = tools.at(Lower(fs::path(name).extension()));
    const ProcessResult restore = target.Wine(tool, backup.parent_path());
    EXPECT_EQ(restore.ExitCode, 0) << Describe(tool, restore);
    const ProcessResult again = target.Wine(exe, Fresh(root / "again"));
    target.End();
    if (fs::exists(dir / "wine-restored" / name)) expected[name] = ReadFileBytes(dir / "wine-restored" / name);
    EXPECT_TRUE(SameBytes("the run after the restore", Summary(windows, expected),
                          Summary(again, FilesIn(root / "again"))));
    EXPECT_EQ(FilesIn(backup.parent_path()).size(), 1u) << "the restore wrote beside the backup";
    for (const std::string& path : DriveC(target.Dir))
      EXPECT_TRUE(locale.Drive.count(path)) << "the restore made " << path;
    // The script and the INF file write a missing description or icon as an empty one;
    // Wine registers its display and monitor again when a program (rundll32) opens a window.
    const Registry after = ReadRegistry(target.Dir);
    auto held = [&allowed](const std::string& key) {
      return std::any_of(allowed.begin(), allowed.end(), [&key](const auto& change) {
        return change.first == key + "]" || change.first.starts_with(key + "\\\\");
      });
    };
    for (const auto& [section, value] : Diff(before, after)) {
      const std::string key = section.substr(0, section.size() - 1);
      const bool empty = value.size() < 2 && after.count(section) && after.at(section).count("@=\"\"") &&
                         (held(key) || (key.ends_with("\\\\defaulticon") && held(key.substr(0, key.size() - 13))));
      EXPECT_TRUE(allowed.count({section, value}) || empty ||
                  section.starts_with("system.reg[system\\\\currentcontrolset\\\\control\\\\class\\\\"))
          << "the restore changed " << section << " " << value;
    }
  }
}

Strings CaseNames() {
  Strings names;
  for (const auto& entry : fs::directory_iterator(Cases)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

INSTANTIATE_TEST_SUITE_P(Cases, WineCase, ::testing::ValuesIn(CaseNames()), [](const auto& info) {
  std::string name = info.param;
  std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
  return name;
});

// A missing folder, a read-only file and a full device end Tavdump.exe with the banner,
// the report with the system's message (as the end-to-end cases pin the Linux build's),
// exit code 1 and nothing written. Wine lets root write to a read-only file, so as root it
// runs as another user in a namespace of its own, with the prefix's server, which opens
// the files.
TEST(WineFailures, OutputFileCannotBeWritten) {
  const Locale& locale = LocaleOf("C.UTF-8");
  ASSERT_EQ(locale.Error, "");
  const fs::path root = Fresh(Work / "failures");
  const Prefix prefix = locale.Copy(root / "prefix", {}, {}, false);
  const std::pair<std::string, std::string> rows[] = {
      {"missing\\out.cmd", "Invalid filename."}, {"locked.reg", "File access denied."}, {"full.inf", "I/O error 112."}};
  std::string script = TAVDUMP_WINESERVER " -p\n";
  for (const auto& [file, message] : rows) {
    const fs::path dir = Fresh(root / file.substr(0, 4) / "dir");
    if (file == "locked.reg") std::ofstream(dir / file) << "before\r\n", chmod((dir / file).c_str(), 0444);
    if (file == "full.inf") fs::create_symlink("/dev/full", dir / file);
    script += "cd '" + dir.string() + "' && " TAVDUMP_WINE " " TAVDUMP_WINDOWS_EXE " notepad.exe '" + file +
              "' >../out 2>../err; echo $? >../rc\n";
  }
  Strings shell = {"/bin/sh", "-c", script + TAVDUMP_WINESERVER " -k\n"};
  if (geteuid() == 0) shell.insert(shell.begin(), {TAVDUMP_UNSHARE, "--user", "--map-user=4242", "--map-group=4242", "--"});
  const ProcessResult ran = prefix.Run(shell[0], Strings(shell.begin() + 1, shell.end()), root);
  prefix.End();
  ASSERT_EQ(ran.ExitCode, 0) << Describe(shell, ran);
  for (const auto& [file, message] : rows) {
    const fs::path dir = root / file.substr(0, 4);
    std::string said = ReadFileBytes(dir / "rc") + ReadFileBytes(dir / "out") + ReadFileBytes(dir / "err");
    const std::size_t at = said.find(" at ", said.find("module Tavdump.exe"));
    if (at != std::string::npos) said.replace(at, 12, " at ########");
    EXPECT_TRUE(said.starts_with("1\nTavdump v0.1 beta\r\n") &&
                said.ends_with(".org/tavdump\r\n\r\nException EInOutError in module Tavdump.exe at ########.\r\n" +
                               message + "\r\n\r\n"))
        << Visible(said);
    EXPECT_EQ(FilesIn(dir / "dir"), (file == "locked.reg" ? Files{{file, "before\r\n"}} : Files{}));
  }
}

}  // namespace
