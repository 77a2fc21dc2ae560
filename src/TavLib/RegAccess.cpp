#include "RegAccess.h"

#include <windows.h>

#include <vector>

namespace {

// Closes the key on every way out of ReadDefaultValue.
struct KeyCloser {
  HKEY key;
  ~KeyCloser() { RegCloseKey(key); }
};

std::string UpToZero(const char* text) { return std::string(text); }

}  // namespace

void ExpandEnvStr(const std::string& source, std::string& result) {
  result.clear();
  if (source.empty()) return;
  DWORD size = 261;
  for (;;) {
    std::vector<char> buffer(size + 1, '\0');
    DWORD needed = ExpandEnvironmentStringsA(source.c_str(), buffer.data(), size);
    if (needed == 0) return;
    if (needed > size) {
      size = needed;
      continue;
    }
    result = UpToZero(buffer.data());
    return;
  }
}

bool ReadDefaultValue(const std::string& keyPath, std::string& value) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, keyPath.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  KeyCloser closer{key};

  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExA(key, nullptr, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
  if (size < 2) return false;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;

  // One byte more than the value, always zero: a stored string need not be terminated.
  std::vector<char> buffer(static_cast<std::size_t>(size) + 1, '\0');
  if (RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                       &size) != ERROR_SUCCESS)
    return false;

  std::string text = UpToZero(buffer.data());
  if (type == REG_EXPAND_SZ) {
    std::string expanded;
    ExpandEnvStr(text, expanded);
    text = expanded;
  }
  if (text.empty()) return false;
  value = text;
  return true;
}
