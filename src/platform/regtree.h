// The registry tree: keys, their values and subkeys, in Unicode as Windows keeps them,
// compared and enumerated as Windows compares and enumerates them. Loaders build it; the
// Reg*A functions serve it. It knows neither.
//
// A key may be left unread: a loader that can find a key's content again later (an offset
// into the file, a hive's cell) gives it a filler instead of its values and subkeys,
// and the tree asks the filler the first time anyone looks inside the key. A scan reads a
// handful of keys out of a large registry, so most of what a source holds is never built.
// How a loader becomes lazy:
//   - Make each key that it does not read now with MakeLazySubkey, or build the unread
//     keys itself (name, filler, fillRef) and hand them over with AddSubkeys, which sorts
//     many at once in n log n (in n when they come sorted) instead of inserting one by one.
//     `fillRef` is the loader's own number for where the content is (an offset, a cell).
//   - KeyFiller::Fill(key, ref) then sets the key's values and subkeys with the functions
//     below, exactly as an eager loader would have; it may make the subkeys lazy in turn.
//     It must not fail for a source that loaded: check the whole source while loading, so
//     that a broken one is reported before any output. It may run again for the same key
//     after Forget, and must then give the same content.
//   - KeyFiller::MayHaveSubkey(ref, name) may answer "no" without reading the key (from a
//     hash of the names below it, say): the scan asks every root key for shell\open\command,
//     and a root key such as CLSID with a million keys below it is then never read.
//   - The filler must outlive the keys, and whatever it reads (the open file) with it: the
//     keys share it through a shared_ptr.
// Every function below reads a key before it looks inside it; code that walks `values` or
// `subkeys` itself calls Fill(key) first. Only `name` is there without reading. MergeClasses
// moves a key that only one side has as it is, unread.
// A key read from its source can be given back to it with Forget: the scan reads two thirds
// of a million root keys once each, and keeping all it read would take more memory than the
// source. A key that anything changed after it was read (a merge, a test's key) keeps its
// content: the functions below that change a key drop its filler.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tavplat {

/// One value of a key: its name as stored ("" is the default value), its type code and its
/// payload exactly as stored (string types hold UTF-16LE bytes).
struct RegValue {
  std::u16string name;
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

/// A key's name: its UTF-16 units, held in place up to kInPlace of them (nearly every name
/// of the classes), else on the heap. A registry of a million root keys holds a million
/// names: one heap block less for each, and a key eight bytes smaller than with a string.
class KeyName {
 public:
  static constexpr std::size_t kInPlace = 14;
  KeyName() = default;
  // Not explicit either way: a name is its text, and passes wherever text does.
  KeyName(std::u16string_view text) { Assign(text); }
  KeyName(const KeyName& other) { Assign(other); }
  KeyName(KeyName&& other) noexcept : units_(other.units_), size_(other.size_) { other.size_ = 0; }
  KeyName& operator=(std::u16string_view text) {
    Assign(text);
    return *this;
  }
  KeyName& operator=(const KeyName& other) { return *this = std::u16string_view(other); }
  KeyName& operator=(KeyName&& other) noexcept {
    std::swap(units_, other.units_);
    std::swap(size_, other.size_);
    return *this;
  }
  ~KeyName() { Free(); }

  operator std::u16string_view() const { return {data(), size_}; }
  const char16_t* data() const { return size_ > kInPlace ? units_.heap : units_.here; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  char16_t operator[](std::size_t i) const { return data()[i]; }
  friend bool operator==(const KeyName& a, std::u16string_view b) {
    return std::u16string_view(a) == b;
  }

 private:
  // `text` may lie in this very name: it is copied before the old units are let go.
  void Assign(std::u16string_view text) {
    if (text.data() == data() && text.size() == size_) return;
    if (text.size() > kInPlace) {
      char16_t* heap = new char16_t[text.size()];
      std::copy(text.begin(), text.end(), heap);
      Free();
      units_.heap = heap;
    } else {
      char16_t here[kInPlace];
      std::copy(text.begin(), text.end(), here);
      Free();
      std::copy(here, here + text.size(), units_.here);
    }
    size_ = static_cast<std::uint32_t>(text.size());
  }
  void Free() {
    if (size_ > kInPlace) delete[] units_.heap;
    size_ = 0;
  }
  union Units {
    char16_t here[kInPlace];
    char16_t* heap;
  } units_{};
  std::uint32_t size_ = 0;
};

/// The values of one key in the order they were set. A key with many values gets an index
/// by FoldKeyName of their names, so that it is still read and written in constant time,
/// and a value removed from it leaves a gap until gaps are half the list. A key with few
/// values is looked through, and costs no more than its list. The functions below keep
/// the list and the index in step. A key without values holds a null pointer only: most
/// keys of a large registry are never read and hold none.
class RegValues {
 public:
  class Iterator {
   public:
    Iterator(const RegValues& owner, std::size_t at) : owner_(&owner), at_(at) { Skip(); }
    const RegValue& operator*() const { return owner_->body_->list[at_]; }
    const RegValue* operator->() const { return &owner_->body_->list[at_]; }
    Iterator& operator++() {
      ++at_;
      Skip();
      return *this;
    }
    bool operator==(const Iterator& other) const { return at_ == other.at_; }

