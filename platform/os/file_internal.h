#pragma once
// What the POSIX and the Win32 file services share inside platform/os (file_common.cpp).

#include <cstddef>
#include <string>

namespace vx::os {

// `length` random letters and digits for a temporary name.
std::string RandomSuffix(std::size_t length);

}  // namespace vx::os
