// Code pages.

#include "platform/os/codepage.h"

#include <vexel/codepage.hpp>

namespace vexel {

bool codepage_available(int page) noexcept {
  try {
    return vx::os::CodePageAvailable(page);
  } catch (...) {
    return false;
  }
}

}  // namespace vexel
