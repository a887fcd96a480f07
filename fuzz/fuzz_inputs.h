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
// A table and its index: a 4-byte little-endian length n, n bytes of table (FUZZ.DBF), the rest
// the index (FUZZ.MDX). Opens the table exclusively with the index, and for every tag walks it
// forward and back, seeks the keys of a few records, checks the tree; then edits a record and
// appends one with the index open, rebuilds every tag, and checks every tag again.
void ReadIndexBytes(const std::string& dir, const std::uint8_t* data, std::size_t size);
// A table and a dBASE III index, in the form ReadIndexBytes takes (the index written as
// FUZZ.NDX): walks and searches the index, checks it against the table, opens the table with it
// kept current and edits a record and appends one, checks it again, and builds it anew.
void ReadNdxBytes(const std::string& dir, const std::uint8_t* data, std::size_t size);
// A table and a FoxPro compound index, in the form ReadIndexBytes takes (the index written as
// FUZZ.CDX): reads its directory, walks every tag, seeks the keys of a few records in each,
// and checks each tag's tree and keys against the table.
void ReadCdxBytes(const std::string& dir, const std::uint8_t* data, std::size_t size);
// The input ReadIndexBytes takes, made of a table's and an index's bytes.
std::string IndexInput(const std::string& table, const std::string& index);

}  // namespace vx::fuzz
