// The process as Windows describes it to a program: its command line and its file.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace tavplat {

/// The ANSI command line for the UTF-8 arguments `args` (the program's name first), built
/// as Wine builds it: in UTF-16, each argument quoted when it is the first, empty or holds
/// a blank or a tab, a double quote escaped with a backslash (and the backslashes before
/// it doubled), then converted to the ANSI page, where a character may become a quote.
std::string BuildCommandLine(const std::vector<std::string>& args);

/// The arguments the process was started with, in UTF-8, the program's name first.
std::vector<std::string> ProcessArguments();

}  // namespace tavplat
