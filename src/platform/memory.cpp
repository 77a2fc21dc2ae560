// The program's heap, in three sizes.
//
// Large blocks on huge pages. A registry of a million root keys makes the program's arrays
// a hundred megabytes and more (the scan's records, the loaders' indexes), and on the
// system's 4 KiB pages each such array costs a page fault every 4 KiB: on a virtual
// machine the faults alone took longer than the scan. A block this large is cut at a
// 2 MiB boundary and advised as huge pages, which the system may then give it 2 MiB at a
// time.
//
// Small blocks by size. The scan reads a million root keys one after another, and each
// read makes a handful of small blocks (a key's values and their bytes, its list of
// subkeys) that are freed again once the scan has moved on: the general heap spent a
// tenth of the run on them. Here a block of up to 256 bytes comes from a list of free
// blocks of its size, taken and given back at the list's head, so the next key reuses the
// blocks the last one left while they are still in the cache. Small blocks are cut, 64 KiB
// of one size at a time, from one range of address space reserved at the start; a block's
// address tells whether it lies there, and the head of its 64 KiB its size. The range is
// never given back; a process that fills it, or a system that refuses to reserve it, gets
// the general heap instead.
//
// Every other block, and every block of a sanitized build (whose allocator checks them),
// comes from the general heap as usual.
#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "sanitized.h"

#ifndef TAVPLAT_ADDRESS_SANITIZED
namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kLargeBlock = 2 * kHugePage;

constexpr std::size_t kGrain = 16;
constexpr std::size_t kSmallest = kGrain;
constexpr std::size_t kLargestSmall = 256;
constexpr std::size_t kSizes = kLargestSmall / kGrain;
constexpr std::size_t kRun = std::size_t{64} << 10;
// Address space only: pages are taken as blocks are first used. Far more than a registry
// of millions of keys needs; a system (or a tool like valgrind) that refuses so much gets
// asked for a quarter as much, down to a gigabyte.
constexpr std::size_t kMostRange = std::size_t{64} << 30;
constexpr std::size_t kLeastRange = std::size_t{1} << 30;

// The reserved range, null and empty when the system refused it; `nextRun` the first run
// not yet cut. Set up by the first allocation.
struct SmallRange {
  char* base = nullptr;
  std::size_t size = 0;
  std::atomic<std::size_t> nextRun{0};

  SmallRange() {
    for (size = kMostRange; size >= kLeastRange; size /= 4) {
      void* range = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
      if (range == MAP_FAILED) continue;
      madvise(range, size, MADV_HUGEPAGE);
      base = static_cast<char*>(range);
      return;
    }
    size = 0;
  }
  bool Holds(const void* block) const {
    const auto at = reinterpret_cast<std::uintptr_t>(block);
    const auto start = reinterpret_cast<std::uintptr_t>(base);
    return at >= start && at - start < size;
  }
};

SmallRange& Range() {
  static SmallRange range;  // never destroyed: blocks may be freed until the very end
  return range;
}

// Each thread keeps its own lists, so that no lock is taken; a block freed by another
// thread than the one that made it joins that other thread's list.
struct FreeBlock {
  FreeBlock* next;
};
struct SmallLists {
  FreeBlock* head[kSizes] = {};
  char* next[kSizes] = {};  // where the class's current run is cut next, and its end
  char* end[kSizes] = {};
};
thread_local SmallLists lists;

// A run's first grain holds its size class; blocks follow.
void* NewRun(SmallLists& own, std::size_t sizeClass) {
  SmallRange& range = Range();
  const std::size_t run = range.nextRun.fetch_add(1, std::memory_order_relaxed);
  if (run >= range.size / kRun) return nullptr;
  char* start = range.base + run * kRun;
  *reinterpret_cast<std::size_t*>(start) = sizeClass;
  own.next[sizeClass] = start + kGrain;
  own.end[sizeClass] = start + kRun;
  return start;
}

void* AllocateSmall(std::size_t size) {
  const std::size_t sizeClass = (size - 1) / kGrain;
  SmallLists& own = lists;
  if (FreeBlock* block = own.head[sizeClass]) {
    own.head[sizeClass] = block->next;
    return block;
  }
  const std::size_t blockSize = (sizeClass + 1) * kGrain;
  if (static_cast<std::size_t>(own.end[sizeClass] - own.next[sizeClass]) < blockSize &&
      !NewRun(own, sizeClass))
    return std::malloc(size);
  void* block = own.next[sizeClass];
  own.next[sizeClass] += blockSize;
  return block;
}

void* Allocate(std::size_t size) {
  if (size <= kLargestSmall) return AllocateSmall(size < kSmallest ? kSmallest : size);
  if (size < kLargeBlock) return std::malloc(size);
  const std::size_t whole = (size + kHugePage - 1) & ~(kHugePage - 1);
  void* block = std::aligned_alloc(kHugePage, whole);
  if (block) madvise(block, whole, MADV_HUGEPAGE);
  return block;
}

void Free(void* block) {
  SmallRange& range = Range();
  if (!range.Holds(block)) {
    std::free(block);
    return;
  }
  const auto offset = static_cast<std::size_t>(static_cast<char*>(block) - range.base);
  const std::size_t sizeClass = *reinterpret_cast<std::size_t*>(range.base + offset / kRun * kRun);
  SmallLists& own = lists;
  auto* freed = static_cast<FreeBlock*>(block);
  freed->next = own.head[sizeClass];
  own.head[sizeClass] = freed;
}
}  // namespace

// The library's other forms (arrays, nothrow) call these.
void* operator new(std::size_t size) {
  for (;;) {
    if (void* block = Allocate(size)) return block;
    std::new_handler handler = std::get_new_handler();
    if (!handler) throw std::bad_alloc();
    handler();
  }
}

void operator delete(void* block) noexcept {
  if (block) Free(block);
}

void operator delete(void* block, std::size_t) noexcept {
  if (block) Free(block);
}
#endif
