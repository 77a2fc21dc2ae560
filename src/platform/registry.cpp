#include "registry.h"

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "codepage.h"
#include "machine.h"
#include "regtree.h"

namespace tavplat {

namespace {

enum class LoadState { Pending, Loaded, Failed };

struct Registry {
  LoadState state = LoadState::Pending;
  LSTATUS failure = ERROR_SUCCESS;
  RegKey root;
  // Open keys by slot; a closed slot is reused, with a new serial. A handle carries both,
  // so that a handle value is never reused and a closed handle stays invalid. The scan
  // opens and closes a key for every root key: this costs no allocation each time.
  // `top` is the subkey of the classes root that the key lies in (or is), null for the
  // root itself.
  struct Slot {
    RegKey* key = nullptr;
    RegKey* top = nullptr;
    std::uint32_t serial = 0;
  };
  std::vector<Slot> slots;
  std::vector<std::uint32_t> freeSlots;
  std::uint32_t nextSerial = 1;
  // The last root key whose handles were all closed. It is forgotten (given back to its
  // source) once another one is: the scan reads each root key a few times in a row (its
  // command, its description, its icon), and a million of them once each, so keeping one
  // spares reading it again, and keeping all would hold the whole source in memory.
  RegKey* idle = nullptr;
  // The line about a registry that could not be loaded, until the process ends.
  std::string diagnostic;
};

Registry& State() {
  // Never freed: the process ends with the tree in place, and taking a tree of millions
  // of keys apart only for the pages to be dropped would cost as much as reading it.
  static Registry& registry = *new Registry;
  return registry;
}

void Load(Registry& r) {
  r.root = RegKey{};
  std::string error;
  // An export is read in the code pages in force, so a wrong setting of them comes first.
  if (!CheckCodePages(error)) {
    r.failure = ERROR_INVALID_PARAMETER;
  } else {
    r.failure = LoadClasses(r.root, error);
  }
  if (r.failure == ERROR_SUCCESS) {
    r.state = LoadState::Loaded;
  } else {
    r.state = LoadState::Failed;
    // Written when the process ends: the tool may still hold lines for standard output
    // that come before it, and with both streams in one file the order shows.
    r.diagnostic = "tavdump: " + error + "\n";
  }
}

// A handle is (serial << 32 | slot << 4): above every predefined key, and never zero.
HKEY Open(Registry& r, RegKey* key, RegKey* top) {
  std::uint32_t slot;
  if (r.freeSlots.empty()) {
    slot = static_cast<std::uint32_t>(r.slots.size());
    r.slots.emplace_back();
  } else {
    slot = r.freeSlots.back();
    r.freeSlots.pop_back();
  }
  r.slots[slot] = {key, top, r.nextSerial++};
  const std::uint64_t value = std::uint64_t{r.slots[slot].serial} << 32 | std::uint64_t{slot} << 4;
  return reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(value));
}

Registry::Slot* SlotOf(Registry& r, HKEY hKey) {
  const auto value = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(hKey));
  const std::uint64_t slot = (value & 0xFFFFFFFF) >> 4;
  if ((value & 0xF) != 0 || slot >= r.slots.size()) return nullptr;
  Registry::Slot& s = r.slots[slot];
  return s.key && s.serial == value >> 32 ? &s : nullptr;
}

bool InUse(const Registry& r, const RegKey* top) {
  for (const Registry::Slot& s : r.slots)
    if (s.key && s.top == top) return true;
  return false;
}

