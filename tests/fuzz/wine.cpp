// The Wine registry file loader over any bytes: what the file tells of its machine, then
// its classes.
#include "fuzz.h"
#include "winereg.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) { return QuietMachine(), 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FactsThenClasses(
      data, size,
      [](const std::string& f, auto& facts, auto& e) { return tavplat::ReadWineFacts(f, false, facts, e); },
      [](const std::string& f, auto& root, auto& e) { return tavplat::LoadWineClasses(f, false, root, e); });
  return 0;
}
