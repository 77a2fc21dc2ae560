#include "Scan.h"

#include <windows.h>

#include <vector>

#include "RegAccess.h"

void EnumRootKeys(TTavArrayOfString& Keys, std::uint32_t subKeyCount, std::uint32_t maxNameLen) {
  std::vector<char> name(static_cast<std::size_t>(maxNameLen) + 1, '\0');
  Keys.assign(subKeyCount, std::string());
  for (std::uint32_t i = subKeyCount; i-- > 0;) {
    Keys[i].clear();
    DWORD length = maxNameLen + 1;
    if (RegEnumKeyExA(HKEY_CLASSES_ROOT, i, name.data(), &length, nullptr, nullptr, nullptr,
                      nullptr) == ERROR_SUCCESS)
      Keys[i] = std::string(name.data());
  }
}

std::string UpperCase(const std::string& text) {
  std::string copy = text;
  if (!copy.empty()) CharUpperBuffA(copy.data(), static_cast<DWORD>(copy.size()));
  return copy;
}

bool MatchFileType(const std::string& keyName, const std::string& upperPath, TScanPass pass,
                   std::string& command, std::string& description, std::string& icon) {
  if (!ReadDefaultValue(keyName + "\\shell\\open\\command", command)) return false;
  std::size_t found = upperPath.empty() ? std::string::npos : UpperCase(command).find(upperPath);
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
      if (name.empty() || name[0] == '.') continue;
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
    if (name.empty() || name[0] != '.') continue;
    if (!ReadDefaultValue(name, value)) continue;
    std::int32_t index = 0;
    if (!FindFTypeIndex(value, byName, index)) continue;
    TTavExt& record = Exts[static_cast<std::size_t>(count++)];
    record.Ext = name;
    record.FType = index;
  }
  return count;
}
