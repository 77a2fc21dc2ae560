// What the fuzz targets share: a machine that reads nothing of its own, and the checks
// every loader's result must pass, with a walk over the whole tree so that work a loader
// leaves for later is fuzzed too.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

#include "machine.h"
#include "regtree.h"

inline void QuietMachine() {
  setenv("TAVDUMP_REGISTRY", "/dev/null", 1);  // never the user's own Wine prefix
  setenv("TAVDUMP_ACP", "932", 0);  // double-byte text unless the run names another page
}

inline std::size_t Walk(tavplat::RegKey& key) {
  tavplat::BuildOrder(key);  // reads a key that a loader left unread
  std::size_t sum = key.name.size();
  for (const tavplat::RegValue& v : key.values)
    for (BYTE b : v.data) sum += b + v.name.size() + v.type;
  for (auto& sub : key.subkeys) sum += Walk(*sub);
  return sum;
}

// Failure: one line of printable text and an empty tree. Success: no message.
inline void Check(LSTATUS status, const std::string& error, tavplat::RegKey& root) {
  const bool failed = status != ERROR_SUCCESS;
  bool printable = true;
  for (unsigned char c : error) printable = printable && c >= 0x20 && c != 0x7F;
  const bool empty = Walk(root) == 0 && root.subkeys.empty();
  if (failed == error.empty() || !printable || (failed && !empty))
    std::abort();
}

// The input as a file, for the loaders that read a path: one file in memory, rewritten for
// each input.
inline std::string AsFile(const std::uint8_t* data, std::size_t size) {
  static const int fd = memfd_create("fuzz", 0);
  if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
    std::abort();
  return "/proc/self/fd/" + std::to_string(fd);
}

// A loader that reads a path, over any bytes: what the file tells of its machine, then
// its classes, each held to Check.
inline void FactsThenClasses(const std::uint8_t* data, std::size_t size, auto readFacts,
                             auto loadClasses) {
  const std::string file = AsFile(data, size);
  tavplat::MachineFacts facts;
  tavplat::RegKey root;
  std::string error;
  Check(readFacts(file, facts, error), error, root);
  error.clear();
  Check(loadClasses(file, root, error), error, root);
}
