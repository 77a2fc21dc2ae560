// The console side of a run: lines on standard output, and the failure report that ends
// a run which a failure cut short.
#pragma once

#include <string>

/// Writes `line` and CR LF to standard output (opened at the first write), unconverted.
/// An input/output failure ends the run through the failure report.
void WriteStdLine(const std::string& line);

/// Writes out what is buffered for standard output and ends the process with `exitCode`.
/// A failure of that last write ends the run through the failure report instead.
[[noreturn]] void EndRun(unsigned exitCode);

/// The failure report for input/output failure `code` at `place`: writes out standard
/// output, prints "Exception EInOutError in module ... at ...." and the code's message on
/// standard error in the OEM code page, and ends the process with exit code 1.
[[noreturn]] void FailIo(int code, const void* place);

/// The failure report for exhausted memory at `place` ("EOutOfMemory", "Out of memory").
[[noreturn]] void FailOutOfMemory(const void* place);

/// The message the failure report gives for input/output failure `code`.
std::string IoErrorMessage(int code);

/// The failure report's text: the first line with the kind, the module and the place as 8
/// upper-case hex digits, then the message with a closing period; each line ends in CR LF.
std::string FailureText(const std::string& kind, const std::string& module, const void* place,
                        const std::string& message);
