// The registry export loader over any bytes.
#include "fuzz.h"
#include "regfile.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) { return QuietMachine(), 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tavplat::RegKey root;
  std::string error;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  Check(tavplat::ParseRegFile(bytes, "f.reg", root, error), error, root);
  return 0;
}
