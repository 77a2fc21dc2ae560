#include "PathVars.h"

#include "RegAccess.h"
#include "Scan.h"

const PathVarTable PathVarNames = {"%programfiles%", "%systemroot%", "%systemdrive%"};
const PathVarTable InfDirIds = {"", "%10%", "%24%"};

void ExpandPathVars(PathVarTable& expanded) {
  for (std::size_t i = 0; i < expanded.size(); ++i) {
    std::string path;
    ExpandEnvStr(PathVarNames[i], path);
    expanded[i] = UpperCase(path);
  }
}

bool TryPathVar(bool enabled, std::size_t index, const std::string& text, std::size_t& position,
                std::string& result, const PathVarTable& tokens, const PathVarTable& expanded) {
  const std::string& folder = expanded[index];
  if (!enabled || folder.empty()) return false;
  if (text.size() - position + 1 < folder.size()) return false;
  if (UpperCase(text.substr(position - 1, folder.size())) != folder) return false;
  result += tokens[index];
  position += folder.size();
  return true;
}

void SubstPathVars(const std::string& text, bool enable0, bool enable1, bool enable2,
                   const PathVarTable& tokens, const PathVarTable& expanded, std::string& result) {
  result.clear();
  const char* end = text.c_str() + text.size();
  std::size_t position = 1;
  // Steps by whole characters, so that no folder is found inside a double-byte one.
  while (position <= text.size()) {
    if (TryPathVar(enable0, 0, text, position, result, tokens, expanded) ||
        TryPathVar(enable1, 1, text, position, result, tokens, expanded) ||
        TryPathVar(enable2, 2, text, position, result, tokens, expanded))
      continue;
    const char* p = text.c_str() + position - 1;
    const char* next = NextChar(p, end);
    result.append(p, next);
    position += static_cast<std::size_t>(next - p);
  }
}
