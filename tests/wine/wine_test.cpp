// Tavdump.exe under Wine beside the Linux build over the case folders: the same output, restores
// that re-create the backed-up keys and add nothing, and output failures on the real platform.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>

#include "Process.h"

namespace {

namespace fs = std::filesystem;
using namespace tavtest;
using Strings = std::vector<std::string>;
using Files = std::map<std::string, std::string>;
// A prefix's registry (lines of each lower-cased section) and the keys or values two differ in.
using Registry = std::map<std::string, std::set<std::string>>;
using Changes = std::set<std::pair<std::string, std::string>>;

// TAVDUMP_WINE_PART=K/N runs every Nth case from the Kth on, in prefixes of its own, so that
// N processes can share the waits for Wine.
const std::string Part = std::getenv("TAVDUMP_WINE_PART") ? std::getenv("TAVDUMP_WINE_PART") : "1/1";
const fs::path Work = fs::path(TAVDUMP_WINE_WORK_DIR) / ("part-" + Part.substr(0, Part.find('/'))),
               Cases = TAVDUMP_CASES_DIR;

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

fs::path Fresh(const fs::path& dir) { return RemoveTree(dir), fs::create_directories(dir), dir; }

// Everything below `dir`: the bytes of each file when `read`, "" for each other entry.
Files FilesIn(const fs::path& dir, bool read = true) {
  Files files;
  std::error_code missing;
  for (const auto& entry : fs::recursive_directory_iterator(dir, missing))
    files[entry.path().lexically_relative(dir)] = read && entry.is_regular_file() ? ReadFileBytes(entry.path()) : "";
  return files;
}

std::string WinePath(const fs::path& path) {
  std::string text = "Z:" + path.string();
  std::ranges::replace(text, '/', '\\');
  return text;
}

// A prefix and the environment of its programs (`-NAME` in `extra` unsets NAME). After the
// boot, sessions skip wineboot's start of services and desktop, which cost seconds each.
struct Prefix {
  fs::path Dir;
  Strings Env = {"PATH=/usr/local/bin:/usr/bin:/bin", "HOME=" + (Work / "home").string(), "WINEARCH=win64",
                 "WINEDEBUG=-all", "WINEDLLOVERRIDES=wineboot.exe=d", "WINEPREFIX=" + Dir.string(), "LANG=C.UTF-8"};
  Prefix(const fs::path& dir = {}, const Strings& extra = {}) : Dir(dir) {
    for (const std::string& line : extra)
      line.starts_with('-') ? UnsetEnv(Env, line.substr(1))
                            : SetEnv(Env, line.substr(0, line.find('=')), line.substr(line.find('=') + 1));
  }
  ProcessResult Run(const std::string& binary, const Strings& args, const fs::path& dir = Work) const {
    return RunProcess({binary, args, Env, dir, "", -1, 600});
  }
  // Now and then, mostly on a busy machine, Wine fails to start a program: the run ends
  // non-zero having printed nothing, or cmd says it cannot recognise a command it had to
  // start. Every run here can be made again (a restore sets the same keys twice), so such a
  // run is tried again; a real failure fails the same way each time.
  ProcessResult Wine(const Strings& args, const fs::path& dir = Work) const {
    ProcessResult result;
    for (int attempt = 0; attempt < 3; ++attempt) {
      result = Run(TAVDUMP_WINE, args, dir);
      const bool unstarted = result.Stdout.empty() || result.Stderr.find("Can't recognize '") != std::string::npos;
      if (result.ExitCode == 0 || !unstarted) break;
      std::cout << "Wine did not start it, again: " << Describe(args, result) << std::endl;
    }
    return result;
  }
  // Ends the server, which writes the registry files, and removes the socket folder it leaves.
  // SIGTERM makes it write them and exit at once; `wineserver -k` first stops every process
  // and polls for the end in growing steps, half a second a case. The server holds a lock
  // on the file `lock` in its folder, which names its process and is let go when it has ended.
  void End() const {
    const Strings name = Lines(ReadFileBytes(Dir / "wineserver"));
    if (name.size() != 1 || fs::path(name[0]).filename() != name[0]) return void(Run(TAVDUMP_WINESERVER, {"-k"}));
    const fs::path folder = fs::path("/tmp") / name[0];
    std::error_code none;
    for (const auto& server : fs::directory_iterator(folder, none)) {
      const int fd = open((server.path() / "lock").c_str(), O_RDWR | O_CLOEXEC);
      struct flock lock = {};
      auto held = [&] {
        lock = {};
        lock.l_type = F_WRLCK;
        return fd >= 0 && fcntl(fd, F_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
      };
      if (held()) kill(lock.l_pid, SIGTERM);
      for (int waited = 0; waited < 60000 && held(); waited += 5) usleep(5000);
      if (held()) Run(TAVDUMP_WINESERVER, {"-k"});
      if (fd >= 0) close(fd);
    }
    RemoveTree(folder);
  }
};

Registry ReadRegistry(const fs::path& dir) {
  Registry registry;
  for (const std::string file : {"system.reg", "user.reg"}) {
    std::string section = file;
    for (const std::string& line : Lines(ReadFileBytes(dir / file)))
      if (line.starts_with('['))
        registry[section = file + Lower(line.substr(0, line.rfind(']') + 1))];
      else if (!line.empty() && !line.starts_with("#time="))
        registry[section].insert(line);
  }
  return registry;
}

Changes Diff(const Registry& one, const Registry& other) {
  Changes changes;
  for (const auto& [from, to] : {std::pair{&one, &other}, std::pair{&other, &one}})
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
  return changes;
}

// A booted prefix for one Unix locale, and what the Linux build needs to stand beside it.
struct Locale {
  Prefix Pristine;
  Strings LinuxEnv;  // the prefix's environment and code pages
  Registry Keys;
  Files Drive;
  std::string Error;

