// The wrappers that ld --wrap puts between the core and the layer: each consults the
// injected faults, records the call and hands it on to the layer's function (__real_).
// The logic tests that inject faults write through files only, so every handle sees them.
#include "faults.h"

using tavplat::injected;

extern "C" {
BOOL __real_WriteFile(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
BOOL __real_CloseHandle(HANDLE);
DWORD __real_GetFileType(HANDLE);
LSTATUS __real_RegOpenKeyExA(HKEY, LPCSTR, DWORD, REGSAM, PHKEY);
LSTATUS __real_RegCloseKey(HKEY);
LSTATUS __real_RegQueryValueExA(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
LSTATUS __real_RegEnumKeyExA(HKEY, DWORD, LPSTR, LPDWORD, LPDWORD, LPSTR, LPDWORD, PFILETIME);
DWORD __real_ExpandEnvironmentStringsA(LPCSTR, LPSTR, DWORD);

BOOL __wrap_WriteFile(HANDLE h, LPCVOID data, DWORD count, LPDWORD written, LPOVERLAPPED overlapped) {
  injected.fileWrites.push_back(count);
  if (injected.writeError && injected.fileWrites.size() > injected.writesBeforeFailure) {
    if (written) *written = 0;
    SetLastError(injected.writeError);
    return FALSE;
  }
  return __real_WriteFile(h, data, injected.shortWrite && count > 0 ? count - 1 : count, written, overlapped);
}

BOOL __wrap_CloseHandle(HANDLE h) {
  const BOOL ok = __real_CloseHandle(h);
  if (ok && injected.closeError) SetLastError(injected.closeError);
  return ok && !injected.closeError;
}

DWORD __wrap_GetFileType(HANDLE h) {
  if (!injected.fileTypeUnknown) return __real_GetFileType(h);
  SetLastError(NO_ERROR);
  return FILE_TYPE_UNKNOWN;
}

LSTATUS __wrap_RegOpenKeyExA(HKEY parent, LPCSTR path, DWORD options, REGSAM access, PHKEY key) {
  const LSTATUS status = __real_RegOpenKeyExA(parent, path, options, access, key);
  injected.openKeys += status == ERROR_SUCCESS;
  return status;
}

LSTATUS __wrap_RegCloseKey(HKEY key) {
  const LSTATUS status = __real_RegCloseKey(key);
  injected.openKeys -= status == ERROR_SUCCESS;
  return status;
}

// A value that grows between the two queries: the data query finds it larger than the
// size query said, and Windows answers ERROR_MORE_DATA with the new size.
LSTATUS __wrap_RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                LPDWORD size) {
  DWORD now = 0;
  if (data && size && (!name || !*name) && injected.growBy &&
      __real_RegQueryValueExA(key, name, reserved, type, nullptr, &now) == ERROR_SUCCESS &&
      *size < now + injected.growBy) {
    *size = now + injected.growBy;
    return ERROR_MORE_DATA;
  }
  return __real_RegQueryValueExA(key, name, reserved, type, data, size);
}

LSTATUS __wrap_RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD length, LPDWORD reserved,
                             LPSTR keyClass, LPDWORD classLength, PFILETIME time) {
  for (DWORD failing : injected.enumFailIndexes)
    if (index == failing) return ERROR_NO_MORE_ITEMS;
  return __real_RegEnumKeyExA(key, index, name, length, reserved, keyClass, classLength, time);
}

DWORD __wrap_ExpandEnvironmentStringsA(LPCSTR source, LPSTR target, DWORD size) {
  ++injected.expandCalls;
  if (injected.expandError) SetLastError(injected.expandError);
  return injected.expandError ? 0 : __real_ExpandEnvironmentStringsA(source, target, size);
}

}  // extern "C"
