#pragma once
// What both fuzz targets share: one engine start-up and a scratch folder for the file under test.

#include <cstddef>
#include <cstdint>
#include <string>

namespace vx::fuzz {

// Starts the engine once and answers the scratch folder (ending in "/"), created on first use.
const std::string& ScratchDir();
// Writes `size` bytes as the whole file `name` in the scratch folder and answers its path.
std::string WriteScratch(const std::string& name, const std::uint8_t* data, std::size_t size);

}  // namespace vx::fuzz
