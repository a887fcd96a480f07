// Fuzz target: a table and its index (see ReadIndexBytes).

#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_inputs.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vx::fuzz::ReadIndexBytes(vx::fuzz::ScratchDir(), data, size);
  return 0;
}
