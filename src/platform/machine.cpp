#include "machine.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "codepage.h"
#include "hive.h"
#include "regfile.h"
#include "winereg.h"

namespace tavplat {

namespace {

struct Source {
  std::string path;
  SourceKind kind = SourceKind::Export;
  LSTATUS failure = ERROR_SUCCESS;  // when the source could not even be told apart
  std::string error;
};

struct Machine {
  bool read = false;
  std::vector<Source> sources;
  // Why there is no source, when there is none.
  std::string missing;
  MachineFacts facts;
};

Machine& State() {
  static Machine machine;
  return machine;
}

bool IsFolder(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsFile(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The entry of `folder` named `name` in any letter case, as Windows finds it; "" if none.
std::string FindEntry(const std::string& folder, const char* name) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) return "";
  std::string found;
  while (const dirent* entry = readdir(dir)) {
    if (strcasecmp(entry->d_name, name) == 0) {
      found = folder + "/" + entry->d_name;
      if (std::strcmp(entry->d_name, name) == 0) break;
    }
  }
  closedir(dir);
  return found;
}

// What the source at `path` is, from what it holds.
Source Classify(const std::string& path) {
  Source s;
  s.path = path;
  if (IsFolder(path)) {
    if (IsFile(path + "/system.reg")) {
      s.kind = SourceKind::WinePrefix;
      return s;
    }
    std::string software = path;
    for (const char* name : {"Windows", "System32", "config", "SOFTWARE"})
      if (!software.empty()) software = FindEntry(software, name);
    if (!software.empty() && IsFile(software)) {
      s.kind = SourceKind::SystemDrive;
      return s;
    }
    s.failure = ERROR_FILE_NOT_FOUND;
    s.error = path +
              ": the folder holds no registry (neither a Wine prefix's system.reg nor "
              "Windows/System32/config/SOFTWARE)";
    return s;
  }
  // A pipe would give its first bytes here and the rest to the loader, and opening one
  // that nothing writes to waits for ever: the loaders read a source where its keys lie.
  struct stat info {};
  if (stat(path.c_str(), &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode))) {
    s.failure = ERROR_FILE_NOT_FOUND;
    s.error = path + ": a registry cannot be read from a pipe; save it to a file and name that";
    return s;
  }
  // The first bytes tell a hive and a Wine registry file; anything else is read as an
  // export, whose loader says what is wrong with it.
  char head[24] = {};
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd >= 0) {
    const ssize_t n = read(fd, head, sizeof head);
    close(fd);
    const std::string_view start(head, n > 0 ? static_cast<std::size_t>(n) : 0);
    if (start.starts_with("regf")) s.kind = SourceKind::Hive;
    else if (start.starts_with("WINE REGISTRY Version 2")) s.kind = SourceKind::WineFile;
  }
  return s;
}

std::vector<std::string> Split(const std::string& list) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t colon; (colon = list.find(':', start)) != std::string::npos; start = colon + 1)
    parts.push_back(list.substr(start, colon - start));
  parts.push_back(list.substr(start));
  return parts;
}

void FindSources(Machine& m) {
  const char* list = std::getenv("TAVDUMP_REGISTRY");
  if (list) {
    for (const std::string& path : Split(list)) {
      if (path.empty()) {
        m.sources.clear();
        m.missing = *list ? "TAVDUMP_REGISTRY names an empty path" : "TAVDUMP_REGISTRY is empty";
        return;
      }
      m.sources.push_back(Classify(path));
    }
    return;
  }
  // Without TAVDUMP_REGISTRY, the Wine prefix of this user, as Wine itself finds it.
  const char* prefix = std::getenv("WINEPREFIX");
  const char* home = std::getenv("HOME");
  if (prefix && *prefix) {
    m.sources.push_back(Classify(prefix));
  } else if (home && *home && IsFile(std::string(home) + "/.wine/system.reg")) {
    m.sources.push_back(Classify(std::string(home) + "/.wine"));
  } else {
    m.missing =
        "TAVDUMP_REGISTRY is not set and there is no Wine prefix (WINEPREFIX, ~/.wine); set "
        "it to a registry export, a Wine prefix, a hive file or a Windows system drive";
  }
}

void AddVariable(MachineFacts& facts, const char16_t* name, const char16_t* value) {
  facts.variables.emplace_back(name, value);
}

}  // namespace

const MachineFacts& Facts() {
  Machine& m = State();
  if (m.read) return m.facts;
  m.read = true;
  FindSources(m);
  // An export names no machine: the folders of a default Windows installation stand in
  // for what no source tells, so that a run with nothing set still writes portable files.
  AddVariable(m.facts, u"ProgramFiles", u"C:\\Program Files");
  AddVariable(m.facts, u"CommonProgramFiles", u"C:\\Program Files\\Common Files");
  AddVariable(m.facts, u"SystemRoot", u"C:\\Windows");
  AddVariable(m.facts, u"windir", u"C:\\Windows");
  AddVariable(m.facts, u"SystemDrive", u"C:");
  for (Source& s : m.sources) {
    if (s.failure != ERROR_SUCCESS) continue;
    MachineFacts facts;
    std::string ignored;
    switch (s.kind) {
      case SourceKind::Export:
        break;
      case SourceKind::Hive:
        ReadHiveFacts(s.path, facts, ignored);
        break;
      case SourceKind::SystemDrive:
        ReadSystemDriveFacts(s.path, facts, ignored);
        break;
      case SourceKind::WineFile:
      case SourceKind::WinePrefix:
        ReadWineFacts(s.path, s.kind == SourceKind::WinePrefix, facts, ignored);
        break;
    }
    m.facts.variables.insert(m.facts.variables.end(), facts.variables.begin(),
                             facts.variables.end());
    if (!m.facts.acp) m.facts.acp = facts.acp;
    if (!m.facts.oemcp) m.facts.oemcp = facts.oemcp;
  }
  return m.facts;
}

LSTATUS LoadClasses(RegKey& classes, std::string& error) {
  Facts();
  Machine& m = State();
  classes = RegKey{};
  if (m.sources.empty()) {
    error = m.missing;
    return ERROR_FILE_NOT_FOUND;
  }
  for (const Source& s : m.sources) {
    if (s.failure != ERROR_SUCCESS) {
      error = s.error;
      classes = RegKey{};
      return s.failure;
    }
    RegKey part;
    LSTATUS status = ERROR_NOT_SUPPORTED;
    switch (s.kind) {
      case SourceKind::Export:
        status = LoadRegFile(s.path, part, error);
        break;
      case SourceKind::Hive:
        status = LoadHiveClasses(s.path, part, error);
        break;
      case SourceKind::SystemDrive:
        status = LoadSystemDriveClasses(s.path, part, error);
        break;
      case SourceKind::WineFile:
      case SourceKind::WinePrefix:
        status = LoadWineClasses(s.path, s.kind == SourceKind::WinePrefix, part, error);
        break;
    }
    if (status != ERROR_SUCCESS) {
      classes = RegKey{};
      return status;
    }
    // The first source is taken whole; only the later ones are merged key by key.
    if (&s == &m.sources.front()) classes = std::move(part);
    else MergeClasses(classes, std::move(part));
  }
  return ERROR_SUCCESS;
}

void ResetMachine() { State() = Machine{}; }

}  // namespace tavplat
