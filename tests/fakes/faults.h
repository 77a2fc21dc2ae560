// Platform failures that logic tests inject, and a record of what the core asked of the
// platform, so that tests reach the paths that real machines rarely take. The test program
// links with ld --wrap for the functions that faults.cpp wraps, so the core's calls pass
// through this library on their way to the layer; the shipped program has none of it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace tavplat {

struct Faults {
  /// RegEnumKeyExA fails with ERROR_NO_MORE_ITEMS at these indexes.
  std::vector<DWORD> enumFailIndexes;
  /// Key path (as passed to RegOpenKeyExA, any ASCII letter case) whose default value grows
  /// by `growBy` bytes between the size query and the data query.
  std::string growValueKey;
  DWORD growBy = 0;
  /// Nonzero: ExpandEnvironmentStringsA returns 0 with this error.
  DWORD expandError = 0;
  /// Nonzero: a WriteFile to a file made by CreateFileA fails with this error once
  /// `writeFailAfter` bytes have been written to such files in total.
  DWORD writeError = 0;
  long writeFailAfter = 0;
  /// True: a WriteFile to a file made by CreateFileA writes one byte less than asked
  /// for (at least 0) and reports success.
  bool shortWrite = false;
  /// True: GetFileType returns FILE_TYPE_UNKNOWN for files made by CreateFileA.
  bool fileTypeUnknown = false;
  /// Nonzero: CloseHandle on a file made by CreateFileA fails with this error.
  DWORD closeError = 0;
};

/// What the core asked for since the last ResetFaults.
struct Trace {
  /// The byte count of every WriteFile call on a file made by CreateFileA, in order.
  std::vector<DWORD> fileWrites;
  /// ExpandEnvironmentStringsA calls.
  int expandCalls = 0;
  /// Keys opened and not yet closed.
  int openKeys = 0;
};

/// The faults in force; tests change the fields directly.
Faults& InjectedFaults();
/// The record of calls.
Trace& PlatformTrace();
/// Clears every fault and the record.
void ResetFaults();

}  // namespace tavplat
