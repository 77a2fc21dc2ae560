// Large blocks on huge pages. A registry of a million root keys makes the program's arrays
// a hundred megabytes and more (the scan's records, the loaders' indexes), and on the
// system's 4 KiB pages each such array costs a page fault every 4 KiB: on a virtual
// machine the faults alone took longer than the scan. A block this large is cut at a
// 2 MiB boundary and advised as huge pages, which the system may then give it 2 MiB at a
// time. Smaller blocks, and every block of a sanitized build (whose allocator checks
// them), come from the heap as usual; every block goes back with free().
#include <sys/mman.h>

#include <cstdlib>
#include <new>

#include "sanitized.h"

#ifndef TAVPLAT_ADDRESS_SANITIZED
namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kLargeBlock = 2 * kHugePage;

void* Allocate(std::size_t size) {
  if (size < kLargeBlock) return std::malloc(size ? size : 1);
  const std::size_t whole = (size + kHugePage - 1) & ~(kHugePage - 1);
  void* block = std::aligned_alloc(kHugePage, whole);
  if (block) madvise(block, whole, MADV_HUGEPAGE);
  return block;
}
}  // namespace

// The library's other forms (arrays, nothrow) call this one, and its operator delete
// frees: nothing else needs replacing.
void* operator new(std::size_t size) {
  for (;;) {
    if (void* block = Allocate(size)) return block;
    std::new_handler handler = std::get_new_handler();
    if (!handler) throw std::bad_alloc();
    handler();
  }
}
#endif
