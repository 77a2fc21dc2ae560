#include "Report.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "OutFile.h"

namespace {

TextOutFile StdOut;

// The file name of the running program, without its folder.
std::string ModuleName() {
  char path[MAX_PATH + 1] = {};
  DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string name(path, length < MAX_PATH ? length : MAX_PATH);
  std::size_t slash = name.find_last_of("\\/:");
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

[[noreturn]] void Fail(const std::string& kind, const std::string& message, const void* place) {
  if (StdOut.IsOpen) FlushBuffer(StdOut);
  std::string text = FailureText(kind, ModuleName(), place, message);
  std::vector<char> oem(text.begin(), text.end());
  oem.push_back('\0');
  CharToOemA(oem.data(), oem.data());
  std::string report(oem.data(), text.size());
  report += "\r\n";
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  DWORD written = 0;
  if (err != INVALID_HANDLE_VALUE && err != nullptr)
    WriteFile(err, report.data(), static_cast<DWORD>(report.size()), &written, nullptr);
  ExitProcess(1);
}

}  // namespace

std::string IoErrorMessage(int code) {
  switch (code) {
    case 2: return "File not found";
    case 3: return "Invalid filename";
    case 4: return "Too many open files";
    case 5: return "File access denied";
    case 100: return "Read beyond end of file";
    case 101: return "Disk full";
    case 106: return "Invalid numeric input";
    default: return "I/O error " + std::to_string(code);
  }
}

std::string FailureText(const std::string& kind, const std::string& module, const void* place,
                        const std::string& message) {
  char address[9];
  std::snprintf(address, sizeof address, "%08X",
                static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(place)));
  std::string text = "Exception " + kind + " in module " + module + " at " + address + ".\r\n";
  text += message;
  if (!message.empty() && message.back() != '.') text += '.';
  text += "\r\n";
  return text;
}

void WriteStdLine(const std::string& line) {
  if (!StdOut.IsOpen) {
    OpenStd(StdOut, STD_OUTPUT_HANDLE);
    CheckIo();
  }
  WriteStr(StdOut, line);
  EndLine(StdOut);
  CheckIo();
}

void EndRun(unsigned exitCode) {
  if (StdOut.IsOpen) {
    FlushBuffer(StdOut);
    CheckIo();
  }
  ExitProcess(exitCode);
}

void FailIo(int code, const void* place) { Fail("EInOutError", IoErrorMessage(code), place); }

void FailOutOfMemory(const void* place) { Fail("EOutOfMemory", "Out of memory", place); }
