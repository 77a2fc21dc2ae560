// The registry that the Linux layer serves through the Reg*A functions: one
// read-only HKEY_CLASSES_ROOT tree, kept in Unicode as Windows keeps it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace tavplat {

/// Writes the line that says why the registry could not be loaded, if it could not, to
/// standard error, once. ExitProcess calls it, after the tool has written its standard
/// output, so that the line comes last even when both streams go to one file.
void WritePendingDiagnostic();

/// Empties HKEY_CLASSES_ROOT and marks the registry as loaded, so that TAVDUMP_REGISTRY is
/// not read afterwards; with `readAgain`, the next call reads TAVDUMP_REGISTRY as at the
/// start of a process. Tests start from here and build their tree with the calls below.
/// Handles opened before are no longer valid.
void ResetRegistry(bool readAgain = false);

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