   private:
    void Skip() {
      while (at_ < owner_->Count() && owner_->Gap(at_)) ++at_;
    }
    const RegValues* owner_;
    std::size_t at_;
  };

  Iterator begin() const { return Iterator(*this, 0); }
  Iterator end() const { return Iterator(*this, Count()); }
  std::size_t size() const { return Count() - (body_ && body_->index ? body_->index->gaps : 0); }

  RegValue* Find(std::u16string_view name);
  void Set(RegValue value);
  void Erase(std::u16string_view name);

 private:
  struct Long {
    std::unordered_map<std::u16string, std::size_t> index;
    std::vector<bool> gap;  // empty while there is no gap
    std::size_t gaps = 0;
  };
  struct Body {
    std::vector<RegValue> list;
    std::unique_ptr<Long> index;
  };
  std::size_t Count() const { return body_ ? body_->list.size() : 0; }
  bool Gap(std::size_t i) const {
    return body_->index && !body_->index->gap.empty() && body_->index->gap[i];
  }
  std::size_t Position(std::u16string_view name);

  std::unique_ptr<Body> body_;
};

struct RegKey;

/// What fills a lazy key: see the top of this file.
class KeyFiller {
 public:
  virtual ~KeyFiller() = default;
  /// Sets the values and subkeys of `key`, which has its name and nothing else yet.
  virtual void Fill(RegKey& key, std::uint64_t ref) const = 0;
  /// False when the key cannot have a subkey `name`, which FindSubkey then does not look
  /// for: a loader that knows this without reading the key spares reading it.
  virtual bool MayHaveSubkey(std::uint64_t /*ref*/, std::u16string_view /*name*/) const {
    return true;
  }
};

/// A hash table over the subkeys of a key with many: see FindSubkey.
struct SubkeyLookup {
  std::vector<std::uint32_t> slots;  // positions in `subkeys`, UINT32_MAX for none
  std::size_t looks = 0;             // look-ups since the last change
  std::uint32_t next = 0;            // the position after the last subkey found
};

/// The subkeys of a key, as a vector of them, with the look-up table that FindSubkey makes
/// for a key with many. A key without subkeys holds a null pointer only. Reading goes
/// through the vector's own interface (`keys()`, or the few forwarders below); changing
/// through `Edit()`, which makes the list when there is none.
class SubkeyList {
 public:
  using Keys = std::vector<std::unique_ptr<RegKey>>;
  SubkeyList() = default;
  SubkeyList& operator=(Keys&& keys) {
    if (keys.empty()) {
      body_.reset();
    } else {
      Edit() = std::move(keys);
      body_->lookup.reset();
    }
    return *this;
  }
  const Keys& keys() const { return body_ ? body_->keys : None(); }
  Keys& Edit() {
    if (!body_) body_ = std::make_unique<Body>();
    return body_->keys;
  }
  std::size_t size() const { return keys().size(); }
  bool empty() const { return keys().empty(); }
  const std::unique_ptr<RegKey>& operator[](std::size_t i) const { return keys()[i]; }
  const std::unique_ptr<RegKey>& front() const { return keys().front(); }
  Keys::const_iterator begin() const { return keys().begin(); }
  Keys::const_iterator end() const { return keys().end(); }
  /// The look-up table, null until FindSubkey makes one.
  SubkeyLookup* Lookup() const { return body_ ? body_->lookup.get() : nullptr; }
  SubkeyLookup& MakeLookup() {
    Edit();
    if (!body_->lookup) body_->lookup = std::make_unique<SubkeyLookup>();
    return *body_->lookup;
  }
  void DropLookup() {
    if (body_) body_->lookup.reset();
  }

 private:
  struct Body {
    Keys keys;
    std::unique_ptr<SubkeyLookup> lookup;
  };
  static const Keys& None() {
    static const Keys none;
    return none;
  }
  std::unique_ptr<Body> body_;
};

/// One key: its name with its letter case, its values in the order they were set, and its
/// subkeys, sorted by FoldKeyName of their names, which is the order in which Windows
/// enumerates them. While `filler` is set and `read` is not, the key is unread and `values`
/// and `subkeys` are empty; `filler` stays once the key is read, so that Forget can make it
/// unread again. `longestName` is a cache that BuildOrder makes current when `orderValid`
/// is false; the subkeys' look-up table is one that FindSubkey makes for a key that is
/// looked into often. Every change of `subkeys` made through the functions below clears
/// both; a filler that sets `subkeys` of the key it fills itself has nothing to clear.
struct RegKey {
  KeyName name;
  RegValues values;
  SubkeyList subkeys;
  std::shared_ptr<const KeyFiller> filler;
  std::uint64_t fillRef = 0;
  DWORD longestName = 0;
  bool orderValid = false;
  bool read = false;     // the filler has run
  bool filling = false;  // the filler is running: what it sets is no change

