#include "regtree.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "codepage.h"
#include "sanitized.h"

namespace tavplat {

namespace {

// Blocks of keys, 2 MiB each and aligned so, that the system may back each with one huge
// page: a registry of a million root keys makes millions of keys, and on 4 KiB pages they
// cost a page fault every 32 keys and many misses of the address translation. A key given
// back is kept for the next one. The blocks stay listed, so that what the keys hold stays
// reachable for a leak checker.
constexpr std::size_t kKeyBlock = std::size_t{2} << 20;
struct KeyPool {
  std::vector<void*> blocks;
  char* next = nullptr;
  char* end = nullptr;
  void* unused = nullptr;  // keys given back, each holding the next
};

KeyPool& Pool() {
  static KeyPool& pool = *new KeyPool;  // never freed, as the keys in it are not
  return pool;
}

// A list this long gets an index: below it, a look along the list is faster.
constexpr std::size_t kIndexFrom = 16;
// A key with this many subkeys may get a hash table over them.
constexpr std::size_t kLookupFrom = 64;

// The position of the subkey that `name` folds like, or where it would go.
std::vector<std::unique_ptr<RegKey>>::iterator Place(RegKey& key, std::u16string_view name) {
  // Loaders mostly add subkeys in sorted order: look at the last one first.
  auto& subkeys = key.subkeys.Edit();
  if (!subkeys.empty()) {
    const int c = CompareKeyNames(subkeys.back()->name, name);
    if (c < 0) return subkeys.end();
    if (c == 0) return subkeys.end() - 1;
  }
  return std::lower_bound(subkeys.begin(), subkeys.end(), name,
                          [](const std::unique_ptr<RegKey>& k, std::u16string_view n) {
                            return CompareKeyNames(k->name, n) < 0;
                          });
}

RegKey* Found(RegKey& key, std::vector<std::unique_ptr<RegKey>>::iterator it,
              std::u16string_view name) {
  return it != key.subkeys.keys().end() && CompareKeyNames((*it)->name, name) == 0 ? it->get()
                                                                                 : nullptr;
}

bool Before(const std::unique_ptr<RegKey>& a, const std::unique_ptr<RegKey>& b) {
  return CompareKeyNames(a->name, b->name) < 0;
}

}  // namespace

// Under AddressSanitizer every key comes from the heap, so that a key used after it was
// given back is still caught.

void* RegKey::operator new(std::size_t size) {
#ifdef TAVPLAT_ADDRESS_SANITIZED
  return ::operator new(size);
#endif
  KeyPool& pool = Pool();
  if (pool.unused) {
    void* key = pool.unused;
    pool.unused = *static_cast<void**>(key);
    return key;
  }
  if (static_cast<std::size_t>(pool.end - pool.next) < size) {
    void* block = std::aligned_alloc(kKeyBlock, kKeyBlock);
    if (!block) throw std::bad_alloc();
    madvise(block, kKeyBlock, MADV_HUGEPAGE);
    pool.blocks.push_back(block);
    pool.next = static_cast<char*>(block);
    pool.end = pool.next + kKeyBlock;
  }
  void* key = pool.next;
  pool.next += size;
  return key;
}

void RegKey::operator delete(void* key, std::size_t size) noexcept {
  (void)size;
#ifdef TAVPLAT_ADDRESS_SANITIZED
  ::operator delete(key);
  return;
#endif
  KeyPool& pool = Pool();
  *static_cast<void**>(key) = pool.unused;
  pool.unused = key;
}

// Most names are ASCII: those letters are folded here without the table.
char16_t FoldKeyChar(char16_t c) {
  if (c < 0x80) return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 0x20) : c;
  return UpperChar(c);
}

std::uint32_t HashKeyName(std::u16string_view name) {
  std::uint32_t h = 2166136261u;
  for (char16_t c : name) h = (h ^ FoldKeyChar(c)) * 16777619u;
  return h ? h : 1;
}

std::u16string FoldKeyName(std::u16string_view name) {
  std::u16string folded(name);
  for (char16_t& c : folded) c = FoldKeyChar(c);
  return folded;
}

