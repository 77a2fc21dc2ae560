#include "OutFile.h"

#include <algorithm>
#include <cstring>

#include "Report.h"

int IoFailureCode = 0;

const char LineBreaks[] = "\r\n";
const char LineBreaksAndEof[] = "\r\n\x1A";

std::string UpToLineEnd(const std::string& value, const char* ends) {
  return value.substr(0, value.find_first_of(ends));
}

namespace {

// Names that do not fit the name field fail before anything is created, as a name the
// platform cannot take would.
bool SetName(char (&field)[MAX_PATH], const std::string& name) {
  if (name.size() >= MAX_PATH) {
    IoFailureCode = ERROR_FILENAME_EXCED_RANGE;
    return false;
  }
  std::memcpy(field, name.c_str(), name.size() + 1);
  return true;
}

void SetFailure() { IoFailureCode = static_cast<int>(GetLastError()); }

void OpenText(TextOutFile& file, HANDLE handle) {
  file.Handle = handle;
  file.IsOpen = true;
  file.BufferCount = 0;
  DWORD type = GetFileType(handle);
  file.WriteThrough = type == FILE_TYPE_CHAR;
  if (type == FILE_TYPE_UNKNOWN) {
    CloseHandle(handle);
    file.Handle = INVALID_HANDLE_VALUE;
    file.IsOpen = false;
    IoFailureCode = 105;
  }
}

}  // namespace

void Create(TextOutFile& file, const std::string& name) {
  if (!SetName(file.FileName, name)) return;
  HANDLE handle = CreateFileA(file.FileName, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    SetFailure();
    return;
  }
  OpenText(file, handle);
}

void OpenStd(TextOutFile& file, DWORD stdHandle) {
  HANDLE handle = GetStdHandle(stdHandle);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
    IoFailureCode = 105;
    return;
  }
  // The process's own handle is not ours to close when its type cannot be told.
  file.Handle = handle;
  file.BufferCount = 0;
  DWORD type = GetFileType(handle);
  if (type == FILE_TYPE_UNKNOWN) {
    file.Handle = INVALID_HANDLE_VALUE;
    IoFailureCode = 105;
    return;
  }
  file.IsOpen = true;
  file.WriteThrough = type == FILE_TYPE_CHAR;
}

bool FlushBuffer(TextOutFile& file) {
  if (file.BufferCount == 0) return true;
  DWORD asked = static_cast<DWORD>(file.BufferCount);
  DWORD written = 0;
  file.BufferCount = 0;
  if (!WriteFile(file.Handle, file.Buffer, asked, &written, nullptr)) {
    SetFailure();
    return false;
  }
  if (written != asked) {
    IoFailureCode = 101;  // a short write loses data as surely as a failed one
    return false;
  }
  return true;
}

void WriteStr(TextOutFile& file, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    std::size_t part = std::min(sizeof file.Buffer - file.BufferCount, text.size() - done);
    std::memcpy(file.Buffer + file.BufferCount, text.data() + done, part);
    file.BufferCount += part;
    done += part;
    if (file.BufferCount == sizeof file.Buffer && !FlushBuffer(file)) return;
  }
}

void WriteChar(TextOutFile& file, char c) {
  if (file.BufferCount == sizeof file.Buffer && !FlushBuffer(file)) return;
  file.Buffer[file.BufferCount++] = c;
}

void EndLine(TextOutFile& file) {
  WriteStr(file, "\r\n");
  if (file.WriteThrough) FlushBuffer(file);
}

void Close(TextOutFile& file) {
  if (!FlushBuffer(file)) return;
  file.IsOpen = false;
  if (!CloseHandle(file.Handle)) SetFailure();
  file.Handle = INVALID_HANDLE_VALUE;
}

void Create(RawOutFile& file, const std::string& name) {
  if (!SetName(file.FileName, name)) return;
  HANDLE handle = CreateFileA(file.FileName, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    SetFailure();
    return;
  }
  file.Handle = handle;
  file.IsOpen = true;
}

void WriteBlock(RawOutFile& file, const void* data, std::size_t count) {
  DWORD written = 0;
  if (!WriteFile(file.Handle, data, static_cast<DWORD>(count), &written, nullptr))
    SetFailure();
  else if (written != count)
    IoFailureCode = 101;
}

void Close(RawOutFile& file) {
  file.IsOpen = false;
  if (!CloseHandle(file.Handle)) SetFailure();
  file.Handle = INVALID_HANDLE_VALUE;
}

__attribute__((noinline)) void CheckIo() {
  if (IoFailureCode != 0) FailIo(IoFailureCode, __builtin_return_address(0));
}
