// The machine whose registry the layer serves. TAVDUMP_REGISTRY names its sources (else the
// Wine prefix in WINEPREFIX or ~/.wine stands for it); each source gives part of
// HKEY_CLASSES_ROOT and may tell what the run needs to know of the machine it comes from:
// its folders and variables and its code pages.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "regtree.h"

namespace tavplat {

/// What the sources tell of their machine. The process environment and TAVDUMP_ACP and
/// TAVDUMP_OEMCP come before it.
struct MachineFacts {
  /// Environment variables as the machine defines them (name, value), a later entry over
  /// an earlier one of the same name in any letter case.
  std::vector<std::pair<std::u16string, std::u16string>> variables;
  /// The machine's ANSI and OEM code pages; 0 when no source says.
  UINT acp = 0;
  UINT oemcp = 0;
};

/// The kinds of source, told from their content.
enum class SourceKind { Export, WineFile, WinePrefix, Hive, SystemDrive };

/// The sources, in the order given (machine first, user last), and what they tell of the
/// machine. Read once, on first use, without the code pages (which may come from here).
/// A source that cannot be read tells nothing here; LoadClasses reports it.
const MachineFacts& Facts();

/// HKEY_CLASSES_ROOT of the machine: the classes of every source, each later one put over
/// the earlier ones as Windows puts the user's classes over the machine's. Returns
/// ERROR_SUCCESS, or an error code with `error` one line without line end that names the
/// source and the problem (or says what to set when there is no source at all).
LSTATUS LoadClasses(RegKey& classes, std::string& error);

/// Forgets the sources read, so that the next call reads the environment again.
void ResetMachine();

}  // namespace tavplat
