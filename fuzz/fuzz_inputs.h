#pragma once
// The reading that the fuzz targets do, as functions, so that the regression tests feed the
// inputs that once found a fault through exactly the same path. Errors the engine reports are
// expected and swallowed; anything else (a crash, a sanitizer report, a loop) is the fault.

#include <cstddef>
#include <cstdint>
#include <string>

namespace vx::fuzz {

// Writes `data` as the table FUZZ.DBF in `dir` (with an empty memo file when its version has
// one), opens it shared and then exclusive, and reads every record and memo of it.
void ReadTableBytes(const std::string& dir, const std::uint8_t* data, std::size_t size);
// data[0] picks the memo kind (dBASE III, dBASE IV, FoxPro); the rest is written as a memo file
// in `dir` and every block of it is read as a memo, the free chain summarised, one allocation
// made.
void ReadMemoBytes(const std::string& dir, const std::uint8_t* data, std::size_t size);

}  // namespace vx::fuzz
