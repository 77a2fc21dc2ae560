// Times the first touch of fresh memory, the cost that bounds every large run here: the
// scan's own arrays of a million root keys are 200 MB before the registry is read at all.
//
//   touch MIB [PAGES]      PAGES: huge (default, advised as huge pages) or small
//
// Prints the processor time (user, system) of writing MIB mebibytes of fresh memory once,
// then of writing the same memory again.
#include <sys/mman.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
double Cpu() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: touch MIB [huge|small]\n");
    return 2;
  }
  const std::size_t size = std::strtoull(argv[1], nullptr, 10) << 20;
  const bool huge = argc < 3 || std::strcmp(argv[2], "small") != 0;
  void* block = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) return 1;
  madvise(block, size, huge ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
  const double start = Cpu();
  std::memset(block, 1, size);
  const double first = Cpu();
  std::memset(block, 2, size);
  const double again = Cpu();
  std::printf("%zu MiB, %s pages: first touch %.3f s, again %.3f s\n", size >> 20,
              huge ? "huge" : "4 KiB", first - start, again - first);
  return static_cast<volatile char*>(block)[size / 2] == 2 ? 0 : 1;
}
