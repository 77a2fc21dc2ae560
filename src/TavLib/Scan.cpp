#include "Scan.h"

#include <windows.h>

#include <vector>

#include "RegAccess.h"

namespace {

// A registry key name has at most 255 UTF-16 characters, so no ANSI form needs more.
constexpr std::size_t LongestAnsiName = 4 * 256;

// True when `name` holds CR, LF or Ctrl-Z. A byte search is exact: no double-byte code
// page has trail bytes below 0x40.
bool HoldsLineEnd(const std::string& name) {
  return name.find_first_of("\r\n\x1A") != std::string::npos;
}

// The first occurrence of `what` in `text` that starts at a whole character, or npos: a
// match that begins at a trail byte is no match of the characters.
std::size_t FindAtChar(const std::string& text, const std::string& what) {
  const char* begin = text.c_str();
  const char* end = begin + text.size();
  const char* p = begin;
  for (std::size_t found = text.find(what); found != std::string::npos;
       found = text.find(what, found + 1)) {
    while (p < begin + found) p = NextChar(p, end);
    if (p == begin + found) return found;
  }
  return std::string::npos;
}

}  // namespace

void EnumRootKeys(TTavArrayOfString& Keys, std::uint32_t subKeyCount, std::uint32_t maxNameLen) {
  // The longest length counts UTF-16 characters; the ANSI form of a name can be longer.
  std::vector<char> name(2 * static_cast<std::size_t>(maxNameLen) + 1, '\0');
  Keys.assign(subKeyCount, std::string());
  for (std::uint32_t i = subKeyCount; i-- > 0;) {
    Keys[i].clear();
    for (;;) {
      DWORD length = static_cast<DWORD>(name.size());
      const LSTATUS status = RegEnumKeyExA(HKEY_CLASSES_ROOT, i, name.data(), &length, nullptr,
                                           nullptr, nullptr, nullptr);
      if (status == ERROR_SUCCESS) Keys[i] = std::string(name.data());
      if (status != ERROR_MORE_DATA || name.size() > LongestAnsiName) break;
      name.resize(2 * name.size());
    }
  }
}

const char* NextChar(const char* p, const char* end) {
  const char* next = CharNextA(p);
  return next <= p || next > end ? p + 1 : next;
}

std::string UpperCase(const std::string& text) {
  std::string copy = text;
  if (!copy.empty()) CharUpperBuffA(copy.data(), static_cast<DWORD>(copy.size()));
  return copy;
}

bool MatchFileType(const std::string& keyName, const std::string& upperPath, TScanPass pass,
                   std::string& command, std::string& description, std::string& icon) {
  if (!ReadDefaultValue(keyName + "\\shell\\open\\command", command)) return false;
  std::size_t found =
      upperPath.empty() ? std::string::npos : FindAtChar(UpperCase(command), upperPath);
  // Counted from 1, 0 when absent; an opening quote moves it back, so it can go below 0.
  long long position = found == std::string::npos ? 0 : static_cast<long long>(found) + 1;
  if (command[0] == '"') position -= 1;
  bool matches = pass == spPrefix ? position == 1 : position > 0;
  if (!matches) return false;
  description.clear();
  ReadDefaultValue(keyName, description);
  icon.clear();
  ReadDefaultValue(keyName + "\\DefaultIcon", icon);
  return true;
}

std::int32_t FindFileTypes(const std::string& upperPath, TTavFTypes& FTypes,
                           const TTavArrayOfString& Keys) {
  FTypes.assign(Keys.size(), TTavFType());
  std::int32_t count = 0;
  for (TScanPass pass : {spPrefix, spContains}) {
    for (const std::string& name : Keys) {
      if (name.empty() || name[0] == '.' || HoldsLineEnd(name)) continue;
      TTavFType& record = FTypes[static_cast<std::size_t>(count)];
      if (MatchFileType(name, upperPath, pass, record.Command, record.Description, record.Icon)) {
        record.Name = name;
        ++count;
      }
    }
    if (count > 0) break;
  }
  // A failed match may have left text in the record behind the last filled one.
  for (std::size_t i = static_cast<std::size_t>(count); i < FTypes.size(); ++i)
    FTypes[i] = TTavFType();
  return count;
}

TFTypeIndex IndexFTypes(const TTavFTypes& FTypes, std::int32_t FTypeCount) {
  TFTypeIndex byName;
  byName.reserve(static_cast<std::size_t>(FTypeCount));
  for (std::int32_t i = 0; i < FTypeCount; ++i)
    byName.emplace(FTypes[static_cast<std::size_t>(i)].Name, i);
  return byName;
}

bool FindFTypeIndex(const std::string& name, const TFTypeIndex& byName, std::int32_t& index) {
  auto found = byName.find(name);
  if (found == byName.end()) return false;
  index = found->second;
  return true;
}

std::int32_t FindExtensions(TTavTavs& Exts, const TTavFTypes& FTypes, std::int32_t FTypeCount,
                            const TTavArrayOfString& Keys) {
  Exts.assign(Keys.size(), TTavExt());
  const TFTypeIndex byName = IndexFTypes(FTypes, FTypeCount);
  std::int32_t count = 0;
  std::string value;
  for (const std::string& name : Keys) {
    if (name.empty() || name[0] != '.' || HoldsLineEnd(name)) continue;
    if (!ReadDefaultValue(name, value)) continue;
    std::int32_t index = 0;
    if (!FindFTypeIndex(value, byName, index)) continue;
    TTavExt& record = Exts[static_cast<std::size_t>(count++)];
    record.Ext = name;
    record.FType = index;
  }
  return count;
}
