#pragma once
// The identity of an open file (device and inode), the key that names a table in lock and cache
// bookkeeping: two paths to one file give the same key, two files never do.

#include <string>

#include "platform/os/file.h"

namespace vx::os {

// Answers "device:inode" in hex for the open file, or an empty string when it cannot be read.
std::string FileIdentity(const File& file);

}  // namespace vx::os
