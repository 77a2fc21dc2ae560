// Every backup restores exactly: the output of each format, run in a fresh prefix by the
// tool that Windows has for it, re-creates associations from which Tavdump.exe writes the
// same three files again.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <optional>
#include <sstream>

#include "Wine.h"

namespace fs = std::filesystem;
using namespace winetest;

namespace {

const std::array<std::string, 3> Formats = {"cmd", "reg", "inf"};

// The three output files of one program path, by format.
using Outputs = std::map<std::string, std::string>;

// Tavdump.exe's three files for each program, in `prefix`; `what` names the step.
std::vector<Outputs> Dump(const WinePrefix& prefix, const std::vector<std::string>& programs,
                          const std::string& what) {
  std::vector<Outputs> outputs(programs.size());
  const fs::path dir = prefix.Files / what;
  MakeEmptyDir(dir);
  for (std::size_t k = 0; k < programs.size(); ++k) {
    for (const std::string& format : Formats) {
      const std::string name = "p" + std::to_string(k) + "." + format;
      const tavtest::ProcessResult run = WindowsTavdump(prefix, {programs[k], name}, dir);
      EXPECT_EQ(run.ExitCode, 0) << what << ": " << RunLabel({programs[k], name}, run);
      outputs[k][format] = tavtest::ReadFileBytes((dir / name).string());
    }
  }
  return outputs;
}

// The outputs of `programs` in a prefix that holds the fixtures `regFiles`.
std::vector<Outputs> SourceOutputs(const std::vector<std::string>& regFiles,
                                   const std::vector<std::string>& programs) {
  WinePrefix source(TestPrefixName("source"));
  EXPECT_EQ(source.Error, "");
  for (const std::string& file : regFiles) ImportRegFile(source, DataFile(file));
  return Dump(source, programs, "source");
}

// Restores `sources` in `format` into a fresh prefix and returns what Tavdump.exe writes
// there. The keys the outputs name are deleted first, so that associations that a fresh
// prefix holds already (Wine's own) come back only through the restore.
std::vector<Outputs> Restored(const std::vector<Outputs>& sources,
                              const std::vector<std::string>& programs, const std::string& format) {
  WinePrefix target(TestPrefixName("restore-" + format));
  EXPECT_EQ(target.Error, "");
  const fs::path dir = target.Files / "backup";
  MakeEmptyDir(dir);

  std::vector<std::string> keys;
  for (const Outputs& output : sources) {
    for (const std::string& key : KeysOfRegOutput(output.at("reg"))) keys.push_back(key);
  }
  tavtest::WriteFileBytes((dir / "delete.reg").string(), DeletionRegFile(keys));
  ImportRegFile(target, dir / "delete.reg");
  for (const std::string& program : programs) {
    const tavtest::ProcessResult run = WindowsTavdump(target, {program, "before.reg"}, dir);
    EXPECT_EQ(run.ExitCode, 3) << "the fresh prefix already has associations of " << program;
  }

  for (std::size_t k = 0; k < sources.size(); ++k) {
    const std::string name = "p" + std::to_string(k) + "." + format;
    tavtest::WriteFileBytes((dir / name).string(), sources[k].at(format));
    tavtest::ProcessResult restore;
    if (format == "cmd")
      restore = Wine(target, {"cmd", "/c", name}, dir);
    else if (format == "reg")
      restore = ImportRegFile(target, dir / name);
    else
      restore = Wine(target,
                     {"rundll32", "setupapi.dll,InstallHinfSection", "DefaultInstall", "128",
                      WinePath(dir / name)},
                     dir);
    EXPECT_EQ(restore.ExitCode, 0)
        << "restoring " << name << ": " << tavtest::Describe(restore) << "\n"
        << restore.Stdout << restore.Stderr;
  }
  return Dump(target, programs, "restored");
}

// Each format restores into outputs identical to the sources.
void ExpectExactRestores(const std::vector<std::string>& regFiles,
                         const std::vector<std::string>& programs) {
  const std::vector<Outputs> sources = SourceOutputs(regFiles, programs);
  for (const std::string& format : Formats) {
    const std::vector<Outputs> restored = Restored(sources, programs, format);
    for (std::size_t k = 0; k < programs.size(); ++k) {
      for (const std::string& written : Formats) {
        EXPECT_SAME_BYTES(
            written + " file of " + programs[k] + " after restoring the " + format + " file",
            sources[k].at(written), restored[k].at(written));
      }
    }
  }
}

TEST(Restore, SpecialCharactersInValues) {
  ExpectExactRestores({"specials.reg"},
                      {"C:\\Program Files\\TavTest\\tav.exe", "c:\\program files\\TÄVÉ"});
}

TEST(Restore, SpecialCharactersInNames) {
  ExpectExactRestores({"names.reg"}, {"C:\\Program Files\\TavName\\nm.exe"});
}

TEST(Restore, WinesOwnAssociations) {
  ExpectExactRestores({}, {"notepad.exe", "winebrowser.exe", "wordpad.exe", "iexplore.exe"});
}

// The sections of a REG file that Tavdump wrote: each key line with its value line ("" for
// a key without one).
std::map<std::string, std::string> Sections(const std::string& reg) {
  std::map<std::string, std::string> sections;
  std::istringstream lines(reg);
  std::string line, key;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("[", 0) == 0) {
      key = line;
      sections[key];
    } else if (line.rfind("@=", 0) == 0) {
      sections[key] = line;
    }
  }
  return sections;
}

