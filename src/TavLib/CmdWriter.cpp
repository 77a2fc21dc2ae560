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

// The line as cmd must read it, in the OEM code page; written with its line end.
void WriteCmdLine(TextOutFile& file, const std::string& line) {
  std::string oem;
  ToOem(EscapeCmdLine(line), oem);
  WriteStr(file, oem);
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
    WriteCmdLine(file, "assoc " + Doubled(ext.Ext) + "=" + Doubled(name));
  }

  PathVarTable expanded;
  ExpandPathVars(expanded);
  auto substituted = [&](const std::string& value) {
    std::string result;
    SubstPathVars(Doubled(value), SubstProgramFiles, SubstSystemRoot, SubstSystemDrive,
                  PathVarNames, expanded, result);
    return result;
  };

  for (std::int32_t i = 0; i < FTypeCount; ++i) {
    const TTavFType& type = FTypes[static_cast<std::size_t>(i)];
    const std::string name = Doubled(type.Name);
    const std::string key = QuoteRegArg(name);
    WriteCmdLine(file, "ftype " + name + "=" + substituted(type.Command));
    WriteCmdLine(file, "reg add \"HKCR\\" + key + "\" /ve /d \"" +
                           QuoteRegArg(Doubled(type.Description)) + "\" /f");
    WriteCmdLine(file, "reg add \"HKCR\\" + key + "\\DefaultIcon\" /ve /d \"" +
                           QuoteRegArg(substituted(type.Icon)) + "\" /f");
  }

  Close(file);
  CheckIo();
}
