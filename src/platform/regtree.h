// The registry tree: keys, their values and subkeys, in Unicode as Windows keeps them,
// compared and enumerated as Windows compares and enumerates them. Loaders build it; the
// Reg*A functions serve it. It knows neither.
#pragma once

#include <windows.h>

#include <list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tavplat {

/// One value of a key: its name as stored ("" is the default value), its type code and its
/// payload exactly as stored (string types hold UTF-16LE bytes).
struct RegValue {
  std::u16string name;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

/// The values of one key in the order they were set, with an index by FoldKeyName of their
/// names, so that a key with many values is still read and written in logarithmic time.
/// The functions below keep the two in step.
struct RegValues {
  std::list<RegValue> list;
  std::map<std::u16string, std::list<RegValue>::iterator> byName;

  RegValues() = default;
  RegValues(RegValues&&) = default;
  RegValues& operator=(RegValues&&) = default;
  // A copy of the index would point into the other list.
  RegValues(const RegValues&) = delete;
  RegValues& operator=(const RegValues&) = delete;

  auto begin() const { return list.begin(); }
  auto end() const { return list.end(); }
  std::size_t size() const { return list.size(); }
};

/// One key: its name with its letter case, its values in the order they were set, and its
/// subkeys. `subkeys` is indexed by FoldKeyName of the subkey's name, so that its order is
/// the order in which Windows enumerates them. `order` and `longestName` are a cache that
/// BuildOrder rebuilds when `orderValid` is false; every change of `subkeys` made through
/// the functions below clears it.
struct RegKey {
  std::u16string name;
  RegValues values;
  std::map<std::u16string, std::unique_ptr<RegKey>> subkeys;
  std::vector<RegKey*> order;
  DWORD longestName = 0;
  bool orderValid = false;
};

/// `name` as the registry compares and sorts key and value names: every UTF-16 code unit
/// upper-cased (UpperChar), so that names equal without regard to letter case fold alike.
std::u16string FoldKeyName(std::u16string_view name);

/// The subkey `name` (any letter case) of `key`, or null.
RegKey* FindSubkey(RegKey& key, std::u16string_view name);
/// The subkey `name` of `key`, created with that spelling when it does not exist.
RegKey& MakeSubkey(RegKey& key, std::u16string_view name);
/// Removes the subkey `name` of `key` with everything below it; no subkey, no change.
void DeleteSubkey(RegKey& key, std::u16string_view name);

/// The value `name` (any letter case; "" the default value) of `key`, or null.
RegValue* FindValue(RegKey& key, std::u16string_view name);
/// Sets a value of `key`, replacing one of the same name (its spelling is kept).
void SetValue(RegKey& key, RegValue value);
/// Removes the value `name` of `key`; no value, no change.
void DeleteValue(RegKey& key, std::u16string_view name);

/// Puts `user`, the user's classes, over `machine`, the machine's, as Windows merges the two
/// into HKEY_CLASSES_ROOT: a key that the user has takes the user's values (and spelling)
/// instead of the machine's, and the subkeys of both appear. `user` is consumed.
void MergeClasses(RegKey& machine, RegKey&& user);

/// Makes `order` (the subkeys by index, as the enumeration counts them) and `longestName`
/// (in UTF-16 units) of `key` current.
void BuildOrder(RegKey& key);

}  // namespace tavplat
