#include "process.h"

#include "codepage.h"
#include "registry.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr DWORD kErrorModNotFound = 126;

std::vector<std::string>& CapturedArguments() {
  static std::vector<std::string> args;
  return args;
}

// glibc calls the functions of .init_array with the arguments of main, before any
// static constructor of the program can ask for the command line.
void CaptureArguments(int argc, char** argv, char**) {
  auto& args = CapturedArguments();
  args.assign(argv, argv + argc);
}

[[gnu::used, gnu::section(".init_array")]] void (*const captureArguments)(int, char**, char**) =
    &CaptureArguments;

// The arguments as the kernel keeps them, for a process whose start was not seen.
std::vector<std::string> ArgumentsFromProc() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  const std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> args;
  std::size_t start = 0;
  while (start < all.size()) {
    const std::size_t end = std::min(all.find('\0', start), all.size());
    args.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return args;
}

}  // namespace

namespace tavplat {

std::vector<std::string> ProcessArguments() {
  const auto& captured = CapturedArguments();
  return captured.empty() ? ArgumentsFromProc() : captured;
}

std::string BuildCommandLine(const std::vector<std::string>& args) {
  std::u16string line;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::u16string arg = Utf8ToUtf16(args[i]);
    const bool quote = i == 0 || arg.empty() || arg.find_first_of(u" \t") != std::u16string::npos;
    if (i > 0) line += u' ';
    if (quote) line += u'"';
    std::size_t backslashes = 0;
    for (const char16_t c : arg) {
      if (c == u'"') line.append(backslashes + 1, u'\\');
      backslashes = c == u'\\' ? backslashes + 1 : 0;
      line += c;
    }
    if (quote) line.append(backslashes, u'\\') += u'"';
  }
  return FromUtf16(line, CP_ACP);
}

}  // namespace tavplat

LPSTR WINAPI GetCommandLineA() {
  // Windows builds the line once; its text stays put for the life of the process.
  static std::string line = tavplat::BuildCommandLine(tavplat::ProcessArguments());
  return line.data();
}

DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  if (hModule) {
    SetLastError(kErrorModNotFound);
    return 0;
  }
  std::vector<char> target(PATH_MAX + 1);
  const ssize_t length = readlink("/proc/self/exe", target.data(), PATH_MAX);
  if (length < 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  // In ANSI text a backslash separates folders, so that the caller finds the file name
  // as on Windows.
  std::string path = tavplat::FromUtf16(
      tavplat::Utf8ToUtf16(std::string_view(target.data(), static_cast<std::size_t>(length))), CP_ACP);
  std::replace(path.begin(), path.end(), '/', '\\');
  if (path.size() < nSize) {
    std::memcpy(lpFilename, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
  }
  // Too small: the name is cut to the buffer, its last place holding the zero.
  if (nSize > 0) {
    std::memcpy(lpFilename, path.data(), nSize - 1);
    lpFilename[nSize - 1] = '\0';
  }
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return nSize;
}

void WINAPI ExitProcess(UINT uExitCode) {
  // The tool flushes its standard output before it ends; the layer's line follows it.
  tavplat::WritePendingDiagnostic();
  // std::exit runs the exit handlers, so that sanitizers still report at the end.
  std::exit(static_cast<int>(uExitCode));
}
