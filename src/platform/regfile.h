// The registry export files that TAVDUMP_REGISTRY names, as regedit writes and reads them,
// turned into the HKEY_CLASSES_ROOT tree that the Reg*A functions serve.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "regtree.h"

namespace tavplat {

/// Reads the registry export file `path` into `classesRoot` (which it empties first).
/// Returns ERROR_SUCCESS; ERROR_FILE_NOT_FOUND when the file cannot be read; ERROR_BADDB
/// when it is not a valid export. On failure `error` holds one line without a line end
/// that names the file and says what is wrong, such as `qv.reg:12: expected "=" after the
/// value name`, and `classesRoot` is empty.
LSTATUS LoadRegFile(const std::string& path, RegKey& classesRoot, std::string& error);

/// The same for the file's bytes already in memory; `name` stands for the file in messages.
///
/// The file is `REGEDIT4` (text in the ANSI code page; the bytes of hex(1), hex(2) and
/// hex(7) values are ANSI text too) or `Windows Registry Editor Version 5.00` (UTF-16LE
/// with its byte-order mark, or UTF-8 with or without one; those bytes are UTF-16LE).
/// Keys under HKEY_CLASSES_ROOT and HKEY_LOCAL_MACHINE\SOFTWARE\Classes form the machine's
/// part, keys under HKEY_CURRENT_USER\Software\Classes the user's; MergeClasses joins them.
/// A section under HKEY_CLASSES_ROOT sets values where Windows would write them (in the
/// user's key when the user has that key, else in the machine's) and deletes from both.
/// Keys under other roots are checked for syntax and left out. A key line may name at most
/// 512 keys below its root key, as deep as Windows nests keys; a deeper one is an error.
/// Messages quote at most 60 characters of the file, control characters as escapes.
LSTATUS ParseRegFile(std::string_view bytes, const std::string& name, RegKey& classesRoot,
                     std::string& error);

}  // namespace tavplat
