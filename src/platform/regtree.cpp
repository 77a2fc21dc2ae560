#include "regtree.h"

#include <algorithm>

#include "codepage.h"

namespace tavplat {

std::u16string FoldKeyName(std::u16string_view name) {
  std::u16string folded(name);
  for (char16_t& c : folded) c = UpperChar(c);
  return folded;
}

RegKey* FindSubkey(RegKey& key, std::u16string_view name) {
  auto it = key.subkeys.find(FoldKeyName(name));
  return it == key.subkeys.end() ? nullptr : it->second.get();
}

RegKey& MakeSubkey(RegKey& key, std::u16string_view name) {
  auto [it, added] = key.subkeys.try_emplace(FoldKeyName(name));
  if (added) {
    it->second = std::make_unique<RegKey>();
    it->second->name = name;
    key.orderValid = false;
  }
  return *it->second;
}

void DeleteSubkey(RegKey& key, std::u16string_view name) {
  if (key.subkeys.erase(FoldKeyName(name)) > 0) key.orderValid = false;
}

RegValue* FindValue(RegKey& key, std::u16string_view name) {
  auto it = key.values.byName.find(FoldKeyName(name));
  return it == key.values.byName.end() ? nullptr : &*it->second;
}

void SetValue(RegKey& key, RegValue value) {
  auto [it, added] = key.values.byName.try_emplace(FoldKeyName(value.name));
  if (!added) {
    it->second->type = value.type;
    it->second->data = std::move(value.data);
    return;
  }
  try {
    it->second = key.values.list.insert(key.values.list.end(), std::move(value));
  } catch (...) {
    key.values.byName.erase(it);  // no index entry without its value
    throw;
  }
}

void DeleteValue(RegKey& key, std::u16string_view name) {
  auto it = key.values.byName.find(FoldKeyName(name));
  if (it == key.values.byName.end()) return;
  key.values.list.erase(it->second);
  key.values.byName.erase(it);
}

void MergeClasses(RegKey& machine, RegKey&& user) {
  for (auto& [folded, sub] : user.subkeys) {
    auto it = machine.subkeys.find(folded);
    if (it == machine.subkeys.end()) {
      machine.subkeys.emplace(folded, std::move(sub));
      machine.orderValid = false;
      continue;
    }
    RegKey& target = *it->second;
    target.name = sub->name;
    target.values = std::move(sub->values);
    MergeClasses(target, std::move(*sub));
  }
  user.subkeys.clear();
}

void BuildOrder(RegKey& key) {
  if (key.orderValid) return;
  key.order.clear();
  key.order.reserve(key.subkeys.size());
  key.longestName = 0;
  for (auto& [folded, sub] : key.subkeys) {
    key.order.push_back(sub.get());
    key.longestName = std::max(key.longestName, static_cast<DWORD>(sub->name.size()));
  }
  key.orderValid = true;
}

}  // namespace tavplat
