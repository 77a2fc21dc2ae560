#include "regtree.h"

#include <algorithm>

#include "codepage.h"

namespace tavplat {

namespace {

// A list this long gets an index: below it, a look along the list is faster.
constexpr std::size_t kIndexFrom = 16;

// The position of the subkey that `name` folds like, or where it would go.
std::vector<std::unique_ptr<RegKey>>::iterator Place(RegKey& key, std::u16string_view name) {
  // Loaders mostly add subkeys in sorted order: look at the last one first.
  auto& subkeys = key.subkeys;
  if (!subkeys.empty() && CompareKeyNames(subkeys.back()->name, name) < 0) return subkeys.end();
  return std::lower_bound(subkeys.begin(), subkeys.end(), name,
                          [](const std::unique_ptr<RegKey>& k, std::u16string_view n) {
                            return CompareKeyNames(k->name, n) < 0;
                          });
}

RegKey* Found(RegKey& key, std::vector<std::unique_ptr<RegKey>>::iterator it,
              std::u16string_view name) {
  return it != key.subkeys.end() && CompareKeyNames((*it)->name, name) == 0 ? it->get() : nullptr;
}

bool Before(const std::unique_ptr<RegKey>& a, const std::unique_ptr<RegKey>& b) {
  return CompareKeyNames(a->name, b->name) < 0;
}

}  // namespace

// Most names are ASCII: those letters are folded here without the table.
char16_t FoldKeyChar(char16_t c) {
  if (c < 0x80) return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 0x20) : c;
  return UpperChar(c);
}

std::u16string FoldKeyName(std::u16string_view name) {
  std::u16string folded(name);
  for (char16_t& c : folded) c = FoldKeyChar(c);
  return folded;
}

int CompareKeyNames(std::u16string_view a, std::u16string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const char16_t x = FoldKeyChar(a[i]), y = FoldKeyChar(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

std::size_t RegValues::Position(std::u16string_view name) {
  if (!index_ && list_.size() >= kIndexFrom) {
    index_ = std::make_unique<std::unordered_map<std::u16string, std::size_t>>();
    for (std::size_t i = 0; i < list_.size(); ++i)
      if (!Gap(i)) index_->emplace(FoldKeyName(list_[i].name), i);
  }
  if (index_) {
    auto it = index_->find(FoldKeyName(name));
    return it == index_->end() ? list_.size() : it->second;
  }
  for (std::size_t i = 0; i < list_.size(); ++i)
    if (!Gap(i) && CompareKeyNames(list_[i].name, name) == 0) return i;
  return list_.size();
}

RegValue* RegValues::Find(std::u16string_view name) {
  const std::size_t i = Position(name);
  return i < list_.size() ? &list_[i] : nullptr;
}

void RegValues::Set(RegValue value) {
  const std::size_t i = Position(value.name);
  if (i < list_.size()) {
    list_[i].type = value.type;
    list_[i].data = std::move(value.data);
    return;
  }
  if (index_) index_->emplace(FoldKeyName(value.name), list_.size());
  try {
    list_.push_back(std::move(value));
    if (!gap_.empty()) gap_.push_back(false);
  } catch (...) {
    // No index entry without its value.
    index_.reset();
    throw;
  }
}

void RegValues::Erase(std::u16string_view name) {
  const std::size_t i = Position(name);
  if (i == list_.size()) return;
  if (index_) index_->erase(FoldKeyName(name));
  if (gap_.empty()) gap_.assign(list_.size(), false);
  gap_[i] = true;
  list_[i] = RegValue{};
  if (++gaps_ * 2 > list_.size()) Compact();
}

void RegValues::Compact() {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < list_.size(); ++i)
    if (!gap_[i]) list_[kept++] = std::move(list_[i]);
  list_.resize(kept);
  gap_.clear();
  gaps_ = 0;
  index_.reset();  // positions moved; made again on the next look-up
}

void Fill(RegKey& key) {
  if (!key.filler) return;
  // Taken first: the filler works with the functions that call Fill.
  const std::shared_ptr<const KeyFiller> filler = std::move(key.filler);
  key.filler = nullptr;
  filler->Fill(key, key.fillRef);
}

RegKey* FindSubkey(RegKey& key, std::u16string_view name) {
  if (key.filler && !key.filler->MayHaveSubkey(key.fillRef, name)) return nullptr;
  Fill(key);
  return Found(key, Place(key, name), name);
}

RegKey& MakeSubkey(RegKey& key, std::u16string_view name) {
  Fill(key);
  auto it = Place(key, name);
  if (RegKey* found = Found(key, it, name)) return *found;
  auto sub = std::make_unique<RegKey>();
  sub->name = name;
  key.orderValid = false;
  return **key.subkeys.insert(it, std::move(sub));
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
  Fill(key);
  // The last of equal names wins: a stable sort keeps them in the order given.
  std::stable_sort(subkeys.begin(), subkeys.end(), Before);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < subkeys.size(); ++i) {
    if (kept > 0 && CompareKeyNames(subkeys[kept - 1]->name, subkeys[i]->name) == 0) --kept;
    subkeys[kept++] = std::move(subkeys[i]);
  }
  subkeys.resize(kept);
  if (subkeys.empty()) return;
  key.orderValid = false;
  if (key.subkeys.empty()) {
    key.subkeys = std::move(subkeys);
    return;
  }
  std::vector<std::unique_ptr<RegKey>> merged;
  merged.reserve(key.subkeys.size() + subkeys.size());
  auto a = key.subkeys.begin(), b = subkeys.begin();
  while (a != key.subkeys.end() || b != subkeys.end()) {
    const int c = a == key.subkeys.end()  ? 1
                  : b == subkeys.end()    ? -1
                                          : CompareKeyNames((*a)->name, (*b)->name);
    if (c == 0) ++a;  // replaced by the new one
    merged.push_back(std::move(c < 0 ? *a++ : *b++));
  }
  key.subkeys = std::move(merged);
}

