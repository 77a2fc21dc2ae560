#include "CmdWriter.h"

#include <windows.h>

#include <vector>

#include "OutFile.h"
#include "PathVars.h"
#include "Scan.h"

namespace {

std::string Doubled(const std::string& text) {
  std::string result;
  DoublePercents(text, result);
  return result;
}

// `text` in UTF-16 as the ANSI code page reads it.
std::vector<WCHAR> AnsiToWide(const std::string& text) {
  const int length = static_cast<int>(text.size());
  if (length == 0) return {};
  std::vector<WCHAR> wide(
      static_cast<std::size_t>(MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0)));
  if (wide.empty()) return wide;
  wide.resize(static_cast<std::size_t>(MultiByteToWideChar(CP_ACP, 0, text.data(), length,
                                                           wide.data(),
                                                           static_cast<int>(wide.size()))));
  return wide;
}

// One UTF-16 character in the OEM code page, its bytes as one TOemText element.
char32_t OemChar(const WCHAR* c) {
  char bytes[4];
  const int count = WideCharToMultiByte(CP_OEMCP, 0, c, 1, bytes, sizeof bytes, nullptr, nullptr);
  char32_t code = count > 0 ? 0 : U'?';
  for (int k = 0; k < count; ++k) code = code << 8 | static_cast<unsigned char>(bytes[k]);
  return code;
}

// UTF-16 text in the OEM code page, one element per character.
TOemText OemOfWide(const std::vector<WCHAR>& wide) {
  TOemText result;
  const int units = static_cast<int>(wide.size());
  if (units == 0) return result;
  std::string bytes(
      static_cast<std::size_t>(
          WideCharToMultiByte(CP_OEMCP, 0, wide.data(), units, nullptr, 0, nullptr, nullptr)),
      '\0');
  if (!bytes.empty())
    bytes.resize(static_cast<std::size_t>(WideCharToMultiByte(CP_OEMCP, 0, wide.data(), units,
                                                              bytes.data(),
                                                              static_cast<int>(bytes.size()),
                                                              nullptr, nullptr)));
  // Every character takes at least one byte: as many bytes as characters means one each.
  if (bytes.size() == wide.size()) {
    for (char b : bytes) result += static_cast<unsigned char>(b);
    return result;
  }
  // Some took two: each on its own shows where it ends.
  for (const WCHAR& c : wide) result += OemChar(&c);
  return result;
}

// `ansi` (its own percent signs already doubled) in the OEM code page. The conversion
// maps some characters to a percent sign (per mille in 1252 to 437, for one), which cmd
// would take for a variable reference, so those are doubled as well; the percent signs
// that were there before the conversion, folder variables included, stay as they are.
TOemText OemKeepingPercents(const std::string& ansi) {
  const std::vector<WCHAR> wide = AnsiToWide(ansi);
  const TOemText oem = OemOfWide(wide);
  TOemText result;
  for (std::size_t i = 0; i < oem.size(); ++i) {
    if (oem[i] == U'%' && i < wide.size() && wide[i] != '%') result += U'%';
    result += oem[i];
  }
  return result;
}

// A value for the script, cut before anything that would end its line or the script.
std::string CmdText(const std::string& value) {
  return Doubled(UpToLineEnd(value, LineBreaksAndEof));
}

// A name or description for the script, in the OEM code page.
TOemText CmdValue(const std::string& value) { return OemKeepingPercents(CmdText(value)); }

// A command or icon for the script: percent signs doubled, enabled folders replaced by
// their variables, in the OEM code page.
TOemText CmdPathValue(const std::string& value, const bool (&enabled)[3],
                      const PathVarTable& expanded) {
  std::string substituted;
  SubstPathVars(CmdText(value), enabled[0], enabled[1], enabled[2], PathVarNames, expanded,
                substituted);
  return OemKeepingPercents(substituted);
}

// The bytes of OEM text, each character's from its highest byte down.
std::string OemBytes(const TOemText& text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (char32_t c : text) {
    int shift = 0;
    while (shift < 24 && (c >> (shift + 8)) != 0) shift += 8;
    for (; shift >= 0; shift -= 8) bytes += static_cast<char>((c >> shift) & 0xFF);
  }
  return bytes;
}

// Writes an OEM line with its line end. The carets are placed in the OEM text, as cmd
// reads it: the conversion can turn a character into a quote, < or >.
void WriteCmdLine(TextOutFile& file, const TOemText& oemLine) {
  WriteStr(file, OemBytes(EscapeCmdLine(oemLine)));
  EndLine(file);
  CheckIo();
}

// A reg add line that sets the default value of HKCR\`key` (already quoted for reg.exe)
// to `value`.
void WriteRegAddLine(TextOutFile& file, const TOemText& key, const TOemText& value) {
  WriteCmdLine(file, U"reg add \"HKCR\\" + key + U"\" /ve /d \"" + QuoteRegArg(value) + U"\" /f");
}

// assoc and ftype split their argument at the first "=", so a name holding one would
// make another key; such names are written with reg add, which takes the key whole.
bool HoldsEquals(const TOemText& name) { return name.find(U'=') != TOemText::npos; }

}  // namespace

void DoublePercents(const std::string& text, std::string& result) {
  result.clear();
  const char* end = text.c_str() + text.size();
  for (const char* p = text.c_str(); p < end;) {
    const char* next = NextChar(p, end);
    if (next == p + 1 && *p == '%') result += '%';
    result.append(p, next);
    p = next;
  }
}

void ToOem(const std::string& text, TOemText& result) { result = OemOfWide(AnsiToWide(text)); }

TOemText QuoteRegArg(const TOemText& text) {
  TOemText result;
  std::size_t backslashes = 0;
  for (char32_t c : text) {
    if (c == U'\\') {
      ++backslashes;
    } else {
      if (c == U'"') result.append(backslashes + 1, U'\\');
      backslashes = 0;
    }
    result += c;
  }
  result.append(backslashes, U'\\');
  return result;
}

TOemText EscapeCmdLine(const TOemText& line) {
  TOemText result;
  bool quoted = false;
  for (char32_t c : line) {
    if (c == U'"') quoted = !quoted;
    if (!quoted && (c == U'^' || c == U'&' || c == U'|' || c == U'<' || c == U'>'))
      result += U'^';
    result += c;
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
    const TOemText extName = CmdValue(ext.Ext);
    if (HoldsEquals(extName))
      WriteRegAddLine(file, QuoteRegArg(extName), CmdValue(name));
    else
      WriteCmdLine(file, U"assoc " + extName + U"=" + CmdValue(name));
  }

  PathVarTable expanded;
  ExpandPathVars(expanded);
  const bool enabled[3] = {SubstProgramFiles, SubstSystemRoot, SubstSystemDrive};

  for (std::int32_t i = 0; i < FTypeCount; ++i) {
    const TTavFType& type = FTypes[static_cast<std::size_t>(i)];
    const TOemText name = CmdValue(type.Name);
    const TOemText key = QuoteRegArg(name);
    const TOemText command = CmdPathValue(type.Command, enabled, expanded);
    if (HoldsEquals(name))
      WriteRegAddLine(file, key + U"\\shell\\open\\command", command);
    else
      WriteCmdLine(file, U"ftype " + name + U"=" + command);
    WriteRegAddLine(file, key, CmdValue(type.Description));
    WriteRegAddLine(file, key + U"\\DefaultIcon", CmdPathValue(type.Icon, enabled, expanded));
  }

  Close(file);
  CheckIo();
}
