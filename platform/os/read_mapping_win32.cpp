// Windows reads every file with ReadFile: a mapped file cannot be cut short by another program
// there (SetEndOfFile fails while a mapping holds it), which would break programs that pack or
// zap a shared table. The mapping layer is kept for its interface and never maps.
#include <atomic>

#include "platform/os/read_mapping.h"

namespace vx::os {

namespace {
std::atomic<ReadPath> g_read_path{ReadPath::kPread};
}  // namespace

void SetReadPath(ReadPath path) { g_read_path.store(path); }
ReadPath CurrentReadPath() { return g_read_path.load(); }
bool MapsCoherently(int) { return false; }

ReadMapping::ReadMapping(ReadMapping&&) noexcept {}
ReadMapping& ReadMapping::operator=(ReadMapping&&) noexcept { return *this; }
ReadMapping::~ReadMapping() = default;
void ReadMapping::Reset() {}
bool ReadMapping::Remap(int, std::uint64_t) { return false; }

bool ReadMapping::Read(int, std::uint64_t, std::span<std::byte>) {
  state_ = State::kOff;
  return false;
}

}  // namespace vx::os
