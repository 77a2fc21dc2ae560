// The wrappers that ld --wrap puts between the core and the layer: each consults the
// injected faults, records the call and hands it on to the layer's function (__real_).
#include "faults.h"

#include <strings.h>

#include <algorithm>
#include <map>
#include <set>

extern "C" {
HANDLE __real_CreateFileA(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
BOOL __real_WriteFile(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
BOOL __real_CloseHandle(HANDLE);
DWORD __real_GetFileType(HANDLE);
LSTATUS __real_RegOpenKeyExA(HKEY, LPCSTR, DWORD, REGSAM, PHKEY);
LSTATUS __real_RegCloseKey(HKEY);
LSTATUS __real_RegQueryValueExA(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
LSTATUS __real_RegEnumKeyExA(HKEY, DWORD, LPSTR, LPDWORD, LPDWORD, LPSTR, LPDWORD, PFILETIME);
DWORD __real_ExpandEnvironmentStringsA(LPCSTR, LPSTR, DWORD);
}

namespace {

// Handles that CreateFileA gave out and that are still open: only these see the file
// faults, so that standard output and standard error stay as they are.
std::set<HANDLE>& Created() {
  static std::set<HANDLE> handles;
  return handles;
}

// The path each open key was opened with, for the value that grows.
std::map<HKEY, std::string>& OpenKeys() {
  static std::map<HKEY, std::string> keys;
  return keys;
}

// Bytes written to created files since the last ResetFaults.
long createdBytes = 0;

}  // namespace

namespace tavplat {

Faults& InjectedFaults() {
  static Faults faults;
  return faults;
}

Trace& PlatformTrace() {
  static Trace trace;
  return trace;
}

void ResetFaults() {
  InjectedFaults() = Faults{};
  PlatformTrace() = Trace{};
  createdBytes = 0;
}

}  // namespace tavplat

using tavplat::InjectedFaults;
using tavplat::PlatformTrace;

extern "C" {

HANDLE __wrap_CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE templateFile) {
  const HANDLE h = __real_CreateFileA(name, access, share, security, disposition, flags, templateFile);
  if (h != INVALID_HANDLE_VALUE) Created().insert(h);
  return h;
}

BOOL __wrap_WriteFile(HANDLE h, LPCVOID data, DWORD count, LPDWORD written, LPOVERLAPPED overlapped) {
  if (!Created().count(h)) return __real_WriteFile(h, data, count, written, overlapped);
  const tavplat::Faults& faults = InjectedFaults();
  PlatformTrace().fileWrites.push_back(count);
  if (faults.writeError && createdBytes >= faults.writeFailAfter) {
    if (written) *written = 0;
    SetLastError(faults.writeError);
    return FALSE;
  }
  DWORD done = 0;
  const BOOL ok = __real_WriteFile(h, data, faults.shortWrite && count > 0 ? count - 1 : count,
                                   &done, overlapped);
  createdBytes += done;
  if (written) *written = done;
  return ok;
}

BOOL __wrap_CloseHandle(HANDLE h) {
  const bool created = Created().erase(h) > 0;
  const BOOL ok = __real_CloseHandle(h);
  if (ok && created && InjectedFaults().closeError) {
    SetLastError(InjectedFaults().closeError);
    return FALSE;
  }
  return ok;
}

DWORD __wrap_GetFileType(HANDLE h) {
  if (InjectedFaults().fileTypeUnknown && Created().count(h)) {
    SetLastError(NO_ERROR);
    return FILE_TYPE_UNKNOWN;
  }
  return __real_GetFileType(h);
}

LSTATUS __wrap_RegOpenKeyExA(HKEY parent, LPCSTR path, DWORD options, REGSAM access, PHKEY key) {
  const LSTATUS status = __real_RegOpenKeyExA(parent, path, options, access, key);
  if (status == ERROR_SUCCESS) {
    OpenKeys()[*key] = path ? path : "";
    ++PlatformTrace().openKeys;
  }
  return status;
}

LSTATUS __wrap_RegCloseKey(HKEY key) {
  const LSTATUS status = __real_RegCloseKey(key);
  if (status == ERROR_SUCCESS && OpenKeys().erase(key) > 0) --PlatformTrace().openKeys;
  return status;
}

// A value that grows between the two queries: the data query finds it larger than the
// size query said, and Windows answers ERROR_MORE_DATA with the new size.
LSTATUS __wrap_RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                LPDWORD size) {
  const tavplat::Faults& faults = InjectedFaults();
  const auto open = OpenKeys().find(key);
  if (data && size && (!name || !*name) && !faults.growValueKey.empty() &&
      open != OpenKeys().end() && strcasecmp(open->second.c_str(), faults.growValueKey.c_str()) == 0) {
    DWORD now = 0;
    const LSTATUS status = __real_RegQueryValueExA(key, name, reserved, type, nullptr, &now);
    if (status != ERROR_SUCCESS) return status;
    if (*size < now + faults.growBy) {
      *size = now + faults.growBy;
      return ERROR_MORE_DATA;
    }
  }
  return __real_RegQueryValueExA(key, name, reserved, type, data, size);
}

LSTATUS __wrap_RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD length, LPDWORD reserved,
                             LPSTR keyClass, LPDWORD classLength, PFILETIME time) {
  const std::vector<DWORD>& failing = InjectedFaults().enumFailIndexes;
  if (std::find(failing.begin(), failing.end(), index) != failing.end()) return ERROR_NO_MORE_ITEMS;
  return __real_RegEnumKeyExA(key, index, name, length, reserved, keyClass, classLength, time);
}

DWORD __wrap_ExpandEnvironmentStringsA(LPCSTR source, LPSTR target, DWORD size) {
  ++PlatformTrace().expandCalls;
  if (const DWORD error = InjectedFaults().expandError) {
    SetLastError(error);
    return 0;
  }
  return __real_ExpandEnvironmentStringsA(source, target, size);
}

}  // extern "C"
