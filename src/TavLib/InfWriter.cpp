#include "InfWriter.h"

#include <windows.h>

#include <vector>

#include "PathVars.h"
#include "Scan.h"

std::string EscapeInfStr(const std::string& text) {
  std::string result;
  const char* end = text.c_str() + text.size();
  for (const char* p = text.c_str(); p < end;) {
    const char* next = NextChar(p, end);
    if (next == p + 1 && (*p == '"' || *p == '%')) result += *p;
    result.append(p, next);
    p = next;
  }
  return result;
}

void WriteInfLine(RawOutFile& file, const std::string& line) {
  const std::string text = line + "\r\n";
  const int length = static_cast<int>(text.size());
  int units = MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), length, nullptr, 0);
  if (units == 0) return;
  std::vector<WCHAR> wide(static_cast<std::size_t>(units));
  units = MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), length, wide.data(), units);
  if (units == 0) return;
  WriteBlock(file, wide.data(), static_cast<std::size_t>(units) * sizeof(WCHAR));
  CheckIo();
}

void SaveToInf(const std::string& FileName, const TTavTavs& Exts, std::int32_t ExtCount,
               const TTavFTypes& FTypes, std::int32_t FTypeCount, bool SubstSystemRoot,
               bool SubstSystemDrive) {
  RawOutFile file;
  Create(file, FileName);
  CheckIo();
  static const unsigned char ByteOrderMark[] = {0xFF, 0xFE};
  WriteBlock(file, ByteOrderMark, sizeof ByteOrderMark);
  CheckIo();

  for (const char* line : {"[version]", "signature=\"$CHICAGO$\"",
                           "ClassGUID={00000000-0000-0000-0000-000000000000}", "",
                           "[DefaultInstall]", "AddReg=TavReg", "", "[TavReg]"})
    WriteInfLine(file, line);

  for (std::int32_t i = 0; i < ExtCount; ++i) {
    const TTavExt& ext = Exts[static_cast<std::size_t>(i)];
    WriteInfLine(file, "HKCR,\"" + EscapeInfStr(ext.Ext) + "\",,,\"" +
                           EscapeInfStr(FTypes[static_cast<std::size_t>(ext.FType)].Name) + "\"");
  }

  PathVarTable expanded;
  ExpandPathVars(expanded);
  auto escaped = [](const std::string& value) {
    return EscapeInfStr(UpToLineEnd(value, LineBreaksAndEof));
  };
  auto substituted = [&](const std::string& value) {
    std::string result;
    SubstPathVars(escaped(value), false, SubstSystemRoot, SubstSystemDrive, InfDirIds, expanded,
                  result);
    return result;
  };

  for (std::int32_t i = 0; i < FTypeCount; ++i) {
    const TTavFType& type = FTypes[static_cast<std::size_t>(i)];
    const std::string key = "HKCR,\"" + EscapeInfStr(type.Name);
    WriteInfLine(file, key + "\",,,\"" + escaped(type.Description) + "\"");
    WriteInfLine(file, key + "\\shell\\open\\command\",,,\"" + substituted(type.Command) + "\"");
    WriteInfLine(file, key + "\\DefaultIcon\",,,\"" + substituted(type.Icon) + "\"");
  }

  Close(file);
  CheckIo();
}
