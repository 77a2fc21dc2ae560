// Tavdump.exe under Wine beside the Linux build, over the shared case folders: the same
// output on the same registry, restores that re-create exactly the backed-up keys and add
// nothing else, and output failures on the real platform.
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
using Files = std::map<std::string, std::string>;
// A registry file of a prefix: its lines (without time stamps) by lower-cased section.
using Registry = std::map<std::string, std::set<std::string>>;
using Changes = std::set<std::pair<std::string, std::string>>;

const fs::path Work = TAVDUMP_WINE_WORK_DIR;
const fs::path Cases = TAVDUMP_CASES_DIR;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line); lines.push_back(line))
    if (line.ends_with('\r')) line.pop_back();
  return lines;
}

ProcessSpec Spec(const std::string& binary, const std::vector<std::string>& args,
                 const std::vector<std::string>& env = {}, const fs::path& dir = {}, int timeout = 180) {
  ProcessSpec spec;
  spec.Binary = binary, spec.Args = args, spec.Env = env, spec.WorkDir = dir, spec.TimeoutSeconds = timeout;
  return spec;
}

fs::path Fresh(const fs::path& dir) {
  RemoveTree(dir);
  fs::create_directories(dir);
  return dir;
}

Files FilesIn(const fs::path& dir) {
  Files files;
  if (!fs::exists(dir)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(dir))
    if (!entry.is_symlink() && entry.is_regular_file())
      files[entry.path().lexically_relative(dir).string()] = ReadFileBytes(entry.path());
  return files;
}

std::string WinePath(const fs::path& path) {
  std::string text = "Z:" + path.string();
  std::replace(text.begin(), text.end(), '/', '\\');
  return text;
}

// A prefix and the environment of every Wine program run there. The prefix is booted
// once; later sessions skip wineboot's session start (services, desktop), which the tool
// and the restore tools do not need and which costs seconds per prefix.
struct Prefix {
  fs::path Dir;
  std::vector<std::string> Env;
  ProcessSpec Spec(const std::string& binary, const std::vector<std::string>& args,
                   const fs::path& dir, int timeout = 180) const {
    return ::Spec(binary, args, Env, dir, timeout);
  }
  ProcessResult Wine(const std::vector<std::string>& args, const fs::path& dir) const {
    return RunProcess(Spec(TAVDUMP_WINE, args, dir));
  }
  ProcessResult Server(const std::string& arg) const {
    return RunProcess(Spec(TAVDUMP_WINESERVER, {arg}, Work, 60));
  }
  // Ends the server, which writes the registry files, and removes its socket folder,
  // which Debian's Wine names in the prefix and leaves in /tmp.
  void End() const {
    Server("-k");
    std::string name = ReadFileBytes(Dir / "wineserver");
    while (name.ends_with('\n')) name.pop_back();
    if (!name.empty() && name.find('/') == std::string::npos) RemoveTree(fs::path("/tmp") / name);
  }
};

