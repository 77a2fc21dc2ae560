// The REGEDIT4 writer: a registry file that re-creates the keys and values when imported.
#pragma once

#include <cstdint>
#include <string>

#include "TavLib.h"

/// `text` with a backslash put before every double quote and every backslash; the trail
/// byte of a double-byte character is never taken for either.
std::string EscapeRegStr(const std::string& text);

/// Writes the REGEDIT4 file `FileName` (ANSI text) for the first `ExtCount` extensions and
/// the first `FTypeCount` file types, each value cut at its first CR or LF. An input/output failure ends the run through the
/// failure report.
void SaveToReg(const std::string& FileName, const TTavTavs& Exts, std::int32_t ExtCount,
               const TTavFTypes& FTypes, std::int32_t FTypeCount);