// The key behind a handle, loading the registry on first use of HKEY_CLASSES_ROOT;
// null with `status` set when the handle is no key. `top` is set as in Registry::Slot.
RegKey* Resolve(HKEY hKey, LSTATUS& status, RegKey** top = nullptr) {
  Registry& r = State();
  if (hKey == HKEY_CLASSES_ROOT) {
    if (r.state == LoadState::Pending) Load(r);
    if (r.state == LoadState::Failed) {
      status = r.failure;
      return nullptr;
    }
    if (top) *top = nullptr;
    return &r.root;
  }
  Registry::Slot* slot = SlotOf(r, hKey);
  if (!slot) {
    status = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  if (top) *top = slot->top;
  return slot->key;
}

bool IsStringType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// A string value's UTF-16LE bytes as ANSI text. A trailing odd byte is no character: the
// A functions drop it, as Windows does.
// Values are mostly ASCII, which every page writes as itself: those bytes are narrowed
// straight, with no UTF-16 text in between.
void NarrowData(const std::vector<BYTE>& data, std::string& out) {
  const std::size_t n = data.size() / 2;
  out.resize(n);
  if (NarrowAscii(data.data(), n, out.data()) == n) return;
  thread_local std::u16string text;
  text.resize(n);
  for (std::size_t i = 0; i < n; ++i) text[i] = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);
  FromUtf16(text, CP_ACP, out);
}

// Calls `visit` with each name of a backslash-separated path, until it returns false.
// Windows passes over empty names: "a\\b" and "a\" open "a\b" and "a".
template <class Visit>
bool ForEachName(std::u16string_view path, Visit visit) {
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(u'\\', start);
    if (end == std::u16string_view::npos) end = path.size();
    if (end > start && !visit(path.substr(start, end - start))) return false;
    start = end + 1;
  }
  return true;
}

RegKey& MakePath(const std::string& utf8Path) {
  RegKey* key = &State().root;
  ForEachName(Utf8ToUtf16(utf8Path), [&](std::u16string_view name) {
    key = &MakeSubkey(*key, name);
    return true;
  });
  return *key;
}

}  // namespace

void WritePendingDiagnostic() {
  std::string& line = State().diagnostic;
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = write(2, line.data() + done, line.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  line.clear();
}

void ResetRegistry(bool readAgain) {
  Registry& r = State();
  r.root = RegKey{};
  r.diagnostic.clear();
  // Every open handle becomes invalid; the serials go on, so none comes back.
  r.slots.clear();
  r.freeSlots.clear();
  r.idle = nullptr;
  r.state = readAgain ? LoadState::Pending : LoadState::Loaded;
  if (readAgain) ResetMachine();
  r.failure = ERROR_SUCCESS;
}

void AddRegKey(const std::string& path) { MakePath(path); }

void SetRegValue(const std::string& path, const std::string& name, DWORD type,
                 const std::vector<BYTE>& data) {
  SetValue(MakePath(path), RegValue{Utf8ToUtf16(name), type, data});
}

void SetRegString(const std::string& path, const std::string& name, const std::string& text,
                  DWORD type) {
  std::vector<BYTE> data;
  for (char16_t c : Utf8ToUtf16(text) + u'\0') {
    data.push_back(static_cast<BYTE>(c & 0xFF));
    data.push_back(static_cast<BYTE>(c >> 8));
  }
  SetRegValue(path, name, type, data);
}

}  // namespace tavplat

