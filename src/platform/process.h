// The process as Windows describes it to a program: its command line and its file.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace tavplat {

/// The ANSI command line for the UTF-8 arguments `args` (the program's name first): each
/// argument converted to the ANSI page, joined by blanks, and enclosed in double quotes
/// when it is empty or holds a character with a code from 1 to 32, so that splitting the
/// line by Tavdump's rule gives the arguments back. A double quote cannot be carried by
/// that rule and is left out of its argument.
std::string BuildCommandLine(const std::vector<std::string>& args);

/// The arguments the process was started with, in UTF-8, the program's name first.
std::vector<std::string> ProcessArguments();

}  // namespace tavplat
