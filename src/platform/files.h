// How the Linux layer turns Windows file names and Linux errors into what the file
// functions of the platform report.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace tavplat {

struct LinuxPath {
  /// The absolute UTF-8 path, "." and ".." resolved by name as Windows resolves them.
  std::string path;
  /// Nonzero: the Windows error the name itself gives, and `path` is empty.
  DWORD error = 0;
  /// True when the name ends in a folder separator (it can only name a folder).
  bool folderOnly = false;
};

/// The Linux path of the ANSI file name `name`, read as CreateFileA reads it: backslashes
/// and slashes separate folders (a trail byte of a double-byte character never does),
/// trailing dots and blanks of the last name are dropped, "NUL" in any folder is the null
/// device, wildcard and control characters give ERROR_INVALID_NAME, more than MAX_PATH
/// characters ERROR_FILENAME_EXCED_RANGE and an empty name ERROR_PATH_NOT_FOUND. A
/// relative name is taken from the current folder.
LinuxPath ToLinuxPath(std::string_view name);

/// The Windows error code that the failure `errnoValue` gives on the platform.
DWORD ErrorFromErrno(int errnoValue);

/// Bytes written to files made by CreateFileA since the last ResetFaults; the injected
/// write failure counts from here.
long& CreatedFileBytes();

}  // namespace tavplat
