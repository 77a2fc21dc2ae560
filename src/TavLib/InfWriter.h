// The setup information (INF) writer: a UTF-16LE file whose default installation adds
// the keys and values to the registry.
#pragma once

#include <cstdint>
#include <string>

#include "OutFile.h"
#include "TavLib.h"

/// `text` with every double quote and every percent sign written twice; the trail byte of a
/// double-byte character is never taken for either.
std::string EscapeInfStr(const std::string& text);

/// Appends `line` and CR LF, converted from the thread's ANSI code page to UTF-16LE, to
/// `file` as one block. A line that cannot be converted is left out.
void WriteInfLine(RawOutFile& file, const std::string& line);

/// Writes the INF file `FileName` for the first `ExtCount` extensions and the first
/// `FTypeCount` file types, with the Windows folder and the system drive in commands and
/// icons replaced by directory ids where enabled, each value cut at its first CR, LF or
/// Ctrl-Z. An input/output failure ends the run through the failure report.
void SaveToInf(const std::string& FileName, const TTavTavs& Exts, std::int32_t ExtCount,
               const TTavFTypes& FTypes, std::int32_t FTypeCount, bool SubstSystemRoot,
               bool SubstSystemDrive);
