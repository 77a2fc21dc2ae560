// The two kinds of output file, and the test after every output step that ends the
// run at the first input/output failure.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

/// The code of the first input/output failure not yet reported; 0 while nothing failed.
/// Platform error codes, or 101 (short write) and 105 (a file that cannot be used).
extern int IoFailureCode;

/// Line-oriented single-byte text output through a 128-byte buffer; every line ends in
/// CR LF. Written out when the buffer fills and at Close, or at every line end when the
/// file is a character device.
struct TextOutFile {
  char FileName[MAX_PATH] = {};
  HANDLE Handle = INVALID_HANDLE_VALUE;
  bool IsOpen = false;
  char Buffer[128] = {};
  std::size_t BufferCount = 0;
  bool WriteThrough = false;
};

/// Unbuffered byte output: every block is one platform write.
struct RawOutFile {
  char FileName[MAX_PATH] = {};
  HANDLE Handle = INVALID_HANDLE_VALUE;
  bool IsOpen = false;
};

/// Creates (or empties) the file `name` for output. On failure sets IoFailureCode.
void Create(TextOutFile& file, const std::string& name);
/// Opens standard output or standard error (`stdHandle` as for GetStdHandle) as a text
/// file. When no handle can be had or its type cannot be told, sets IoFailureCode to 105.
void OpenStd(TextOutFile& file, DWORD stdHandle);
/// Appends `text` to the current line.
void WriteStr(TextOutFile& file, const std::string& text);
/// Appends one character to the current line.
void WriteChar(TextOutFile& file, char c);
/// Ends the current line with CR LF.
void EndLine(TextOutFile& file);
/// Writes out whatever the buffer holds; the buffer is empty afterwards, whatever happened.
/// False, with IoFailureCode set, when the write failed or wrote less.
bool FlushBuffer(TextOutFile& file);
/// Writes out the buffer and closes the file.
void Close(TextOutFile& file);

/// Creates (or empties) the file `name` for reading and writing.
void Create(RawOutFile& file, const std::string& name);
/// Writes `count` bytes at once; fewer bytes written than asked for is failure 101.
void WriteBlock(RawOutFile& file, const void* data, std::size_t count);
/// Closes the file.
void Close(RawOutFile& file);

/// What ends a line of an output file: CR and LF in every format; in a script and an INF
/// file Ctrl-Z as well, which ends the whole file for cmd and the setup engine.
extern const char LineBreaks[];
extern const char LineBreaksAndEof[];

/// `value` up to the first of the characters `ends`: a value that went on would break out
/// of its line. A byte search is exact, since no double-byte code page has trail bytes
/// below 0x40.
std::string UpToLineEnd(const std::string& value, const char* ends);

/// Ends the run through the input/output failure report when IoFailureCode is not 0.
/// The report names the place of the call.
void CheckIo();
