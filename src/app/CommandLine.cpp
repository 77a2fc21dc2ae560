#include "CommandLine.h"

#include <windows.h>

#include "Scan.h"

namespace {

// Positions of the last single-byte character of `name` that is one of `chars`, or npos.
std::size_t FindLastOf(const std::string& name, const char* chars) {
  std::size_t found = std::string::npos;
  const char* begin = name.c_str();
  const char* end = begin + name.size();
  for (const char* p = begin; p < end;) {
    const char* next = NextChar(p, end);
    if (next == p + 1) {
      for (const char* c = chars; *c; ++c)
        if (*p == *c) found = static_cast<std::size_t>(p - begin);
    }
    p = next;
  }
  return found;
}

bool IsBlank(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return u >= 1 && u <= 32;
}

}  // namespace

std::vector<std::string> SplitParameters(const char* commandLine) {
  std::vector<std::string> parameters;
  const char* p = commandLine;
  const char* end = commandLine + std::char_traits<char>::length(commandLine);
  for (;;) {
    while (IsBlank(*p) || (p[0] == '"' && p[1] == '"')) p += *p == '"' ? 2 : 1;
    std::string parameter;
    bool quoted = false;
    while (*p && (quoted || !IsBlank(*p))) {
      const char* next = NextChar(p, end);
      if (*p == '"' && next == p + 1)
        quoted = !quoted;
      else
        parameter.append(p, next);
      p = next;
    }
    if (parameter.empty()) break;
    parameters.push_back(parameter);
  }
  return parameters;
}

std::string UpperAscii(const std::string& text) {
  std::string result = text;
  for (char& c : result)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return result;
}

std::string ExtractExt(const std::string& name) {
  std::size_t last = FindLastOf(name, ".\\:");
  if (last == std::string::npos || name[last] != '.') return "";
  return name.substr(last);
}

std::string FileNamePart(const std::string& name) {
  std::size_t last = FindLastOf(name, "\\:");
  return last == std::string::npos ? name : name.substr(last + 1);
}

void ForceExt(std::string& FileName, const std::string& ext) {
  const std::string current = ExtractExt(FileName);
  if (UpperAscii(current) == UpperAscii(ext))
    FileName += ext;
  else
    FileName = FileName.substr(0, FileName.size() - current.size()) + ext;
}

void ChooseOutput(const std::string& ProgramPath, const std::string& outputName,
                  std::string& FileName, TOutFormat& format) {
  format = ofCmd;
  if (outputName.empty()) {
    FileName = FileNamePart(ProgramPath);
    ForceExt(FileName, ".CMD");
    return;
  }
  FileName = outputName;
  const std::string ext = UpperAscii(ExtractExt(FileName));
  if (ext == ".REG")
    format = ofReg;
  else if (ext == ".INF")
    format = ofInf;
  else if (ext != ".CMD")
    ForceExt(FileName, ".CMD");
}
