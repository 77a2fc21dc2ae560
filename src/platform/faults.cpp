#include "faults.h"

namespace tavplat {

namespace {

Faults& FaultState() {
  static Faults faults;
  return faults;
}

Trace& TraceState() {
  static Trace trace;
  return trace;
}

}  // namespace

Faults& InjectedFaults() { return FaultState(); }

Trace& PlatformTrace() { return TraceState(); }

void ResetFaults() {
  FaultState() = Faults{};
  TraceState() = Trace{};
}

}  // namespace tavplat