void DeleteSubkey(RegKey& key, std::u16string_view name) {
  Fill(key);
  auto it = Place(key, name);
  if (!Found(key, it, name)) return;
  key.subkeys.erase(it);
  key.orderValid = false;
}

RegValue* FindValue(RegKey& key, std::u16string_view name) {
  Fill(key);
  return key.values.Find(name);
}

void SetValue(RegKey& key, RegValue value) {
  Fill(key);
  key.values.Set(std::move(value));
}

void DeleteValue(RegKey& key, std::u16string_view name) {
  Fill(key);
  key.values.Erase(name);
}

void MergeClasses(RegKey& machine, RegKey&& user) {
  Fill(machine);
  Fill(user);
  if (user.subkeys.empty()) return;
  // Both lists are sorted: one walk along them puts each of the user's keys in its place.
  std::vector<std::unique_ptr<RegKey>> merged;
  merged.reserve(machine.subkeys.size() + user.subkeys.size());
  auto a = machine.subkeys.begin(), b = user.subkeys.begin();
  while (a != machine.subkeys.end() || b != user.subkeys.end()) {
    const int c = a == machine.subkeys.end()  ? 1
                  : b == user.subkeys.end()   ? -1
                                              : CompareKeyNames((*a)->name, (*b)->name);
    if (c < 0) {
      merged.push_back(std::move(*a++));
    } else if (c > 0) {
      merged.push_back(std::move(*b++));
    } else {
      RegKey& target = **a;
      RegKey& sub = **b++;
      Fill(target);
      Fill(sub);
      target.name = std::move(sub.name);
      target.values = std::move(sub.values);
      MergeClasses(target, std::move(sub));
      merged.push_back(std::move(*a++));
    }
  }
  machine.subkeys = std::move(merged);
  machine.orderValid = false;
  user.subkeys.clear();
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
