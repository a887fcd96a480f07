#pragma once
// The identity of an open file (device and inode), the key that names a table in lock and cache
// bookkeeping: two paths to one file give the same key, two files never do.

#include <string>

#include "platform/os/file.h"

namespace vx::os {

// Answers "device:inode" in hex for the open file, or an empty string when it cannot be read.
std::string FileIdentity(const File& file);
// The same for the file `path` names, without following a link: empty unless it is a regular
// file.
std::string PathIdentity(const std::string& path);
// Whether `path` names, without following a link, the very file `file` has open: a rename
// checks it so that it never moves a file planted in place of the one it made.
bool NamesOpenFile(const std::string& path, const File& file);

}  // namespace vx::os