using namespace tavplat;

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*ulOptions*/, REGSAM samDesired,
                             PHKEY phkResult) {
  if (phkResult) *phkResult = nullptr;
  LSTATUS status = ERROR_SUCCESS;
  RegKey* top = nullptr;
  RegKey* key = Resolve(hKey, status, &top);
  if (!key) return status;
  if (!phkResult) return ERROR_INVALID_PARAMETER;

  thread_local std::u16string path;
  ToUtf16(lpSubKey ? lpSubKey : "", CP_ACP, path);
  std::u16string_view rest = path;
  // Windows takes one leading backslash below HKEY_CLASSES_ROOT, and no other.
  if (hKey == HKEY_CLASSES_ROOT && !rest.empty() && rest[0] == u'\\') rest.remove_prefix(1);
  if (!rest.empty() && rest[0] == u'\\') return ERROR_BAD_PATHNAME;
  Registry& r = State();
  const bool found = ForEachName(rest, [&](std::u16string_view name) {
    key = FindSubkey(*key, name);
    if (key && !top) top = key;
    return key != nullptr;
  });
  // The tree is read-only: any right beyond reading is denied.
  const LSTATUS result = !found                    ? ERROR_FILE_NOT_FOUND
                         : samDesired & ~KEY_READ ? ERROR_ACCESS_DENIED
                                                  : ERROR_SUCCESS;
  if (result != ERROR_SUCCESS) {
    // A root key read only to find that nothing is below it is not kept either.
    if (top && top != r.idle && !InUse(r, top)) Forget(*top);
    return result;
  }
  *phkResult = Open(r, key, top);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  LSTATUS status = ERROR_SUCCESS;
  if (!Resolve(hKey, status)) return status;
  if (hKey == HKEY_CLASSES_ROOT) return ERROR_SUCCESS;
  Registry& r = State();
  const auto slot = static_cast<std::uint32_t>(SlotOf(r, hKey) - r.slots.data());
  RegKey* top = r.slots[slot].top;
  r.slots[slot].key = nullptr;
  r.freeSlots.push_back(slot);
  if (top && top != r.idle && !InUse(r, top)) {
    if (r.idle && !InUse(r, r.idle)) Forget(*r.idle);
    r.idle = top;
  }
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                LPBYTE lpData, LPDWORD lpcbData) {
  LSTATUS status = ERROR_SUCCESS;
  RegKey* key = Resolve(hKey, status);
  if (!key) return status;
  if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;

  thread_local std::u16string name;
  ToUtf16(lpValueName ? lpValueName : "", CP_ACP, name);
  const RegValue* value = FindValue(*key, name);
  if (!value) {
    // What Windows leaves in the out-parameters when there is no such value.
    if (lpType) *lpType = REG_NONE;
    if (!lpData && lpcbData) *lpcbData = 0;
    return ERROR_FILE_NOT_FOUND;
  }

  thread_local std::string payload;
  if (IsStringType(value->type))
    NarrowData(value->data, payload);
  else
    payload.assign(value->data.begin(), value->data.end());

  const auto size = static_cast<DWORD>(payload.size());
  if (lpType) *lpType = value->type;
  if (lpData) {
    if (*lpcbData < size) {
      *lpcbData = size;
      return ERROR_MORE_DATA;
    }
    std::memcpy(lpData, payload.data(), size);
    // Windows terminates a string stored without its zero when the buffer has room.
    if (IsStringType(value->type) && size > 0 && size < *lpcbData && payload.back() != '\0')
      lpData[size] = 0;
  }
  if (lpcbData) *lpcbData = size;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                             LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                             PFILETIME lpftLastWriteTime) {
  LSTATUS status = ERROR_SUCCESS;
  RegKey* key = Resolve(hKey, status);
  if (!key) return status;
  if (lpReserved || !lpName || !lpcchName) return ERROR_INVALID_PARAMETER;
  // Keys have no class and no time here.
  if (lpClass || lpcchClass || lpftLastWriteTime) return ERROR_NOT_SUPPORTED;

  BuildOrder(*key);
  if (dwIndex >= key->subkeys.size()) return ERROR_NO_MORE_ITEMS;

  thread_local std::string name;
  FromUtf16(key->subkeys[dwIndex]->name, CP_ACP, name);
  // The length is in bytes of the ANSI name; a name that does not fit leaves it alone.
  if (name.size() + 1 > *lpcchName) return ERROR_MORE_DATA;
  std::memcpy(lpName, name.c_str(), name.size() + 1);
  *lpcchName = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass,
                                LPDWORD /*lpReserved*/, LPDWORD lpcSubKeys,
                                LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
                                LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                                PFILETIME lpftLastWriteTime) {
  LSTATUS status = ERROR_SUCCESS;
  RegKey* key = Resolve(hKey, status);
  if (!key) return status;
  // Only the subkeys are counted and measured.
  if (lpClass || lpcchClass || lpcbMaxClassLen || lpcValues || lpcbMaxValueNameLen ||
      lpcbMaxValueLen || lpcbSecurityDescriptor || lpftLastWriteTime)
    return ERROR_NOT_SUPPORTED;

  BuildOrder(*key);
  // The lengths of names are UTF-16 characters even in the A form, as Windows reports
  // them: a name can need more ANSI bytes than this.
  if (lpcSubKeys) *lpcSubKeys = static_cast<DWORD>(key->subkeys.size());
  if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = key->longestName;
  return ERROR_SUCCESS;
}
