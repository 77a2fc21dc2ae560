// The batch script writer: "assoc", "ftype" and "reg add" lines that re-create the
// associations when cmd runs the script.
#pragma once

#include <cstdint>
#include <string>

#include "TavLib.h"

/// Text in the OEM code page, one element per character: its bytes as one number, the
/// first byte highest, so that a single byte is its own value and compares with an ASCII
/// literal. The escaping after the conversion must know where a double-byte character
/// ends, and CharNextA steps the ANSI page, not the OEM one.
using TOemText = std::u32string;

/// Sets `result` to `text` with every percent sign written twice.
void DoublePercents(const std::string& text, std::string& result);

/// Sets `result` to `text` converted from the ANSI to the OEM code page: one element for
/// each UTF-16 character that the ANSI text stands for, with as many bytes as the OEM page
/// needs for it.
void ToOem(const std::string& text, TOemText& result);

/// `text` as reg.exe must see it between double quotes to give it back unchanged: a double
/// quote becomes \" and the backslashes directly before a double quote or before the end
/// are doubled.
TOemText QuoteRegArg(const TOemText& text);

/// `line` with a caret before each ^ & | < > that cmd would see outside double quotes
/// (every double quote toggles cmd's quote state from the start of the line).
TOemText EscapeCmdLine(const TOemText& line);

/// Writes the batch script `FileName` for the first `ExtCount` extensions and the first
/// `FTypeCount` file types, with the enabled folders replaced by their variables and each
/// value cut at its first CR, LF or Ctrl-Z. An input/output failure ends the run through
/// the failure report.
void SaveToCmd(const std::string& FileName, const TTavTavs& Exts, std::int32_t ExtCount,
               const TTavFTypes& FTypes, std::int32_t FTypeCount, bool SubstProgramFiles,
               bool SubstSystemRoot, bool SubstSystemDrive);
