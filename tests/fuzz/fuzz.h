// What the fuzz targets share: a machine that reads nothing of its own, and the checks
// every loader's result must pass, with a walk over the whole tree so that work a loader
// leaves for later is fuzzed too.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

#include "regtree.h"

inline void QuietMachine() {
  setenv("TAVDUMP_REGISTRY", "/dev/null", 1);  // never the user's own Wine prefix
  setenv("TAVDUMP_ACP", "932", 0);  // double-byte text unless the run names another page
}

// Subkeys as a map by folded name or as a sorted list: the walk takes either.
inline tavplat::RegKey& Sub(auto& entry) {
  if constexpr (requires { entry.second; }) return *entry.second;
  else return *entry;
}

inline std::size_t Walk(tavplat::RegKey& key) {
  tavplat::BuildOrder(key);  // reads a key that a loader left unread
  std::size_t sum = key.name.size();
  for (const tavplat::RegValue& v : key.values)
    for (BYTE b : v.data) sum += b + v.name.size() + v.type;
  for (auto& entry : key.subkeys) sum += Walk(Sub(entry));
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
