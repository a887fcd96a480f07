#include "fuzz/fuzz_support.h"

#include <cstdlib>

#include "engine/startup/engine_startup.h"

namespace vx::fuzz {

const std::string& ScratchDir() {
  static const std::string dir = [] {
    InitEngine();
    std::string pattern = "/tmp/vxfuzzXXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern;
  }();
  return dir;
}

}  // namespace vx::fuzz
