#include <windows.h>

namespace {

// Windows keeps the last error per thread.
thread_local DWORD lastError = 0;

}  // namespace

DWORD WINAPI GetLastError() { return lastError; }

void WINAPI SetLastError(DWORD dwErrCode) { lastError = dwErrCode; }
