// Fuzz target: a memo kind byte and the bytes of a memo file (see ReadMemoBytes).

#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_inputs.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vx::fuzz::ReadMemoBytes(vx::fuzz::ScratchDir(), data, size);
  return 0;
}
