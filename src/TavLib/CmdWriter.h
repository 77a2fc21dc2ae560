// The batch script writer: "assoc", "ftype" and "reg add" lines that re-create the
// associations when cmd runs the script.
#pragma once

#include <cstdint>
#include <string>

#include "TavLib.h"

/// Sets `result` to `text` with every percent sign written twice.
void DoublePercents(const std::string& text, std::string& result);

/// Sets `result` to `text` converted from the ANSI to the OEM code page, same length.
void ToOem(const std::string& text, std::string& result);

/// `text` as reg.exe must see it between double quotes to give it back unchanged: a double
/// quote becomes \" and the backslashes directly before a double quote or before the end
/// are doubled. Trail bytes of double-byte characters are never taken for either.
std::string QuoteRegArg(const std::string& text);

/// `line` with a caret before each ^ & | < > that cmd would see outside double quotes
/// (every double quote toggles cmd's quote state from the start of the line).
std::string EscapeCmdLine(const std::string& line);

/// Writes the batch script `FileName` for the first `ExtCount` extensions and the first
/// `FTypeCount` file types, with the enabled folders replaced by their variables. An
/// input/output failure ends the run through the failure report.
void SaveToCmd(const std::string& FileName, const TTavTavs& Exts, std::int32_t ExtCount,
               const TTavFTypes& FTypes, std::int32_t FTypeCount, bool SubstProgramFiles,
               bool SubstSystemRoot, bool SubstSystemDrive);
