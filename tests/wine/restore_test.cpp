// Every backup restores exactly: the output of each format, run in a fresh prefix by the
// tool that Windows has for it, re-creates associations from which Tavdump.exe writes the
// same three files again.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <sstream>

#include "Wine.h"

using namespace winetest;

namespace {

const std::string Formats[] = {"cmd", "reg", "inf"};

// The three output files of each program path, by format.
using Outputs = std::vector<std::map<std::string, std::string>>;

// Tavdump.exe's three files for each program, in `prefix`; `step` names the step.
Outputs Dump(const WinePrefix& prefix, const std::vector<std::string>& programs,
             const std::string& step) {
  Outputs outputs(programs.size());
  const fs::path dir = prefix.Files / step;
  MakeEmptyDir(dir);
  for (std::size_t k = 0; k < programs.size(); ++k) {
    for (const std::string& format : Formats) {
      const std::vector<std::string> args = {programs[k], "p" + std::to_string(k) + "." + format};
      const ProcessResult run = RunProcess(WindowsSpec(prefix, args, dir));
      EXPECT_EQ(run.ExitCode, 0) << step << ": " << Describe(args, run);
      outputs[k][format] = tavtest::ReadFileBytes((dir / args[1]).string());
    }
  }
  return outputs;
}

// The outputs of `programs` in a prefix that holds the fixtures `fixtures`.
Outputs SourceOutputs(const std::vector<std::string>& fixtures,
                      const std::vector<std::string>& programs) {
  WinePrefix source(fixtures, "source");
  EXPECT_EQ(source.Error, "");
  return Dump(source, programs, "source");
}

// Restores `sources` in `format` into a fresh prefix and returns what Tavdump.exe writes
// there. The keys the outputs name are deleted first, so that associations that a fresh
// prefix holds already (Wine's own) come back only through the restore.
Outputs Restored(const Outputs& sources, const std::vector<std::string>& programs,
                 const std::string& format) {
  WinePrefix target({}, "restore-" + format);
  EXPECT_EQ(target.Error, "");
  const fs::path dir = target.Files / "backup";
  MakeEmptyDir(dir);
  std::string deletion = "REGEDIT4\r\n";
  for (const auto& output : sources) {
    for (const std::string& key : KeysOfRegOutput(output.at("reg")))
      deletion += "\r\n[-HKEY_CLASSES_ROOT\\" + key + "]\r\n";
  }
  tavtest::WriteFileBytes((dir / "delete.reg").string(), deletion);
  ImportRegFile(target, dir / "delete.reg");
  for (const std::string& program : programs) {
    EXPECT_EQ(RunProcess(WindowsSpec(target, {program, "before.reg"}, dir)).ExitCode, 3)
        << "the fresh prefix already has associations of " << program;
  }
  for (std::size_t k = 0; k < sources.size(); ++k) {
    const std::string name = "p" + std::to_string(k) + "." + format;
    tavtest::WriteFileBytes((dir / name).string(), sources[k].at(format));
    const std::map<std::string, std::vector<std::string>> tools = {
        {"cmd", {"cmd", "/c", name}},
        {"reg", {"regedit", "/s", WinePath(dir / name)}},
        {"inf",
         {"rundll32", "setupapi.dll,InstallHinfSection", "DefaultInstall", "128",
          WinePath(dir / name)}}};
    const ProcessResult restore = RunProcess(WineSpec(target, tools.at(format), dir));
    EXPECT_EQ(restore.ExitCode, 0) << Describe(tools.at(format), restore) << "\n" << restore.Stdout;
  }
  return Dump(target, programs, "restored");
}

// Each format restores into outputs identical to the sources.
void ExpectExactRestores(const std::vector<std::string>& fixtures,
                         const std::vector<std::string>& programs) {
  const Outputs sources = SourceOutputs(fixtures, programs);
  for (const std::string& format : Formats) {
    const Outputs restored = Restored(sources, programs, format);
    for (std::size_t k = 0; k < programs.size(); ++k) {
      for (const std::string& written : Formats) {
        EXPECT_TRUE(SameBytes(
            written + " file of " + programs[k] + " after restoring the " + format + " file",
            sources[k].at(written), restored[k].at(written)));
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

// The key lines of a REG file that Tavdump wrote, each with its value line ("" for a key
// without one).
std::map<std::string, std::string> Sections(const std::string& reg) {
  std::map<std::string, std::string> sections;
  std::istringstream lines(reg);
  std::string key;
  for (std::string line; std::getline(lines, line);) {
    if (line.ends_with('\r')) line.pop_back();
    if (line.starts_with("["))
      sections[key = line];
    else if (line.starts_with("@="))
      sections[key] = line;
  }
  return sections;
}

// `restored` has the sections of `source` with the changes `changed` (a value line, or
// nothing for a section that must not come back), except that the value of `cut` comes
// back as a leading part of itself.
void ExpectRestoredSections(const std::string& what, const std::string& source,
                            const std::string& restored,
                            const std::map<std::string, std::optional<std::string>>& changed,
                            const std::string& cut) {
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
    const std::string& line = actual.at(key);
    if (key != cut) {
      EXPECT_TRUE(SameBytes("value", value, line));
    } else {
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
  const std::vector<std::string> program = {"C:\\Program Files\\TavFit\\fit.exe"};
  const Outputs sources = SourceOutputs({"limits.reg"}, program);
  const std::string source = sources[0].at("reg");
  const std::string drive = "[HKEY_CLASSES_ROOT\\TavFit.Drive\\shell\\open\\command]";
  const std::string longType = "[HKEY_CLASSES_ROOT\\TavFit.Long]";

  const Outputs reg = Restored(sources, program, "reg");
  for (const std::string& written : Formats)
    EXPECT_TRUE(SameBytes(written + " file after restoring the reg file", sources[0].at(written),
                          reg[0].at(written)));

  ExpectRestoredSections(
      "after restoring the inf file", source, Restored(sources, program, "inf")[0].at("reg"),
      {{drive,
        "@=\"\\\"C:\\\\Program Files\\\\TavFit\\\\fit.exe\\\" /C:\\\\\\\"%1\\\" /d=C:\\\\\""}},
      longType);

  // Code page 1252 to 437 as Windows converts it: quotes, dash, per mille, circumflex and
  // angle quotes to their ASCII look-alikes, the euro sign to "?". The escaping keeps the
  // look-alikes literal, so the rest of each value arrives unchanged.
  const std::string equals = "[HKEY_CLASSES_ROOT\\TavFit=Equals";
  ExpectRestoredSections(
      "after restoring the cmd file", source, Restored(sources, program, "cmd")[0].at("reg"),
      {{"[HKEY_CLASSES_ROOT\\TavFit.Smart]", "@=\"Smart \\\"quotes\\\" - 5% ^ <x> ? \\\"end\""},
       {"[HKEY_CLASSES_ROOT\\TavFit.Smart\\DefaultIcon]",
        "@=\"C:\\\\Program Files\\\\TavFit\\\\fit.exe,%1\""},
       {"[HKEY_CLASSES_ROOT\\TavFit.Smart\\shell\\open\\command]",
        "@=\"\\\"C:\\\\Program Files\\\\TavFit\\\\fit.exe\\\" \\\"%1\\\" 5% <a> ^b\""},
       {drive, "@=\"\\\"C:\\\\Program Files\\\\TavFit\\\\fit.exe\\\" /C:\\\"%1\\\" /d=C:\""},
       {"[HKEY_CLASSES_ROOT\\.tv=eq]", std::nullopt},
       {equals + "]", std::nullopt},
       {equals + "\\DefaultIcon]", std::nullopt},
       {equals + "\\shell]", std::nullopt},
       {equals + "\\shell\\open]", std::nullopt},
       {equals + "\\shell\\open\\command]", std::nullopt}},
      longType);
}

}  // namespace
