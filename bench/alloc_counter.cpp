#include "bench/alloc_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

// glibc's own entry points, which the replacements below forward to.
extern "C" void* __libc_malloc(std::size_t size);
extern "C" void* __libc_calloc(std::size_t count, std::size_t size);
extern "C" void* __libc_realloc(void* pointer, std::size_t size);

namespace {
std::atomic<bool> counting{false};
std::atomic<std::uint64_t> allocations{0};

void Count() {
  if (counting.load(std::memory_order_relaxed)) {
    allocations.fetch_add(1, std::memory_order_relaxed);
  }
}

void* Allocate(std::size_t size) {
  Count();
  void* p = __libc_malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
}  // namespace

extern "C" void* malloc(std::size_t size) {
  Count();
  return __libc_malloc(size);
}
extern "C" void* calloc(std::size_t count, std::size_t size) {
  Count();
  return __libc_calloc(count, size);
}
extern "C" void* realloc(void* pointer, std::size_t size) {
  Count();
  return __libc_realloc(pointer, size);
}

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  Count();
  return __libc_malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  Count();
  return __libc_malloc(size == 0 ? 1 : size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace vx::bench {

void StartCountingAllocations() {
  allocations.store(0);
  counting.store(true);
}

std::uint64_t StopCountingAllocations() {
  counting.store(false);
  return allocations.load();
}

}  // namespace vx::bench
