// The hive loader (libhivex) over any bytes: what the file tells of its machine, then
// its classes.
#include "fuzz.h"
#include "hive.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) { return QuietMachine(), 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string file = AsFile(data, size);
  tavplat::MachineFacts facts;
  tavplat::RegKey root;
  std::string error;
  Check(tavplat::ReadHiveFacts(file, facts, error), error, root);
  error.clear();
  Check(tavplat::LoadHiveClasses(file, root, error), error, root);
  return 0;
}