  // A copy of hard links (Wine only reads them) but for the registry files (rewritten in
  // place), which leave out the classes `drop`: Wine's own ones then come back only by a restore.
  Prefix Copy(const fs::path& dir, const Strings& extra, const std::set<std::string>& drop = {}) const {
    const Prefix copy(dir, extra);
    RemoveTree(dir);
    EXPECT_EQ(copy.Run("/bin/cp", {"-al", Pristine.Dir, dir}).ExitCode, 0);
    fs::remove(dir / "wineserver");
    for (const std::string file : {"system.reg", "user.reg", "userdef.reg"}) {
      fs::remove(dir / file);
      std::ofstream out(dir / file, std::ios::binary);
      for (bool skip = false; const std::string& line : Lines(ReadFileBytes(Pristine.Dir / file))) {
        if (line.starts_with('['))
          skip = std::ranges::any_of(drop, [name = Lower(line)](const std::string& key) {
            return name.starts_with("[software\\\\classes\\\\" + key + "]") ||
                   name.starts_with("[software\\\\classes\\\\" + key + "\\\\");
          });
        if (!skip) out << line << "\n";
      }
    }
    return copy;
  }
};

const Locale& LocaleOf(const std::string& lang) {
  static std::map<std::string, Locale> locales;
  auto [it, fresh] = locales.try_emplace(lang);
  Locale& locale = it->second;
  if (!fresh) return locale;
  const Prefix& prefix = locale.Pristine = Prefix(Work / ("pristine-" + lang), {"LANG=" + lang});
  RemoveTree(prefix.Dir);
  fs::create_directories(Work / "home");
  // Other locales start from a copy of the default one: Wine sets a prefix's code pages and
  // fonts to the Unix locale when a program starts there, in a second instead of a boot's 15.
  ProcessResult made;
  if (lang != "C.UTF-8") {
    LocaleOf("C.UTF-8").Copy(prefix.Dir, {"LANG=" + lang});
  } else {
    const Prefix boot(prefix.Dir, {"LANG=" + lang, "WINEDLLOVERRIDES="});
    made = boot.Run(TAVDUMP_WINEBOOT, {"-i"});
    boot.Run(TAVDUMP_WINESERVER, {"-w"});
    boot.End();
  }
  prefix.Run(TAVDUMP_WINESERVER, {"-p"});
  // A new server's query can come back empty while Wine starts: tried again before it counts.
  auto query = [&prefix](const Strings& args) {
    ProcessResult result;
    for (int attempt = 0; attempt < 3 && result.Stdout.empty(); ++attempt) result = prefix.Wine(args);
    return result.ExitCode == 0 ? result.Stdout : "";
  };
  for (const std::string& line : Lines(query({"cmd", "/c", "set"})))
    if (line.find('=') != std::string::npos && !line.starts_with('=')) locale.LinuxEnv.push_back(line);
  for (const std::string name : {"ACP", "OEMCP"}) {
    std::istringstream words(
        query({"reg", "query", "HKLM\\System\\CurrentControlSet\\Control\\Nls\\CodePage", "/v", name}));
    std::string word, last, page;
    for (; words >> word; last = word)
      if (last == "REG_SZ") page = word;
    SetEnv(locale.LinuxEnv, "TAVDUMP_" + name, page);
    if (page.empty()) locale.Error = "no code page " + name + " in " + lang + ": " + Describe({"-i"}, made);
  }
  prefix.End();
  locale.Keys = ReadRegistry(prefix.Dir);
  locale.Drive = FilesIn(prefix.Dir / "drive_c", false);
  return locale;
}

// What a run said and wrote; a failure report names each build's own module and address.
std::string Summary(const ProcessResult& run, const Files& files) {
  std::string err = run.Stderr;
  if (const auto at = err.find(" in module "); at != std::string::npos)
    err.replace(at, err.find('.', err.find(" at ", at)) - at, " in module ... at ########");
  std::string text = "exit " + std::to_string(run.ExitCode) + "\nstdout " + Visible(run.Stdout) +
                     "\nstderr " + Visible(err) + "\n";
  for (const auto& [name, bytes] : files) text += name + " " + Visible(bytes) + "\n";
  return text;
}

class WineCase : public ::testing::TestWithParam<std::string> {};

// The case's registry imported into a prefix, Tavdump.exe there and the Linux build beside it say,
// end and write the same (or wine-expected/). Each file written restores into a fresh prefix where
// Tavdump.exe writes the same again (or wine-restored/), adding only keys the source held, no file.
TEST_P(WineCase, SameOutputAndExactRestore) {
  const fs::path dir = Cases / GetParam(), registry = dir / "registry.reg", root = Fresh(Work / "case");
  const Strings args = Lines(ReadFileBytes(dir / "args")), wine = Lines(ReadFileBytes(dir / "wine"));
  if (!wine.empty() && wine[0].starts_with("skip:")) GTEST_SKIP() << wine[0];
  const auto lang = std::ranges::find_if(wine, [](const std::string& line) { return line.starts_with("LANG="); });
  const Locale& locale = LocaleOf(lang == wine.end() ? "C.UTF-8" : lang->substr(5));
  ASSERT_EQ(locale.Error, "");
  const Prefix source = locale.Copy(root / "source", wine);
  source.Run(TAVDUMP_WINESERVER, {"-p"});
  if (fs::exists(registry)) source.Wine({"regedit", "/s", WinePath(registry)}, root);
  Strings exe = {TAVDUMP_WINDOWS_EXE};
  exe.insert(exe.end(), args.begin(), args.end());
  const ProcessResult windows = source.Wine(exe, Fresh(root / "wine"));
  const Files written = FilesIn(root / "wine"), pinned = FilesIn(dir / "wine-expected");
  // The classes a REG file of the run names (names may hold "]", never "\").
  std::string reg;
  for (const auto& [name, bytes] : written)
    if (Lower(name).ends_with(".reg")) reg = bytes;
  if (reg.empty() && !written.empty()) {
    source.Wine({TAVDUMP_WINDOWS_EXE, args.at(0), "keys.reg"}, Fresh(root / "keys"));
    reg = ReadFileBytes(root / "keys" / "keys.reg");
  }
  std::set<std::string> keys;
  for (const std::string& line : Lines(reg))
    if (line.starts_with("[HKEY_CLASSES_ROOT\\") && line.ends_with(']'))
      keys.insert(Lower(line.substr(19, std::min(line.find('\\', 19), line.size() - 1) - 19)));
  Files expected = written;
  for (const auto& [name, bytes] : pinned) EXPECT_TRUE(SameBytes("Wine's " + name, bytes, expected[name]));
  source.End();
  // The Linux build reads the case's file, or where there is none or the builds differ over
  // it, the prefix itself (the pristine registry and the case's).
  auto linuxOver = [&](const fs::path& file) {
    Strings env = locale.LinuxEnv;
    SetEnv(env, "TAVDUMP_REGISTRY", file);
    const ProcessResult run = RunProcess({TAVDUMP_BINARY, args, env, Fresh(root / "linux"), "", -1, 180});
    Files files = FilesIn(root / "linux");
    for (const auto& [name, bytes] : pinned) files[name] = bytes;
    return Summary(run, files);
  };
  std::string linux = fs::exists(registry) ? linuxOver(registry) : "";
  if (linux != Summary(windows, written)) linux = linuxOver(source.Dir);
  ASSERT_TRUE(SameBytes("Wine's run, then the Linux build's", Summary(windows, written), linux));

  Changes allowed = Diff(locale.Keys, ReadRegistry(source.Dir));
  for (const auto& [name, bytes] : written) {
    SCOPED_TRACE("restoring " + name);
    const Prefix target = locale.Copy(root / "target", wine, keys);
    target.Run(TAVDUMP_WINESERVER, {"-p"});
    const Registry before = ReadRegistry(target.Dir);
    allowed.merge(Diff(locale.Keys, before));
    const fs::path backup = Fresh(root / "backup") / name;
    std::ofstream(backup, std::ios::binary) << bytes;
    const std::string ext = Lower(name.substr(name.size() - 4));  // ".CMD" is a whole name
    const Strings tool = ext == ".cmd"   ? Strings{"cmd", "/c", ".\\" + name}  // not the builtin DIR
                         : ext == ".reg" ? Strings{"regedit", "/s", WinePath(backup)}
                                         : Strings{"rundll32", "setupapi.dll,InstallHinfSection", "DefaultInstall",
                                                   "128", WinePath(backup)};
    const ProcessResult restore = target.Wine(tool, backup.parent_path());
    EXPECT_EQ(restore.ExitCode, 0) << Describe(tool, restore);
    const ProcessResult again = target.Wine(exe, Fresh(root / "again"));
    target.End();
    if (fs::exists(dir / "wine-restored" / name)) expected[name] = ReadFileBytes(dir / "wine-restored" / name);
    EXPECT_TRUE(SameBytes("the next run", Summary(windows, expected), Summary(again, FilesIn(root / "again"))));
    EXPECT_EQ(FilesIn(backup.parent_path()).size(), 1u) << "the restore wrote beside the backup";
    for (const auto& [path, none] : FilesIn(target.Dir / "drive_c", false))
      EXPECT_TRUE(locale.Drive.count(path)) << "the restore made " << path;
    // The script and the INF file write a missing description or icon as an empty one;
    // Wine registers its display and monitor again when a program (rundll32) opens a window.
    const Registry after = ReadRegistry(target.Dir);
    auto held = [&allowed](const std::string& key) {
      return std::ranges::any_of(allowed, [&key](auto& change) { return change.first == key + "]" ||
                                                                        change.first.starts_with(key + "\\\\"); });
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

INSTANTIATE_TEST_SUITE_P(Cases, WineCase, ::testing::ValuesIn([] {
  std::set<std::string> all, names;
  for (const auto& entry : fs::directory_iterator(Cases)) all.insert(entry.path().filename());
  const int part = std::stoi(Part), parts = std::stoi(Part.substr(Part.find('/') + 1));
  // Skipped cases cost nothing, so they go with the first part and leave the others even.
  for (int index = 0; const std::string& name : all)
    if (ReadFileBytes(Cases / name / "wine").starts_with("skip:") ? part == 1 : index++ % parts == part - 1)
      names.insert(name);
  return names;
}()), [](const auto& info) {
  std::string name = info.param;
  std::ranges::replace_if(name, [](char c) { return !std::isalnum(c); }, '_');
  return name;
});

// tavdump reading a Wine prefix, with nothing else set, writes what Tavdump.exe writes in it,
// in every format, for every program with an open command: in a fresh prefix, and after
// the example registry was imported. Japanese, so that the code pages come from the locale.
TEST(WinePrefix, ReadAsWineServesIt) {
  const Locale& locale = LocaleOf("ja_JP.UTF-8");
  ASSERT_EQ(locale.Error, "");
  const Prefix prefix = locale.Copy(Fresh(Work / "prefix") / "p", {"LANG=ja_JP.UTF-8"});
  for (const bool imported : {false, true}) {
    if (imported) prefix.Wine({"regedit", "/s", WinePath(fs::weakly_canonical(Cases / "../../examples/quarvel.reg"))});
    prefix.End();
    const Strings args = {fs::path(__FILE__).parent_path() / "prefix-compare.sh", TAVDUMP_BINARY,
                          TAVDUMP_WINDOWS_EXE, prefix.Dir};
    const ProcessResult run = prefix.Run("/bin/bash", args);
    prefix.End();
    EXPECT_EQ(run.ExitCode, 0) << Describe(args, run) << run.Stdout;
  }
}

// A missing folder, a read-only file and a full device end Tavdump.exe as they end the Linux
// build: banner, report with the system's message, exit code 1, nothing written. Wine lets root
// write to a read-only file, so root runs it and the server as another user in a namespace.
TEST(WineFailures, OutputFileCannotBeWritten) {
  const Locale& locale = LocaleOf("C.UTF-8");
  ASSERT_EQ(locale.Error, "");
  const fs::path root = Fresh(Work / "failures"), banner = Cases / "missing-folder-cmd/expected/stdout";
  const Prefix prefix = locale.Copy(root / "prefix", {});
  const std::pair<std::string, std::string> rows[] = {
      {"missing\\out.cmd", "Invalid filename."}, {"locked.reg", "File access denied."}, {"full.inf", "I/O error 112."}};
  std::string script = TAVDUMP_WINESERVER " -p\n";
  for (const auto& [file, message] : rows) {
    const fs::path dir = Fresh(root / file.substr(0, 4) / "dir");
    if (file == "locked.reg") std::ofstream(dir / file) << "before\r\n";
    if (file == "locked.reg") fs::permissions(dir / file, fs::perms::owner_write, fs::perm_options::remove);
    if (file == "full.inf") fs::create_symlink("/dev/full", dir / file);
    script += "cd '" + dir.string() + "' && " TAVDUMP_WINE " " TAVDUMP_WINDOWS_EXE " notepad.exe '" + file +
              "' >../out 2>../err; echo $? >../rc\n";
  }
  Strings shell = {"/bin/sh", "-c", script + TAVDUMP_WINESERVER " -k\n"};
  if (geteuid() == 0)
    shell.insert(shell.begin(), {TAVDUMP_UNSHARE, "--user", "--map-user=4242", "--map-group=4242", "--"});
  const ProcessResult ran = prefix.Run(shell[0], Strings(shell.begin() + 1, shell.end()), root);
  prefix.End();
  ASSERT_EQ(ran.ExitCode, 0) << Describe(shell, ran);
  for (const auto& [file, message] : rows) {
    const fs::path dir = root / file.substr(0, 4);
    EXPECT_EQ(ReadFileBytes(dir / "rc") + ReadFileBytes(dir / "out"), "1\n" + ReadFileBytes(banner));
    EXPECT_TRUE(SameBytes("failure report",
                          "Exception EInOutError in module Tavdump.exe at ########.\r\n" + message +
                              "\r\n\r\n",
                          ReadFileBytes(dir / "err"), true));
    EXPECT_EQ(FilesIn(dir / "dir"), (file == "locked.reg" ? Files{{file, "before\r\n"}}
                                     : file == "full.inf" ? Files{{file, ""}} : Files{}));
  }
}

}  // namespace
