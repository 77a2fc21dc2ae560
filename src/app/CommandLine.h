// The command line: its parameters, and the output file's name and format.
#pragma once

#include <string>
#include <vector>

#include "TavLib.h"

/// The parameters of `commandLine` (ANSI text), the program's own name first, up to the
/// first empty one. Blanks and control characters separate parameters outside double
/// quotes; the quotes themselves are dropped and there is no escape. Double-byte
/// characters are stepped over whole.
std::vector<std::string> SplitParameters(const char* commandLine);

/// `text` with the letters a to z upper-cased and every other byte left alone.
std::string UpperAscii(const std::string& text);

/// The extension of `name`: from its last period to the end, when no backslash or colon
/// follows that period; "" otherwise.
std::string ExtractExt(const std::string& name);

/// What follows the last backslash or colon of `name`; the whole name without either.
std::string FileNamePart(const std::string& name);

/// Gives `FileName` the extension `ext`: replaces a different extension (compared with
/// letters a to z folded), appends it to a name without one, and appends it again to a
/// name that already has it, so that run.cmd becomes run.cmd.CMD.
void ForceExt(std::string& FileName, const std::string& ext);

/// The output file name and format for the program path and, when not empty, the output
/// name the user gave.
void ChooseOutput(const std::string& ProgramPath, const std::string& outputName,
                  std::string& FileName, TOutFormat& format);
