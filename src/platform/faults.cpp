#include "faults.h"

#include "files.h"

namespace tavplat {

Faults& InjectedFaults() {
  static Faults faults;
  return faults;
}

Trace& PlatformTrace() {
  static Trace trace;
  return trace;
}

void ResetFaults() {
  InjectedFaults() = Faults{};
  PlatformTrace() = Trace{};
  CreatedFileBytes() = 0;
}

}  // namespace tavplat
