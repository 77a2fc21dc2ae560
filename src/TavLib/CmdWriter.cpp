#include "CmdWriter.h"

#include <windows.h>

#include <vector>

#include "OutFile.h"
#include "PathVars.h"

namespace {

std::string Doubled(const std::string& text) {
  std::string result;
  DoublePercents(text, result);
  return result;
}

// `ansi` (its own percent signs already doubled) in the OEM code page. The conversion
// maps some characters to a percent sign (per mille in 1252 to 437, for one), which cmd
// would take for a variable reference, so those are doubled as well; the percent signs
// that were there before the conversion, folder variables included, stay as they are.
std::string OemKeepingPercents(const std::string& ansi) {
  std::string oem;
  ToOem(ansi, oem);
  std::string result;
  for (std::size_t i = 0; i < oem.size(); ++i) {
    if (oem[i] == '%' && ansi[i] != '%') result += '%';
    result += oem[i];
  }
  return result;
}

// A name or description for the script, in the OEM code page.
std::string CmdValue(const std::string& value) { return OemKeepingPercents(Doubled(value)); }

// A command or icon for the script: percent signs doubled, enabled folders replaced by
// their variables, in the OEM code page.
std::string CmdPathValue(const std::string& value, const bool (&enabled)[3],
                         const PathVarTable& expanded) {
  std::string substituted;
  SubstPathVars(Doubled(value), enabled[0], enabled[1], enabled[2], PathVarNames, expanded,
                substituted);
  return OemKeepingPercents(substituted);
}

// Writes an OEM line with its line end. The carets are placed in the OEM text, as cmd
// reads it: the conversion can turn a character into a quote, < or >.
void WriteCmdLine(TextOutFile& file, const std::string& oemLine) {
  WriteStr(file, EscapeCmdLine(oemLine));
  EndLine(file);
  CheckIo();
}

}  // namespace

void DoublePercents(const std::string& text, std::string& result) {
  result.clear();
  for (char c : text) {
    if (c == '%') result += '%';
    result += c;
  }
}

void ToOem(const std::string& text, std::string& result) {
  result.assign(text.size(), '\0');
  if (text.empty()) return;
  std::vector<char> source(text.begin(), text.end());
  source.push_back('\0');
  std::vector<char> target(text.size() + 1, '\0');
  CharToOemA(source.data(), target.data());
  result.assign(target.data(), text.size());
}

std::string QuoteRegArg(const std::string& text) {
  std::string result;
  std::size_t backslashes = 0;
  const char* end = text.c_str() + text.size();
  for (const char* p = text.c_str(); p < end;) {
    const char* next = CharNextA(p);
    if (next == p || next > end) next = p + 1;
    if (*p == '\\' && next == p + 1) {
      ++backslashes;
    } else {
      if (*p == '"' && next == p + 1) {
        result.append(backslashes + 1, '\\');
      }
      backslashes = 0;
    }
    result.append(p, next);
    p = next;
  }
  result.append(backslashes, '\\');
  return result;
}

std::string EscapeCmdLine(const std::string& line) {
  std::string result;
  bool quoted = false;
  const char* end = line.c_str() + line.size();
  for (const char* p = line.c_str(); p < end;) {
    const char* next = CharNextA(p);
    if (next == p || next > end) next = p + 1;
    if (next == p + 1) {
      if (*p == '"') quoted = !quoted;
      if (!quoted && (*p == '^' || *p == '&' || *p == '|' || *p == '<' || *p == '>'))
        result += '^';
    }
    result.append(p, next);
    p = next;
  }
  return result;
}

void SaveToCmd(const std::string& FileName, const TTavTavs& Exts, std::int32_t ExtCount,
               const TTavFTypes& FTypes, std::int32_t FTypeCount, bool SubstProgramFiles,
               bool SubstSystemRoot, bool SubstSystemDrive) {
  TextOutFile file;
  Create(file, FileName);
  CheckIo();

  for (std::int32_t i = 0; i < ExtCount; ++i) {
    const TTavExt& ext = Exts[static_cast<std::size_t>(i)];
    const std::string& name = FTypes[static_cast<std::size_t>(ext.FType)].Name;
    WriteCmdLine(file, "assoc " + CmdValue(ext.Ext) + "=" + CmdValue(name));
  }

  PathVarTable expanded;
  ExpandPathVars(expanded);
  const bool enabled[3] = {SubstProgramFiles, SubstSystemRoot, SubstSystemDrive};

  for (std::int32_t i = 0; i < FTypeCount; ++i) {
    const TTavFType& type = FTypes[static_cast<std::size_t>(i)];
    const std::string name = CmdValue(type.Name);
    const std::string key = QuoteRegArg(name);
    WriteCmdLine(file, "ftype " + name + "=" + CmdPathValue(type.Command, enabled, expanded));
    WriteCmdLine(file, "reg add \"HKCR\\" + key + "\" /ve /d \"" +
                           QuoteRegArg(CmdValue(type.Description)) + "\" /f");
    WriteCmdLine(file, "reg add \"HKCR\\" + key + "\\DefaultIcon\" /ve /d \"" +
                           QuoteRegArg(CmdPathValue(type.Icon, enabled, expanded)) + "\" /f");
  }

  Close(file);
  CheckIo();
}
