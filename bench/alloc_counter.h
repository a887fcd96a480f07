#pragma once
// Counts heap allocations (operator new in every form, malloc, calloc, realloc) made by this
// process while counting is switched on, for benchmarks that must not allocate.

#include <cstdint>

namespace vx::bench {

void StartCountingAllocations();
// Switches counting off and answers the allocations since StartCountingAllocations.
std::uint64_t StopCountingAllocations();

}  // namespace vx::bench
