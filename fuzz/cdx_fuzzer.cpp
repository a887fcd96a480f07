// Fuzz target: a table and a FoxPro compound index (see ReadCdxBytes).

#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_inputs.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vx::fuzz::ReadCdxBytes(vx::fuzz::ScratchDir(), data, size);
  return 0;
}