// `restored` has the sections of `source`, with the changes `changed` (a value line, or
// absent for a section that must not come back), except that a value in `cut` must come
// back as a leading part of itself.
void ExpectRestoredSections(const std::string& what, const std::string& source,
                            const std::string& restored,
                            const std::map<std::string, std::optional<std::string>>& changed,
                            const std::vector<std::string>& cut) {
  std::map<std::string, std::string> expected = Sections(source);
  const std::map<std::string, std::string> actual = Sections(restored);
  for (const auto& [key, value] : changed) {
    ASSERT_TRUE(expected.count(key)) << "the source lacks " << key;
    if (value)
      expected[key] = *value;
    else
      expected.erase(key);
  }
  for (const auto& [key, value] : expected) {
    SCOPED_TRACE(what + ", section " + key);
    ASSERT_TRUE(actual.count(key)) << "not restored";
    if (std::find(cut.begin(), cut.end(), key) == cut.end()) {
      EXPECT_SAME_BYTES("value", value, actual.at(key));
    } else {
      const std::string& line = actual.at(key);
      ASSERT_GE(line.size(), 4u);
      EXPECT_LT(line.size(), value.size());
      EXPECT_EQ(value.compare(0, line.size() - 1, line, 0, line.size() - 1), 0) << line;
    }
  }
  for (const auto& [key, value] : actual)
    EXPECT_TRUE(expected.count(key)) << what << ": unexpected " << key;
}

// What the formats cannot carry. A CMD script is read in the OEM code page, so characters
// that code page lacks arrive as the conversion's nearest match (or "?"); assoc and ftype
// take the first "=" for the end of a name; the system drive comes back in the letter case
// of its variable; and cmd cuts lines at 8191 characters. Wine's setup engine gives "%24%"
// as the drive's root with its backslash (dropping it only before another one) and cuts
// string values at 511 characters. The REG file carries everything.
TEST(Restore, WhatTheFormatsCannotCarry) {
  const std::string program = "C:\\Program Files\\TavFit\\fit.exe";
  const std::vector<Outputs> sources = SourceOutputs({"limits.reg"}, {program});
  const std::string source = sources[0].at("reg");
  const std::string drive = "[HKEY_CLASSES_ROOT\\TavFit.Drive\\shell\\open\\command]";
  const std::string longType = "[HKEY_CLASSES_ROOT\\TavFit.Long]";

  const std::vector<Outputs> reg = Restored(sources, {program}, "reg");
  for (const std::string& written : Formats)
    EXPECT_SAME_BYTES(written + " file after restoring the reg file", sources[0].at(written),
                      reg[0].at(written));

  const std::vector<Outputs> inf = Restored(sources, {program}, "inf");
  ExpectRestoredSections(
      "after restoring the inf file", source, inf[0].at("reg"),
      {{drive,
        "@=\"\\\"C:\\\\Program Files\\\\TavFit\\\\fit.exe\\\" /C:\\\\\\\"%1\\\" /d=C:\\\\\""}},
      {longType});

  // Code page 1252 to 437 as Windows converts it: quotes, dash, per mille, circumflex and
  // angle quotes to their ASCII look-alikes, the euro sign to "?". The escaping keeps the
  // look-alikes literal, so the rest of each value arrives unchanged.
  const std::vector<Outputs> cmd = Restored(sources, {program}, "cmd");
  ExpectRestoredSections(
      "after restoring the cmd file", source, cmd[0].at("reg"),
      {{"[HKEY_CLASSES_ROOT\\TavFit.Smart]", "@=\"Smart \\\"quotes\\\" - 5% ^ <x> ? \\\"end\""},
       {"[HKEY_CLASSES_ROOT\\TavFit.Smart\\DefaultIcon]",
        "@=\"C:\\\\Program Files\\\\TavFit\\\\fit.exe,%1\""},
       {"[HKEY_CLASSES_ROOT\\TavFit.Smart\\shell\\open\\command]",
        "@=\"\\\"C:\\\\Program Files\\\\TavFit\\\\fit.exe\\\" \\\"%1\\\" 5% <a> ^b\""},
       {drive, "@=\"\\\"C:\\\\Program Files\\\\TavFit\\\\fit.exe\\\" /C:\\\"%1\\\" /d=C:\""},
       {"[HKEY_CLASSES_ROOT\\.tv=eq]", std::nullopt},
       {"[HKEY_CLASSES_ROOT\\TavFit=Equals]", std::nullopt},
       {"[HKEY_CLASSES_ROOT\\TavFit=Equals\\DefaultIcon]", std::nullopt},
       {"[HKEY_CLASSES_ROOT\\TavFit=Equals\\shell]", std::nullopt},
       {"[HKEY_CLASSES_ROOT\\TavFit=Equals\\shell\\open]", std::nullopt},
       {"[HKEY_CLASSES_ROOT\\TavFit=Equals\\shell\\open\\command]", std::nullopt}},
      {longType});
}

}  // namespace
