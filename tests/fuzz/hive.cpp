// The hive reader over any bytes: what the file tells of its machine, then its classes.
#include "fuzz.h"
#include "hive.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) { return QuietMachine(), 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FactsThenClasses(data, size, tavplat::ReadHiveFacts, tavplat::LoadHiveClasses);
  return 0;
}
