// Tavdump: saves the file associations of one program as a script or file that
// re-creates them.
#include <windows.h>

#include <new>
#include <string>
#include <vector>

#include "CmdWriter.h"
#include "CommandLine.h"
#include "InfWriter.h"
#include "RegWriter.h"
#include "Report.h"
#include "Scan.h"

namespace {

const char* const Banner[] = {
    "Tavdump v0.1 beta",
    "Supported saving to CMD, REG and INF files",
    "Written by the Tavdump developers <tavdump@example.org>",
    "Help and news: https://example.org/tavdump",
    "",
};

const char* const Usage[] = {
    "  Usage:",
    " Tavdump ProgramPath [filename[.CMD|.REG|.INF]]",
    "  or",
    " Tavdump PartOfProgramPath [filename[.CMD|.REG|.INF]]",
    "",
    "Default result is CMD-file.",
};

const char* const ErrorMessages[] = {
    "Error calling RegQueryInfoKey(HKEY_CLASSES_ROOT,...",
    "No associations found",
};

[[noreturn]] void ShowUsage() {
  for (const char* line : Usage) WriteStdLine(line);
  EndRun(1);
}

[[noreturn]] void FailWith(int code) {
  WriteStdLine(std::string("Error: ") + ErrorMessages[code - 2]);
  EndRun(static_cast<unsigned>(code));
}

[[noreturn]] __attribute__((noinline)) void OutOfMemory() {
  FailOutOfMemory(__builtin_return_address(0));
}

void Run() {
  for (const char* line : Banner) WriteStdLine(line);

  const std::vector<std::string> parameters = SplitParameters(GetCommandLineA());
  const std::size_t count = parameters.empty() ? 0 : parameters.size() - 1;
  if (count != 1 && count != 2) ShowUsage();
  const std::string ProgramPath = parameters[1];

  std::string FileName;
  TOutFormat format = ofCmd;
  ChooseOutput(ProgramPath, count == 2 ? parameters[2] : std::string(), FileName, format);

  DWORD subKeyCount = 0;
  DWORD maxNameLen = 0;
  if (RegQueryInfoKeyA(HKEY_CLASSES_ROOT, nullptr, nullptr, nullptr, &subKeyCount, &maxNameLen,
                       nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
    FailWith(2);

  TTavArrayOfString Keys;
  EnumRootKeys(Keys, subKeyCount, maxNameLen);
  TTavFTypes FTypes;
  const std::int32_t FTypeCount = FindFileTypes(UpperCase(ProgramPath), FTypes, Keys);
  if (FTypeCount == 0) FailWith(3);
  TTavTavs Exts;
  const std::int32_t ExtCount = FindExtensions(Exts, FTypes, FTypeCount, Keys);

  switch (format) {
    case ofCmd:
      SaveToCmd(FileName, Exts, ExtCount, FTypes, FTypeCount, true, true, true);
      break;
    case ofReg:
      SaveToReg(FileName, Exts, ExtCount, FTypes, FTypeCount);
      break;
    case ofInf:
      SaveToInf(FileName, Exts, ExtCount, FTypes, FTypeCount, true, true);
      break;
  }
}

}  // namespace

int main() {
  try {
    Run();
  } catch (const std::bad_alloc&) {
    OutOfMemory();
  }
  EndRun(0);
}