int CompareKeyNames(std::u16string_view a, std::u16string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  // Units that are equal fold alike: only where they differ is the table asked. Names
  // compared are mostly equal for long runs, which are passed over four units at a time.
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    std::uint64_t x, y;
    std::memcpy(&x, a.data() + i, sizeof x);
    std::memcpy(&y, b.data() + i, sizeof y);
    if (x != y) break;
  }
  for (; i < n; ++i) {
    if (a[i] == b[i]) continue;
    const char16_t x = FoldKeyChar(a[i]), y = FoldKeyChar(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

std::size_t RegValues::Position(std::u16string_view name) {
  if (!body_) return 0;
  std::vector<RegValue>& list = body_->list;
  std::unique_ptr<Long>& index = body_->index;
  if (!index && list.size() >= kIndexFrom) {
    index = std::make_unique<Long>();
    for (std::size_t i = 0; i < list.size(); ++i) index->index.emplace(FoldKeyName(list[i].name), i);
  }
  if (index) {
    auto it = index->index.find(FoldKeyName(name));
    return it == index->index.end() ? list.size() : it->second;
  }
  for (std::size_t i = 0; i < list.size(); ++i)
    if (CompareKeyNames(list[i].name, name) == 0) return i;
  return list.size();
}

RegValue* RegValues::Find(std::u16string_view name) {
  const std::size_t i = Position(name);
  return i < Count() ? &body_->list[i] : nullptr;
}

void RegValues::Set(RegValue value) {
  if (!body_) {
    // A key's first value, as a fill sets most: nothing to look through or index.
    body_ = std::make_unique<Body>();
    body_->list.push_back(std::move(value));
    return;
  }
  const std::size_t i = Position(value.name);
  if (i < Count()) {
    body_->list[i].type = value.type;
    body_->list[i].data = std::move(value.data);
    return;
  }
  if (!body_) body_ = std::make_unique<Body>();
  std::vector<RegValue>& list = body_->list;
  std::unique_ptr<Long>& index = body_->index;
  if (index) index->index.emplace(FoldKeyName(value.name), list.size());
  try {
    list.push_back(std::move(value));
    if (index && !index->gap.empty()) index->gap.push_back(false);
  } catch (...) {
    index.reset();  // no index entry without its value; made again on the next look-up
    throw;
  }
}

void RegValues::Erase(std::u16string_view name) {
  const std::size_t i = Position(name);
  if (i == Count()) return;
  std::vector<RegValue>& list = body_->list;
  std::unique_ptr<Long>& index = body_->index;
  if (!index) {
    list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
    return;
  }
  index->index.erase(FoldKeyName(name));
  if (index->gap.empty()) index->gap.assign(list.size(), false);
  index->gap[i] = true;
  list[i] = RegValue{};
  if (++index->gaps * 2 <= list.size()) return;
  // Half the list is gaps: the values close up, and the index is made again when needed.
  std::size_t kept = 0;
  for (std::size_t k = 0; k < list.size(); ++k)
    if (!index->gap[k]) list[kept++] = std::move(list[k]);
  list.resize(kept);
  index.reset();
}

void Fill(RegKey& key) {
  if (!key.filler || key.read) return;
  // Marked first: the filler works with the functions that call Fill, and what it sets
  // through them is the key's content, not a change of it.
  key.read = key.filling = true;
  key.filler->Fill(key, key.fillRef);
  key.filling = false;
}

namespace {
// `key` is about to change: from now on its content is no longer its source's alone.
void Changing(RegKey& key) {
  Fill(key);
  if (!key.filling) key.filler = nullptr;
}
}  // namespace

void Forget(RegKey& key) {
  if (!key.filler || !key.read || key.filling) return;
  key.values = RegValues{};
  key.subkeys = SubkeyList{};
  key.orderValid = false;
  key.read = false;
}

RegKey* FindSubkey(RegKey& key, std::u16string_view name) {
  if (key.filler && !key.read && !key.filler->MayHaveSubkey(key.fillRef, name)) return nullptr;
  Fill(key);
  const std::size_t n = key.subkeys.size();
  if (n == 0) return nullptr;
  if (n < kLookupFrom) return Found(key, Place(key, name), name);
  // A scan looks at a large key's subkeys in their order, each after the one before, and
  // at some of them a few times in a row: the subkey after the last one found, and that
  // one, are compared first, and a hit spares any search.
  SubkeyLookup& l = key.subkeys.MakeLookup();
  if (l.next < n && CompareKeyNames(key.subkeys[l.next]->name, name) == 0)
    return key.subkeys[l.next++].get();
  if (l.next > 0 && CompareKeyNames(key.subkeys[l.next - 1]->name, name) == 0)
    return key.subkeys[l.next - 1].get();
  // Looked into out of order more than a few times, a large key gets a hash table, so that
  // a scan of every root key does not search among them all each time: made once such
  // look-ups since the last change are a sixteenth of the subkeys, its cost is spread over
  // them even while a loader adds and looks alternately.
  if (l.slots.empty() && ++l.looks * 16 >= n) {
    std::size_t size = 64;
    while (size < 2 * n) size *= 2;
    l.slots.assign(size, UINT32_MAX);
    for (std::uint32_t i = 0; i < n; ++i) {
      std::size_t at = HashKeyName(key.subkeys[i]->name) & (size - 1);
      while (l.slots[at] != UINT32_MAX) at = (at + 1) & (size - 1);
      l.slots[at] = i;
    }
  }
  std::size_t found = n;
  if (l.slots.empty()) {
    auto it = Place(key, name);
    if (Found(key, it, name)) found = static_cast<std::size_t>(it - key.subkeys.Edit().begin());
  } else {
    const std::size_t mask = l.slots.size() - 1;
    for (std::size_t at = HashKeyName(name) & mask; l.slots[at] != UINT32_MAX && found == n;
         at = (at + 1) & mask)
      if (CompareKeyNames(key.subkeys[l.slots[at]]->name, name) == 0) found = l.slots[at];
  }
  if (found == n) return nullptr;
  l.next = static_cast<std::uint32_t>(found + 1);
  return key.subkeys[found].get();
}

RegKey& MakeSubkey(RegKey& key, std::u16string_view name) {
  Changing(key);
  auto it = Place(key, name);
  if (RegKey* found = Found(key, it, name)) return *found;
  auto sub = std::make_unique<RegKey>();
  sub->name = name;
  key.orderValid = false;
  key.subkeys.DropLookup();
  return **key.subkeys.Edit().insert(it, std::move(sub));
}

RegKey& MakeLazySubkey(RegKey& key, std::u16string_view name,
                       std::shared_ptr<const KeyFiller> filler, std::uint64_t ref) {
  DeleteSubkey(key, name);
  RegKey& sub = MakeSubkey(key, name);
  sub.filler = std::move(filler);
  sub.fillRef = ref;
  return sub;
}

void AddSubkeys(RegKey& key, std::vector<std::unique_ptr<RegKey>> subkeys) {
  Changing(key);
  // The last of equal names wins: a stable sort keeps them in the order given. A source
  // mostly lists its keys sorted, or in a few sorted runs: those are merged, not sorted.
  // A sorted list with no name twice (a loader's root keys, a key's few subkeys) is taken
  // as it is: one comparison of each neighbour tells, and nothing is allocated.
  bool sorted = true, twice = false;
  for (std::size_t i = 1; i < subkeys.size(); ++i) {
    const int c = CompareKeyNames(subkeys[i]->name, subkeys[i - 1]->name);
    sorted = sorted && c >= 0;
    twice = twice || c == 0;
  }
  std::vector<std::size_t> runs;
  if (!sorted) {
    twice = true;  // the sort may bring equal names together
    runs.push_back(0);
    for (std::size_t i = 1; i < subkeys.size(); ++i)
      if (Before(subkeys[i], subkeys[i - 1])) runs.push_back(i);
    runs.push_back(subkeys.size());
  }
  while (runs.size() > 2) {
    std::vector<std::size_t> merged{0};
    for (std::size_t r = 2; r < runs.size(); r += 2) {
      std::inplace_merge(subkeys.begin() + static_cast<std::ptrdiff_t>(runs[r - 2]),
                         subkeys.begin() + static_cast<std::ptrdiff_t>(runs[r - 1]),
                         subkeys.begin() + static_cast<std::ptrdiff_t>(runs[r]), Before);
      merged.push_back(runs[r]);
    }
    if (runs.size() % 2 == 0) merged.push_back(runs.back());
    runs = std::move(merged);
  }
  std::size_t kept = 0;
  for (std::size_t i = 0; i < subkeys.size() && twice; ++i) {
    if (kept > 0 && CompareKeyNames(subkeys[kept - 1]->name, subkeys[i]->name) == 0) --kept;
    subkeys[kept++] = std::move(subkeys[i]);
  }
  if (twice) subkeys.resize(kept);
  if (subkeys.empty()) return;
  key.orderValid = false;
  key.subkeys.DropLookup();
  if (key.subkeys.empty()) {
    key.subkeys = std::move(subkeys);
    return;
  }
  std::vector<std::unique_ptr<RegKey>> merged;
  merged.reserve(key.subkeys.size() + subkeys.size());
  auto& old = key.subkeys.Edit();
  auto a = old.begin(), b = subkeys.begin();
  while (a != old.end() || b != subkeys.end()) {
    const int c = a == old.end()          ? 1
                  : b == subkeys.end()    ? -1
                                          : CompareKeyNames((*a)->name, (*b)->name);
    if (c == 0) ++a;  // replaced by the new one
    merged.push_back(std::move(c < 0 ? *a++ : *b++));
  }
  key.subkeys = std::move(merged);
}

void DeleteSubkey(RegKey& key, std::u16string_view name) {
  Changing(key);
  if (key.subkeys.empty()) return;
  auto it = Place(key, name);
  if (!Found(key, it, name)) return;
  key.subkeys.Edit().erase(it);
  key.orderValid = false;
  key.subkeys.DropLookup();
}

RegValue* FindValue(RegKey& key, std::u16string_view name) {
  Fill(key);
  return key.values.Find(name);
}

void SetValue(RegKey& key, RegValue value) {
  Changing(key);
  key.values.Set(std::move(value));
}

void DeleteValue(RegKey& key, std::u16string_view name) {
  Changing(key);
  key.values.Erase(name);
}

void MergeClasses(RegKey& machine, RegKey&& user) {
  Changing(machine);
  Fill(user);
  if (user.subkeys.empty()) return;
  // Both lists are sorted: one walk along them puts each of the user's keys in its place.
  std::vector<std::unique_ptr<RegKey>> merged;
  merged.reserve(machine.subkeys.size() + user.subkeys.size());
  auto& mine = machine.subkeys.Edit();
  auto& theirs = user.subkeys.Edit();
  auto a = mine.begin(), b = theirs.begin();
  while (a != mine.end() || b != theirs.end()) {
    const int c = a == mine.end()    ? 1
                  : b == theirs.end() ? -1
                                              : CompareKeyNames((*a)->name, (*b)->name);
    if (c < 0) {
      merged.push_back(std::move(*a++));
    } else if (c > 0) {
      merged.push_back(std::move(*b++));
    } else {
      RegKey& target = **a;
      RegKey& sub = **b++;
      Changing(target);
      Fill(sub);
      target.name = std::move(sub.name);
      target.values = std::move(sub.values);
      MergeClasses(target, std::move(sub));
      merged.push_back(std::move(*a++));
    }
  }
  machine.subkeys = std::move(merged);
  machine.orderValid = false;
  user.subkeys = SubkeyList{};
}

void BuildOrder(RegKey& key) {
  Fill(key);
  if (key.orderValid) return;
  key.longestName = 0;
  for (const auto& sub : key.subkeys)
    key.longestName = std::max(key.longestName, static_cast<DWORD>(sub->name.size()));
  key.orderValid = true;
}

}  // namespace tavplat
