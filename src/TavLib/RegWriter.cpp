#include "RegWriter.h"

#include "OutFile.h"
#include "Scan.h"

namespace {

void WriteRegLine(TextOutFile& file, const std::string& line) {
  WriteStr(file, line);
  EndLine(file);
  CheckIo();
}

void WriteKeyLine(TextOutFile& file, const std::string& key) {
  WriteRegLine(file, "");
  WriteRegLine(file, "[HKEY_CLASSES_ROOT\\" + key + "]");
}

void WriteValueLine(TextOutFile& file, const std::string& value) {
  WriteRegLine(file, "@=\"" + EscapeRegStr(UpToLineEnd(value, LineBreaks)) + "\"");
}

}  // namespace

std::string EscapeRegStr(const std::string& text) {
  std::string result;
  const char* end = text.c_str() + text.size();
  for (const char* p = text.c_str(); p < end;) {
    const char* next = NextChar(p, end);
    if (next == p + 1 && (*p == '"' || *p == '\\')) result += '\\';
    result.append(p, next);
    p = next;
  }
  return result;
}

void SaveToReg(const std::string& FileName, const TTavTavs& Exts, std::int32_t ExtCount,
               const TTavFTypes& FTypes, std::int32_t FTypeCount) {
  TextOutFile file;
  Create(file, FileName);
  CheckIo();
  WriteRegLine(file, "REGEDIT4");

  for (std::int32_t i = 0; i < ExtCount; ++i) {
    const TTavExt& ext = Exts[static_cast<std::size_t>(i)];
    WriteKeyLine(file, ext.Ext);
    WriteValueLine(file, FTypes[static_cast<std::size_t>(ext.FType)].Name);
  }

  for (std::int32_t i = 0; i < FTypeCount; ++i) {
    const TTavFType& type = FTypes[static_cast<std::size_t>(i)];
    WriteKeyLine(file, type.Name);
    WriteValueLine(file, type.Description);
    WriteKeyLine(file, type.Name + "\\DefaultIcon");
    WriteValueLine(file, type.Icon);
    WriteKeyLine(file, type.Name + "\\shell");
    WriteKeyLine(file, type.Name + "\\shell\\open");
    WriteKeyLine(file, type.Name + "\\shell\\open\\command");
    WriteValueLine(file, type.Command);
  }

  Close(file);
  CheckIo();
}
