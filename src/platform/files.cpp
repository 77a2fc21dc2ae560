// The file functions over Linux descriptors, for the two ways the core writes files:
// CreateFileA with CREATE_ALWAYS and write access (or read and write access), WriteFile,
// GetFileType and CloseHandle on what it returned, and the same on standard output and
// standard error.
#include <windows.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "codepage_internal.h"

namespace {

// Error codes the platform gives that the public header does not name.
constexpr DWORD kErrorGenFailure = 31;
constexpr DWORD kErrorNotReady = 21;
constexpr DWORD kErrorBusy = 170;
constexpr DWORD kErrorPipeNotConnected = 233;
constexpr DWORD kErrorCantResolveFilename = 1921;

// Windows keeps the last error per thread.
thread_local DWORD lastError = 0;

// A handle is a descriptor number in disguise: never 0 and never INVALID_HANDLE_VALUE,
// and a multiple of four as Windows' own handles are.
HANDLE HandleOf(int fd) {
  return reinterpret_cast<HANDLE>((static_cast<std::uintptr_t>(fd) + 1) * 4);
}

// The descriptor number that `h` stands for, open or not; -1 when `h` has no such form.
int FdNumber(HANDLE h) {
  const auto value = reinterpret_cast<std::uintptr_t>(h);
  if (value == 0 || value % 4 != 0 || value / 4 - 1 > static_cast<std::uintptr_t>(INT_MAX)) return -1;
  return static_cast<int>(value / 4 - 1);
}

bool IsOpen(int fd) { return fd >= 0 && fcntl(fd, F_GETFD) != -1; }

// The descriptor behind `h`, or -1 when `h` is no open handle of this layer.
int FdOf(HANDLE h) {
  const int fd = FdNumber(h);
  return IsOpen(fd) ? fd : -1;
}

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

bool IsInvalidNameChar(char16_t c) {
  return c < 0x20 || c == u'<' || c == u'>' || c == u'|' || c == u'"' || c == u'?' || c == u'*';
}

// "NUL", also with an extension, trailing blanks or a colon, names the null device in
// every folder.
bool IsNullDevice(std::u16string_view name) {
  const std::size_t stop = name.find_first_of(u".: ");
  const std::u16string_view base = name.substr(0, stop);
  return base.size() == 3 && tavplat::UpperChar(base[0]) == u'N' &&
         tavplat::UpperChar(base[1]) == u'U' && tavplat::UpperChar(base[2]) == u'L';
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ParentOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == 0 || slash == std::string::npos ? std::string("/") : path.substr(0, slash);
}

// Writes all of `size` bytes unless the descriptor fails; `done` counts what went out.
bool WriteAll(int fd, const char* data, std::size_t size, std::size_t* done) {
  *done = 0;
  while (*done < size) {
    const ssize_t n = write(fd, data + *done, size - *done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    *done += static_cast<std::size_t>(n);
  }
  return true;
}

struct LinuxPath {
  /// The absolute UTF-8 path, "." and ".." resolved by name as Windows resolves them.
  std::string path;
  /// Nonzero: the Windows error the name itself gives, and `path` is empty.
  DWORD error = 0;
  /// True when the name ends in a folder separator (it can only name a folder).
  bool folderOnly = false;
};

// The Windows error code that the failure `errnoValue` gives on the platform.
DWORD ErrorFromErrno(int errnoValue) {
  switch (errnoValue) {
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return ERROR_DISK_FULL;
    case EPIPE:
    case ECONNRESET:
      return kErrorPipeNotConnected;
    case EIO:
      return kErrorNotReady;
    case ELOOP:
      return kErrorCantResolveFilename;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case ETXTBSY:
    case EAGAIN:
      return ERROR_SHARING_VIOLATION;
    case EBUSY:
      return kErrorBusy;
    case ENXIO:
    case ENODEV:
      return ERROR_FILE_NOT_FOUND;
    default:
      return kErrorGenFailure;
  }
}

// The Linux path of the ANSI file name `name`, read as CreateFileA reads it: backslashes
// and slashes separate folders (a trail byte of a double-byte character never does),
// trailing dots and blanks of the last name are dropped, "NUL" in any folder is the null
// device, wildcard and control characters give ERROR_INVALID_NAME, more than MAX_PATH
// characters ERROR_FILENAME_EXCED_RANGE and an empty name ERROR_PATH_NOT_FOUND. A
// relative name is taken from the current folder.
LinuxPath ToLinuxPath(std::string_view name) {
  LinuxPath result;
  const std::u16string wide = tavplat::ToUtf16(name, CP_ACP);
  if (wide.empty()) {
    result.error = ERROR_PATH_NOT_FOUND;
    return result;
  }
  if (wide.size() > MAX_PATH) {
    result.error = ERROR_FILENAME_EXCED_RANGE;
    return result;
  }
  for (const char16_t c : wide) {
    if (IsInvalidNameChar(c)) {
      result.error = ERROR_INVALID_NAME;
      return result;
    }
  }

  std::vector<std::u16string> parts;
  std::u16string current;
  for (const char16_t c : wide) {
    if (IsSeparator(c)) {
      parts.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  result.folderOnly = current.empty() && !parts.empty();
  // Windows drops the dots and blanks that end the last name, so "out." is "out".
  if (current != u"." && current != u"..") {
    while (!current.empty() && (current.back() == u'.' || current.back() == u' ')) current.pop_back();
  }
  const bool nullDevice = !current.empty() && IsNullDevice(current);
  parts.push_back(current);

  std::vector<std::string> resolved;
  if (!IsSeparator(wide[0])) {
    std::vector<char> cwd(PATH_MAX);
    if (getcwd(cwd.data(), cwd.size())) {
      const std::string base(cwd.data());
      std::size_t start = 1;
      while (start < base.size()) {
        const std::size_t slash = std::min(base.find('/', start), base.size());
        resolved.push_back(base.substr(start, slash - start));
        start = slash + 1;
      }
    }
  }
  for (const std::u16string& part : parts) {
    if (part.empty() || part == u".") continue;
    if (part == u"..") {
      if (!resolved.empty()) resolved.pop_back();
      continue;
    }
    resolved.push_back(tavplat::Utf16ToUtf8(part));
  }
  std::string path;
  for (const std::string& part : resolved) path += "/" + part;
  if (path.empty()) path = "/";
  if (nullDevice) {
    // The device exists only where its folder does.
    if (!IsFolder(ParentOf(path))) {
      result.error = ERROR_PATH_NOT_FOUND;
      return result;
    }
    path = "/dev/null";
  }
  result.path = path;
  return result;
}

}  // namespace

DWORD WINAPI GetLastError() { return lastError; }

void WINAPI SetLastError(DWORD dwErrCode) { lastError = dwErrCode; }

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD /*dwShareMode*/,
                          LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/,
                          DWORD dwCreationDisposition, DWORD /*dwFlagsAndAttributes*/,
                          HANDLE /*hTemplateFile*/) {
  if (dwCreationDisposition != CREATE_ALWAYS ||
      (dwDesiredAccess != GENERIC_WRITE && dwDesiredAccess != (GENERIC_READ | GENERIC_WRITE))) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return INVALID_HANDLE_VALUE;
  }
  const LinuxPath target = ToLinuxPath(lpFileName ? lpFileName : "");
  if (target.error) {
    SetLastError(target.error);
    return INVALID_HANDLE_VALUE;
  }
  struct stat st {};
  const bool existed = stat(target.path.c_str(), &st) == 0;
  if (existed && S_ISDIR(st.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (target.folderOnly) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  // A file without write permission is read-only to Windows, whoever asks; root on
  // Linux could write it all the same.
  if (existed && S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }

  const int access = dwDesiredAccess & GENERIC_READ ? O_RDWR : O_WRONLY;
  const int fd = open(target.path.c_str(), access | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) {
    const int error = errno;
    // A missing file is "file not found" only where its folder exists.
    if (error == ENOENT && !IsFolder(ParentOf(target.path))) {
      SetLastError(ERROR_PATH_NOT_FOUND);
    } else {
      SetLastError(ErrorFromErrno(error));
    }
    return INVALID_HANDLE_VALUE;
  }
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return HandleOf(fd);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED /*lpOverlapped*/) {
  // A reader that went away must show as an error code, as on Windows, not end the
  // process.
  static const bool sigpipeIgnored = std::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
  (void)sigpipeIgnored;
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
  // The write itself tells a closed descriptor (EBADF), and only then is it asked whether
  // the descriptor is open: the writers send a long script 128 bytes at a time, and a
  // check before each write would double its system calls.
  const int fd = FdNumber(hFile);
  if (fd < 0 || (nNumberOfBytesToWrite == 0 && !IsOpen(fd))) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::size_t done = 0;
  const bool ok = WriteAll(fd, static_cast<const char*>(lpBuffer), nNumberOfBytesToWrite, &done);
  const int error = errno;
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = static_cast<DWORD>(done);
  if (!ok && done == 0 && error == EBADF && !IsOpen(fd)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // A write that got some bytes out before the device filled up succeeds with the count
  // it wrote, as it does under Wine; the caller sees the short count.
  if (!ok && done == 0) {
    // A descriptor open only for reading refuses writing as Windows does: access denied.
    SetLastError(error == EBADF ? ERROR_ACCESS_DENIED : ErrorFromErrno(error));
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  const int fd = FdOf(hObject);
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Linux releases the descriptor even when the close fails.
  if (close(fd) != 0 && errno != EINTR) {
    SetLastError(ErrorFromErrno(errno));
    return FALSE;
  }
  return TRUE;
}

DWORD WINAPI GetFileType(HANDLE hFile) {
  const int fd = FdOf(hFile);
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FILE_TYPE_UNKNOWN;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    SetLastError(ErrorFromErrno(errno));
    return FILE_TYPE_UNKNOWN;
  }
  if (S_ISCHR(st.st_mode)) return FILE_TYPE_CHAR;
  if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return FILE_TYPE_PIPE;
  if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode) || S_ISBLK(st.st_mode)) return FILE_TYPE_DISK;
  SetLastError(NO_ERROR);
  return FILE_TYPE_UNKNOWN;
}

HANDLE WINAPI GetStdHandle(DWORD nStdHandle) {
  // The tool writes; it reads no standard input.
  int fd = -1;
  if (nStdHandle == STD_OUTPUT_HANDLE) fd = 1;
  if (nStdHandle == STD_ERROR_HANDLE) fd = 2;
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_HANDLE_VALUE;
  }
  // A process started without this stream has no handle for it.
  if (fcntl(fd, F_GETFD) == -1) return nullptr;
  return HandleOf(fd);
}