Prefix MakePrefix(const fs::path& dir, const std::string& lang,
                  const std::vector<std::string>& extra = {}) {
  Prefix prefix{dir, {"PATH=/usr/local/bin:/usr/bin:/bin", "HOME=" + (Work / "home").string(),
                      "WINEARCH=win64", "WINEDEBUG=-all", "WINEDLLOVERRIDES=wineboot.exe=d",
                      "WINEPREFIX=" + dir.string(), "LANG=" + lang}};
  for (const std::string& line : extra)
    line.starts_with('-') ? UnsetEnv(prefix.Env, line.substr(1))
                          : SetEnv(prefix.Env, line.substr(0, line.find('=')),
                                   line.substr(line.find('=') + 1));
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

// What differs between two states of the registry: each key added or removed, and the
// name of each value added, removed or changed.
Changes Diff(const Registry& before, const Registry& after) {
  Changes changes;
  auto compare = [&changes](const Registry& from, const Registry& to) {
    for (const auto& [section, lines] : from) {
      const auto other = to.find(section);
      if (other == to.end()) changes.insert({section, ""});
      for (const std::string& line : lines) {
        if (other != to.end() && other->second.count(line)) continue;
        std::size_t end = line.starts_with('"') ? 1 : line.find('=');
        while (line.starts_with('"') && end < line.size() && line[end] != '"') end += line[end] == '\\' ? 2 : 1;
        changes.insert({section, Lower(line.substr(0, end))});
      }
    }
  };
  compare(before, after);
  compare(after, before);
  return changes;
}

std::set<std::string> DriveC(const fs::path& prefix) {
  std::set<std::string> paths;
  for (const auto& entry : fs::recursive_directory_iterator(prefix / "drive_c"))
    paths.insert(entry.path().lexically_relative(prefix).string());
  return paths;
}

// A copy of `pristine`: the files are hard links, which Wine only reads, except the
// registry files, which it rewrites in place.
std::string CopyPrefix(const fs::path& pristine, const Prefix& copy) {
  RemoveTree(copy.Dir);
  const ProcessResult cp = RunProcess(Spec("/bin/cp", {"-al", pristine, copy.Dir}));
  if (cp.ExitCode != 0) return Describe({"cp"}, cp);
  std::error_code error;
  fs::remove(copy.Dir / "wineserver", error);
  for (const char* file : {"system.reg", "user.reg", "userdef.reg"}) {
    fs::remove(copy.Dir / file, error);
    fs::copy_file(pristine / file, copy.Dir / file, error);
  }
  return error ? "copying the registry: " + error.message() : "";
}

// A booted prefix for one Unix locale, with what the Linux build needs to stand beside it.
struct Locale {
  Prefix Pristine;
  std::vector<std::string> LinuxEnv;  // its environment and code pages
  fs::path Export;                    // its HKEY_CLASSES_ROOT
  Registry Keys;
  std::set<std::string> Drive;
  std::string Error;
};

// A query of a freshly started server can come back empty while Wine is still starting:
// it is tried again before the prefix counts as broken.
std::string Query(const Prefix& prefix, const std::vector<std::string>& args) {
  ProcessResult result;
  for (int attempt = 0; attempt < 3 && result.Stdout.empty(); ++attempt)
    result = prefix.Wine(args, Work);
  return result.ExitCode == 0 ? result.Stdout : "";
}

Locale& LocaleOf(const std::string& lang) {
  static std::map<std::string, Locale> locales;
  auto [it, fresh] = locales.try_emplace(lang);
  Locale& locale = it->second;
  if (!fresh) return locale;
  locale.Pristine = MakePrefix(Work / ("pristine-" + lang), lang);
  locale.Export = Work / ("classes-" + lang + ".reg");
  Prefix boot = locale.Pristine;
  SetEnv(boot.Env, "WINEDLLOVERRIDES", "");
  RemoveTree(boot.Dir);
  fs::create_directories(Work / "home");
  const ProcessResult made = RunProcess(boot.Spec(TAVDUMP_WINEBOOT, {"-i"}, Work, 600));
  RunProcess(boot.Spec(TAVDUMP_WINESERVER, {"-w"}, Work, 600));
  boot.End();
  if (!fs::exists(boot.Dir / "system.reg"))
    return locale.Error = "wineboot made no prefix: " + Describe({"-i"}, made), locale;
  const Prefix& pristine = locale.Pristine;
  pristine.Server("-p");
  for (const std::string& line : Lines(Query(pristine, {"cmd", "/c", "set"})))
    if (line.find('=') != std::string::npos && !line.starts_with('=')) locale.LinuxEnv.push_back(line);
  for (const std::string name : {"ACP", "OEMCP"}) {
    std::istringstream words(Query(
        pristine, {"reg", "query", "HKLM\\System\\CurrentControlSet\\Control\\Nls\\CodePage", "/v", name}));
    std::string word, last, page;
    for (; words >> word; last = word)
      if (last == "REG_SZ") page = word;
    if (page.empty()) locale.Error = "no code page " + name + " in the prefix of " + lang;
    SetEnv(locale.LinuxEnv, "TAVDUMP_" + name, page);
  }
  pristine.Wine({"regedit", "/e", WinePath(locale.Export), "HKEY_CLASSES_ROOT"}, Work);
  pristine.End();
  if (!fs::exists(locale.Export)) locale.Error = "regedit exported nothing in " + lang;
  if (locale.LinuxEnv.size() < 10) locale.Error = "cmd /c set listed no environment in " + lang;
  locale.Keys = ReadRegistry(pristine.Dir);
  locale.Drive = DriveC(pristine.Dir);
  return locale;
}

ProcessResult RunLinux(const Locale& locale, const std::vector<std::string>& args,
                       const fs::path& dir, const fs::path& registry) {
  std::vector<std::string> env = locale.LinuxEnv;
  SetEnv(env, "TAVDUMP_REGISTRY", registry.string());
  return RunProcess(Spec(TAVDUMP_BINARY, args, env, Fresh(dir)));
}

std::string Summary(const std::string& build, const ProcessResult& run, const Files& files) {
  std::string text = build + " exit " + std::to_string(run.ExitCode) + "\nstdout " +
                     Visible(run.Stdout) + "\nstderr " + Visible(run.Stderr) + "\n";
  for (const auto& [name, bytes] : files) text += name + " " + Visible(bytes) + "\n";
  return text;
}

// The top-level keys named in a REG file that Tavdump wrote.
std::set<std::string> KeysOfReg(const std::string& reg) {
  std::set<std::string> keys;
  for (const std::string& line : Lines(reg))
    if (line.starts_with("[HKEY_CLASSES_ROOT\\") && line.ends_with(']'))
      keys.insert(Lower(line.substr(19, line.find_first_of("\\]", 19) - 19)));
  return keys;
}

// Removes the sections of `keys` from a stopped prefix's registry files: associations
// that a fresh prefix has already (Wine's own) then come back only through the restore.
void DeleteKeys(const Prefix& prefix, const std::set<std::string>& keys) {
  for (const char* file : {"system.reg", "user.reg"}) {
    std::string kept;
    bool drop = false;
    for (const std::string& line : Lines(ReadFileBytes(prefix.Dir / file))) {
      if (line.starts_with('[')) {
        const std::string name = Lower(line.substr(0, line.rfind(']')));
        drop = false;
        for (const std::string& key : keys)
          drop = drop || name == "[software\\\\classes\\\\" + key ||
                 name.starts_with("[software\\\\classes\\\\" + key + "\\\\");
      }
      if (!drop) kept += line + "\n";
    }
    std::ofstream(prefix.Dir / file, std::ios::binary) << kept;
  }
}

struct Case {
  std::vector<std::string> Args, Wine;
  std::string Skip, Lang = "C.UTF-8";
};

Case ReadCase(const fs::path& dir) {
  Case c;
  std::istringstream args(ReadFileBytes(dir / "args"));
  for (std::string arg; std::getline(args, arg);) c.Args.push_back(arg);
  for (const std::string& line : Lines(ReadFileBytes(dir / "wine"))) {
    if (line.starts_with("skip:")) c.Skip = line;
    if (line.starts_with("LANG=")) c.Lang = line.substr(5);
    if (!line.empty() && !line.starts_with("skip:")) c.Wine.push_back(line);
  }
  return c;
}

class WineCase : public ::testing::TestWithParam<std::string> {};

// The case's registry imported into a prefix: Tavdump.exe there and the Linux build over
// the same registry in the prefix's surroundings say, end and write the same, except
// where wine-expected/ holds Wine's file. Each file written then restores into a fresh
// prefix that, afterwards, differs from the pristine one only in keys and values the
// source prefix held too, has no new file, and where Tavdump.exe writes the same again
// (or wine-restored/<file>, where the format cannot carry everything).
TEST_P(WineCase, SameOutputAndExactRestore) {
  const fs::path dir = Cases / GetParam(), registry = dir / "registry.reg";
  const Case c = ReadCase(dir);
  if (!c.Skip.empty()) GTEST_SKIP() << c.Skip;
  const Locale& locale = LocaleOf(c.Lang);
  ASSERT_EQ(locale.Error, "");
  const fs::path root = Fresh(Work / "case");
  const Prefix source = MakePrefix(root / "source", c.Lang, c.Wine);
  ASSERT_EQ(CopyPrefix(locale.Pristine.Dir, source), "");
  source.Server("-p");
  if (fs::exists(registry)) source.Wine({"regedit", "/s", WinePath(registry)}, root);
  std::vector<std::string> args = c.Args;
  args.insert(args.begin(), TAVDUMP_WINDOWS_EXE);
  const ProcessResult windows = RunProcess(source.Spec(TAVDUMP_WINE, args, Fresh(root / "wine")));
  Files wineFiles = FilesIn(root / "wine");
  // The keys of the backup, as the REG format names them.
  std::string reg;
  for (const auto& [name, bytes] : wineFiles) {
    if (Lower(name).ends_with(".reg")) reg = bytes;
  }
  if (reg.empty() && !wineFiles.empty()) {
    source.Wine({TAVDUMP_WINDOWS_EXE, c.Args.at(0), "keys.reg"}, Fresh(root / "keys"));
    reg = ReadFileBytes(root / "keys" / "keys.reg");
  }
  const std::set<std::string> keys = KeysOfReg(reg);
  for (const auto& [name, bytes] : FilesIn(dir / "wine-expected"))
    ASSERT_TRUE(SameBytes("Wine's " + name, bytes, wineFiles[name]));
  // The registry of the prefix is the pristine one's with the case's imported: the case's
  // file stands for it unless the two builds differ over it; then the prefix's own export
  // decides.
  const std::string wine = Summary("", windows, wineFiles);
  auto linuxOver = [&](const fs::path& file) {
    const ProcessResult run = RunLinux(locale, c.Args, root / "linux", file);
    Files files = FilesIn(root / "linux");
    for (const auto& [name, bytes] : FilesIn(dir / "wine-expected")) files[name] = bytes;
    return Summary("", run, files);
  };
  std::string linux = linuxOver(fs::exists(registry) ? registry : locale.Export);
  if (linux != wine && fs::exists(registry)) {
    source.Wine({"regedit", "/e", WinePath(root / "classes.reg"), "HKEY_CLASSES_ROOT"}, root);
    linux = linuxOver(root / "classes.reg");
  }
  source.End();
  ASSERT_TRUE(SameBytes("Wine's run (expected) and the Linux build's", wine, linux));
  const Changes imported = Diff(locale.Keys, ReadRegistry(source.Dir));

  for (const auto& [name, bytes] : wineFiles) {
    SCOPED_TRACE("restoring " + name);
    const std::string ext = Lower(fs::path(name).extension().string());
    const Prefix target = MakePrefix(root / "target", c.Lang, c.Wine);
    ASSERT_EQ(CopyPrefix(locale.Pristine.Dir, target), "");
    DeleteKeys(target, keys);
    const Registry before = ReadRegistry(target.Dir);
    Changes allowed = imported;
    allowed.merge(Diff(locale.Keys, before));
    const fs::path backup = Fresh(root / "backup") / name;
    std::ofstream(backup, std::ios::binary) << bytes;
    target.Server("-p");
    const std::map<std::string, std::vector<std::string>> tools = {
        {".cmd", {"cmd", "/c", name}},
        {".reg", {"regedit", "/s", WinePath(backup)}},
        {".inf", {"rundll32", "setupapi.dll,InstallHinfSection", "DefaultInstall", "128", WinePath(backup)}}};
    ASSERT_TRUE(tools.count(ext)) << name;
    const ProcessResult restore = target.Wine(tools.at(ext), backup.parent_path());
    EXPECT_EQ(restore.ExitCode, 0) << Describe(tools.at(ext), restore);
    const ProcessResult again = RunProcess(target.Spec(TAVDUMP_WINE, args, Fresh(root / "again")));
    target.End();
    Files expected = wineFiles, restored = FilesIn(root / "again");
    if (fs::exists(dir / "wine-restored" / name)) expected[name] = ReadFileBytes(dir / "wine-restored" / name);
    EXPECT_TRUE(SameBytes("the run after the restore", Summary("", windows, expected),
                          Summary("", again, restored)));
    EXPECT_EQ(FilesIn(backup.parent_path()).size(), 1u) << "the restore wrote files beside the backup";
    for (const std::string& path : DriveC(target.Dir))
      EXPECT_TRUE(locale.Drive.count(path)) << "the restore made " << path;
    // The script and the INF file write a missing description or icon as an empty one.
    // Wine's display driver registers the display and monitor classes again as soon as a
    // program opens a window, as rundll32 does.
    const Registry after = ReadRegistry(target.Dir);
    auto held = [&allowed](const std::string& key) {
      return std::any_of(allowed.begin(), allowed.end(), [&key](const auto& change) {
        return change.first == key || change.first.starts_with(key.substr(0, key.size() - 1) + "\\\\");
      });
    };
    for (const auto& [section, name] : Diff(before, after)) {
      const std::size_t icon = section.rfind("\\\\defaulticon]");
      const bool empty = (name == "@" || name.empty()) && after.count(section) && after.at(section).count("@=\"\"");
      EXPECT_TRUE(allowed.count({section, name}) || section.starts_with("system.reg[system\\\\currentcontrolset\\\\control\\\\class\\\\") ||
                  (empty && (held(section) || (icon != std::string::npos && held(section.substr(0, icon) + "]")))))
          << "the restore changed " << section << " " << name;
    }
  }
}

std::vector<std::string> CaseNames() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(Cases)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

INSTANTIATE_TEST_SUITE_P(Cases, WineCase, ::testing::ValuesIn(CaseNames()),
                         [](const auto& info) {
                           std::string name = info.param;
                           for (char& ch : name) if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return name;
                         });

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char ch : text) quoted += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
  return quoted + "'";
}