  // Keys come by the million and stay until the process ends: they are cut from large
  // blocks (see regtree.cpp), not taken from the heap one by one.
  static void* operator new(std::size_t size);
  static void operator delete(void* key, std::size_t size) noexcept;
};

/// `name` as the registry compares and sorts key and value names: every UTF-16 code unit
/// upper-cased (UpperChar), so that names equal without regard to letter case fold alike.
std::u16string FoldKeyName(std::u16string_view name);
/// One UTF-16 code unit as FoldKeyName folds it.
char16_t FoldKeyChar(char16_t c);
/// A hash of FoldKeyName(name), never 0.
std::uint32_t HashKeyName(std::u16string_view name);
/// <0, 0, >0 as FoldKeyName(a) sorts before, with or after FoldKeyName(b).
int CompareKeyNames(std::u16string_view a, std::u16string_view b);

/// Reads a lazy key (runs its filler); a key that is read already is left alone.
void Fill(RegKey& key);
/// Makes a key that its filler read, and nothing changed since, unread again: its values
/// and subkeys, and everything below them, are freed. Any other key is left alone. No
/// pointer into what was below the key may be in use.
void Forget(RegKey& key);

/// The subkey `name` (any letter case) of `key`, or null.
RegKey* FindSubkey(RegKey& key, std::u16string_view name);
/// The subkey `name` of `key`, created with that spelling when it does not exist.
RegKey& MakeSubkey(RegKey& key, std::u16string_view name);
/// Removes the subkey `name` of `key` with everything below it; no subkey, no change.
void DeleteSubkey(RegKey& key, std::u16string_view name);

/// A new unread subkey `name` of `key` that `filler` fills with `ref`; an existing subkey
/// of that name (any letter case) is replaced.
RegKey& MakeLazySubkey(RegKey& key, std::u16string_view name,
                       std::shared_ptr<const KeyFiller> filler, std::uint64_t ref);
/// Adds many subkeys at once, in any order, in time n log n: for a loader that makes a
/// large key's subkeys (lazy or not) in one go. A name that comes twice (any letter case)
/// keeps its last key, and replaces an existing subkey of that name.
void AddSubkeys(RegKey& key, std::vector<std::unique_ptr<RegKey>> subkeys);

/// The value `name` (any letter case; "" the default value) of `key`, or null.
RegValue* FindValue(RegKey& key, std::u16string_view name);
/// Sets a value of `key`, replacing one of the same name (its spelling is kept).
void SetValue(RegKey& key, RegValue value);
/// Removes the value `name` of `key`; no value, no change.
void DeleteValue(RegKey& key, std::u16string_view name);

/// Puts `user`, the user's classes, over `machine`, the machine's, as Windows merges the two
/// into HKEY_CLASSES_ROOT: a key that the user has takes the user's values (and spelling)
/// instead of the machine's, and the subkeys of both appear. `user` is consumed. A key
/// that only one side has is moved as it is, read or not.
void MergeClasses(RegKey& machine, RegKey&& user);

/// Reads `key` and makes `longestName` (in UTF-16 units) current: `subkeys` is the
/// enumeration's order.
void BuildOrder(RegKey& key);

/// How many entries a loader reserves for the lists of its index over a file of `size`
/// bytes (or characters) in which each recorded section takes at least `shortest`: the
/// lists are then never copied as they grow, nor the pages of the copies faulted in, and
/// pages reserved past their ends are never touched. Past 16 million entries (a file of
/// some 350 MB) they grow as they must, so that no one reservation runs to gigabytes of
/// address space.
inline std::size_t MostSections(std::size_t size, std::size_t shortest) {
  return std::min(size / shortest + 1, std::size_t{1} << 24);
}

/// An entry of such a table that is only the hash of a name kept elsewhere: the loaders keep
/// their root keys' hashes beside the keys.
struct HashEntry {
  std::uint32_t hash;
};

/// Doubles the open-addressed table `slots` (at least 64 slots) of indexes into `entries`,
/// each of which carries the `hash` of its name, and places every index again; UINT32_MAX
/// marks a free slot. The loaders index root keys by name with it.
template <class Entries>
void GrowSlots(std::vector<std::uint32_t>& slots, const Entries& entries) {
  slots.assign(std::max<std::size_t>(64, slots.size() * 2), UINT32_MAX);
  const std::size_t mask = slots.size() - 1;
  for (std::uint32_t k = 0; k < entries.size(); ++k) {
    std::size_t i = entries[k].hash & mask;
    while (slots[i] != UINT32_MAX) i = (i + 1) & mask;
    slots[i] = k;
  }
}

}  // namespace tavplat
