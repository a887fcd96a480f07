#include "fuzz/fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "engine/startup/engine_startup.h"

namespace vx::fuzz {

const std::string& ScratchDir() {
  static const std::string dir = [] {
    InitEngine();
    std::string pattern = "/tmp/vxfuzzXXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern + "/";
  }();
  return dir;
}

std::string WriteScratch(const std::string& name, const std::uint8_t* data, std::size_t size) {
  const std::string path = ScratchDir() + name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out) std::abort();
  return path;
}

}  // namespace vx::fuzz
