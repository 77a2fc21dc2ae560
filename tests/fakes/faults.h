// Platform failures that logic tests inject, and a record of what the core asked of the
// platform, so that tests reach the paths that real machines rarely take. The test program
// links with ld --wrap for the functions that faults.cpp wraps, so the core's calls pass
// through this library on their way to the layer; the shipped program has none of it.
// Tests set the fields directly and clear them all with `tavplat::injected = {}`.
#pragma once

#include <windows.h>

#include <vector>

namespace tavplat {

struct Faults {
  std::vector<DWORD> enumFailIndexes;  // RegEnumKeyExA answers ERROR_NO_MORE_ITEMS there
  DWORD growBy = 0;       // a default value grows by this between the size and the data query
  DWORD expandError = 0;  // ExpandEnvironmentStringsA fails with this
  DWORD writeError = 0;   // WriteFile fails with this once `writesBeforeFailure` calls were made
  std::size_t writesBeforeFailure = 0;
  bool shortWrite = false;       // WriteFile writes one byte less and reports success
  bool fileTypeUnknown = false;  // GetFileType answers FILE_TYPE_UNKNOWN
  DWORD closeError = 0;          // CloseHandle closes and fails with this
  // The record: byte count of every WriteFile call, ExpandEnvironmentStringsA calls, and
  // keys opened and not yet closed.
  std::vector<DWORD> fileWrites;
  int expandCalls = 0;
  int openKeys = 0;
};

inline Faults injected;

}  // namespace tavplat