// `run` as a line of a shell script, leaving what it said and its exit code in `capture`.
std::string ShellLine(const ProcessSpec& run, const fs::path& capture) {
  std::string line = "(cd " + Quote(run.WorkDir) + " && exec env -i";
  for (const std::string& word : run.Env) line += " " + Quote(word);
  line += " " + Quote(run.Binary);
  for (const std::string& word : run.Args) line += " " + Quote(word);
  return line + " >" + Quote(capture / "out") + " 2>" + Quote(capture / "err") +
         " </dev/null); echo $? >" + Quote(capture / "rc") + "\n";
}

// The report of a failed write, with the module and the address in neutral form.
std::string Report(std::string text, const std::string& module) {
  if (const std::size_t at = text.find(" in module " + module + " at "); at != std::string::npos)
    text.replace(at, module.size() + 23, " in module M at ########");
  return text;
}

// A missing folder, a read-only file and a full device end both builds alike: the banner,
// the report with the system's message, exit code 1, and nothing written. Wine lets root
// write a read-only file, so as root both run as another user (with the prefix's server,
// which opens the files) in a user namespace.
TEST(WineFailures, OutputFileCannotBeWritten) {
  const Locale& locale = LocaleOf("C.UTF-8");
  ASSERT_EQ(locale.Error, "");
  const fs::path root = Fresh(Work / "failures");
  const Prefix prefix = MakePrefix(root / "prefix", "C.UTF-8");
  ASSERT_EQ(CopyPrefix(locale.Pristine.Dir, prefix), "");
  const struct { std::string file, message; } rows[] = {
      {"missing\\out.cmd", "Invalid filename."}, {"locked.reg", "File access denied."},
      {"full.inf", "I/O error 112."}};
  std::string script = ShellLine(prefix.Spec(TAVDUMP_WINESERVER, {"-p"}, root), Fresh(root / "p"));
  for (const auto& row : rows) {
    for (const std::string build : {"Tavdump.exe", "tavdump"}) {
      const fs::path run = Fresh(root / (row.file.substr(0, 4) + build)), dir = Fresh(run / "dir");
      if (row.file == "locked.reg") std::ofstream(dir / row.file) << "before\r\n", chmod((dir / row.file).c_str(), 0444);
      if (row.file == "full.inf") fs::create_symlink("/dev/full", dir / row.file);
      std::vector<std::string> env = locale.LinuxEnv;
      SetEnv(env, "TAVDUMP_REGISTRY", locale.Export.string());
      script += ShellLine(
          build == "tavdump"
              ? Spec(TAVDUMP_BINARY, {"notepad.exe", row.file}, env, dir)
              : prefix.Spec(TAVDUMP_WINE, {TAVDUMP_WINDOWS_EXE, "notepad.exe", row.file}, dir),
          run);
    }
  }
  script += ShellLine(prefix.Spec(TAVDUMP_WINESERVER, {"-k"}, root), root / "p");
  std::vector<std::string> shell = {"/bin/sh", "-c", script};
  if (geteuid() == 0) shell.insert(shell.begin(), {"--user", "--map-user=4242", "--map-group=4242", "--"});
  if (geteuid() != 0) shell.erase(shell.begin());
  const ProcessResult ran =
      RunProcess(Spec(geteuid() == 0 ? TAVDUMP_UNSHARE : "/bin/sh", shell, prefix.Env, root, 300));
  prefix.End();
  ASSERT_EQ(ran.ExitCode, 0) << Describe({"sh"}, ran);
  for (const auto& row : rows) {
    std::string said[2];
    for (int linux = 0; linux < 2; ++linux) {
      const std::string build = linux ? "tavdump" : "Tavdump.exe";
      const fs::path run = root / (row.file.substr(0, 4) + build);
      said[linux] = ReadFileBytes(run / "rc") + ReadFileBytes(run / "out") + Report(ReadFileBytes(run / "err"), build);
      EXPECT_EQ(FilesIn(run / "dir"), (row.file == "locked.reg" ? Files{{"locked.reg", "before\r\n"}} : Files{}));
    }
    EXPECT_TRUE(SameBytes(row.file, said[0], said[1]));
    EXPECT_TRUE(said[0].starts_with("1\n")) << said[0];
    EXPECT_TRUE(said[0].ends_with("in module M at ########.\r\n" + row.message + "\r\n\r\n")) << Visible(said[0]);
  }
}

}  // namespace
