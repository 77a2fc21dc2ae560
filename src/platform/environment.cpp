#include "codepage.h"
#include "machine.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

namespace tavplat {

namespace {

bool SameNameIgnoringCase(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char16_t x, char16_t y) { return UpperChar(x) == UpperChar(y); });
}

// The value of the variable `name` in UTF-16. Windows keeps one variable per name in
// any letter case; Linux may hold several, and the one written exactly so wins.
std::optional<std::u16string> FindVariable(std::u16string_view name) {
  if (name.empty()) return std::nullopt;
  std::optional<std::u16string> caseless;
  for (char** entry = environ; entry && *entry; ++entry) {
    const char* equals = std::strchr(*entry, '=');
    if (!equals || equals == *entry) continue;
    const std::u16string entryName = Utf8ToUtf16(std::string_view(*entry, equals - *entry));
    if (entryName == name) return Utf8ToUtf16(equals + 1);
    if (!caseless && SameNameIgnoringCase(entryName, name)) caseless = Utf8ToUtf16(equals + 1);
  }
  if (caseless) return caseless;
  // What the process does not set, the machine the registry comes from may define.
  const auto& variables = Facts().variables;
  for (auto it = variables.rbegin(); it != variables.rend(); ++it)
    if (SameNameIgnoringCase(it->first, name)) return it->second;
  return std::nullopt;
}

// `text` with every reference to a defined variable replaced by its value.
std::u16string ExpandVariables(std::u16string_view text) {
  std::u16string out;
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] != u'%') {
      const std::size_t next = std::min(text.find(u'%', i), text.size());
      out.append(text.substr(i, next - i));
      i = next;
      continue;
    }
    const std::size_t close = text.find(u'%', i + 1);
    if (close == std::u16string_view::npos) {
      out.append(text.substr(i));
      break;
    }
    // An unknown name stays as written, both percent signs included, and the scan goes
    // on behind its closing percent sign.
    if (const auto value = FindVariable(text.substr(i + 1, close - i - 1))) {
      out += *value;
    } else {
      out.append(text.substr(i, close - i + 1));
    }
    i = close + 1;
  }
  return out;
}

}  // namespace
}  // namespace tavplat

DWORD WINAPI ExpandEnvironmentStringsA(LPCSTR lpSrc, LPSTR lpDst, DWORD nSize) {
  const std::u16string expanded = tavplat::ExpandVariables(tavplat::ToUtf16(lpSrc, CP_ACP));
  const std::string ansi = tavplat::FromUtf16(expanded, CP_ACP) + '\0';
  const auto needed = static_cast<DWORD>(ansi.size());
  // A buffer too small is left for the caller to ask again with the size returned.
  if (nSize < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return needed;
  }
  std::memcpy(lpDst, ansi.data(), ansi.size());
  return needed;
}
