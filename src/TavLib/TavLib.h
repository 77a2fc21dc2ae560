// Tavdump's shared types: what the scan finds and what the writers write.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

/// The names of the subkeys of HKEY_CLASSES_ROOT, element i holding the name that the
/// registry's enumeration gives at index i, or "" where that enumeration failed.
using TTavArrayOfString = std::vector<std::string>;

/// One file type whose open command belongs to the program.
struct TTavFType {
  std::string Name;         ///< the key name, letter case kept; never empty
  std::string Command;      ///< default value of Name\shell\open\command; never empty
  std::string Description;  ///< default value of Name; "" when absent
  std::string Icon;         ///< default value of Name\DefaultIcon; "" when absent
};

/// Matched file types; only the leading FTypeCount elements are filled.
using TTavFTypes = std::vector<TTavFType>;

/// One extension key whose default value names a matched file type.
struct TTavExt {
  std::string Ext;        ///< the key name with its leading period
  std::int32_t FType = 0; ///< index into the TTavFTypes of the same run, below FTypeCount
};

/// Extension associations; only the leading ExtCount elements are filled.
using TTavTavs = std::vector<TTavExt>;

/// The output format, chosen by the extension of the output file name.
enum TOutFormat : std::int32_t { ofCmd = 0, ofReg = 1, ofInf = 2 };

/// Three strings indexed like the folder variables: program files, Windows folder,
/// system drive.
using PathVarTable = std::array<std::string, 3>;
