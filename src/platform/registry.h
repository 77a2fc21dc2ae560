// The registry that the Linux layer serves through the Reg*A functions: one
// read-only HKEY_CLASSES_ROOT tree, kept in Unicode as Windows keeps it.
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
/// the Reg*A functions rebuild when `orderValid` is false; every change of `subkeys` made
/// through the functions below clears it.
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

/// Writes the line that says why the registry could not be loaded, if it could not, to
/// standard error, once. ExitProcess calls it, after the tool has written its standard
/// output, so that the line comes last even when both streams go to one file.
void WritePendingDiagnostic();

/// Empties HKEY_CLASSES_ROOT and marks the registry as loaded, so that TAVDUMP_REGISTRY is
/// not read afterwards. Tests start from here and build their tree with the calls below.
/// Handles opened before are no longer valid.
void ResetRegistry();

/// Makes the registry unloadable: every Reg*A call on HKEY_CLASSES_ROOT fails as when
/// TAVDUMP_REGISTRY is unset (with ERROR_FILE_NOT_FOUND), without a line on standard error.
void UnloadRegistry();

/// Forgets the registry and its handles, so that the next Reg*A call on HKEY_CLASSES_ROOT
/// reads TAVDUMP_REGISTRY again, as at the start of a process (tests of the loading).
void ReloadRegistry();

/// Creates the key `path` (UTF-8, names joined by backslashes, relative to
/// HKEY_CLASSES_ROOT) and every missing parent. A key that exists is kept.
void AddRegKey(const std::string& path);

/// Sets value `name` ("" is the default value) of key `path`, creating the key, with the
/// payload exactly as given (string types hold UTF-16LE bytes, as Windows stores them).
void SetRegValue(const std::string& path, const std::string& name, DWORD type,
                 const std::vector<BYTE>& data);

/// Sets value `name` of key `path` to the UTF-8 `text`, stored as UTF-16LE with its
/// terminating zero, of type `type` (REG_SZ or REG_EXPAND_SZ).
void SetRegString(const std::string& path, const std::string& name, const std::string& text,
                  DWORD type = REG_SZ);

}  // namespace tavplat
