#pragma once
// Rows on their way into a table, held in a temporary file instead of memory: a command that
// promises to write nothing unless every row is good checks and encodes each row into the
// spool as it reads it, and only then copies the rows into the table, in order, under one
// append lock. Memory stays at the buffer's size however many rows there are.
//
// An entry is a byte string of any length; the spool keeps entries in the order they were put
// and gives them back in that order, once, after Rewind. The file is made beside the table (so
// it is on the table's drive, not in memory) and deleted with the spool, however it ends.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/foundation/file_utils.h"
#include "platform/os/file.h"

namespace vx {

class RecordSpool {
 public:
  // Bytes buffered on the way to and from the file.
  static constexpr std::size_t kDefaultBuffer = std::size_t{1} << 20;

  explicit RecordSpool(std::size_t buffer_bytes = kDefaultBuffer);
  ~RecordSpool();
  RecordSpool(const RecordSpool&) = delete;
  RecordSpool& operator=(const RecordSpool&) = delete;

  // Creates the temporary file ("VXS...") in the folder of the file `beside` (the table).
  // Answers the I/O code (0 = created).
  int OpenBeside(const std::string& beside);
  // Adds one entry. Answers the I/O code of a write that failed (0 = kept).
  int Put(std::string_view entry);
  // Ends the writing and starts reading at the first entry. Answers the I/O code.
  int Rewind();
  // The next entry; false at the end, or after a read that failed (`code` set then).
  bool Next(std::string& entry, int& code);

  std::uint64_t count() const { return count_; }
  const std::string& path() const { return temp_.path(); }

  // Helpers for entries made of several fields: appends a length-prefixed text or a 32-bit
  // number to `entry`, and takes them back off the front of `from` (false when it is short).
  static void PutText(std::string& entry, std::string_view text);
  static void PutNumber(std::string& entry, std::uint32_t value);
  static bool TakeText(std::string_view& from, std::string& text);
  static bool TakeNumber(std::string_view& from, std::uint32_t& value);

 private:
  int FlushBuffer();
  int Fill();

  std::size_t buffer_bytes_;
  TempFile temp_;
  os::File file_;
  std::string buffer_;
  std::uint64_t written_ = 0;  // bytes in the file
  std::uint64_t read_ = 0;     // bytes of the file read into the buffer
  std::size_t at_ = 0;         // read position in the buffer
  std::uint64_t count_ = 0;
  bool reading_ = false;
};

}  // namespace vx
