#pragma once
// What both fuzz targets share: one engine start-up and a scratch folder for the file under test.

#include <string>

namespace vx::fuzz {

// Starts the engine once and answers the scratch folder, created on first use.
const std::string& ScratchDir();

}  // namespace vx::fuzz
