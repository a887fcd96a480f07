// Fuzz target: the bytes are one vxdbf command line and its standard input, run in-process
// against a fresh copy of a small table with a memo file and an index (see RunVxdbfBytes).

#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "fuzz/vxdbf_inputs.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vx::fuzz::RunVxdbfBytes(vx::fuzz::ScratchDir(), data, size);
  return 0;
}
