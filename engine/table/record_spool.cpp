#include "engine/table/record_spool.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "engine/foundation/strings.h"

namespace vx {

RecordSpool::RecordSpool(std::size_t buffer_bytes)
    : buffer_bytes_(std::max<std::size_t>(buffer_bytes, 64)) {}

RecordSpool::~RecordSpool() {
  if (file_.IsOpen()) file_.Close();
}

int RecordSpool::OpenBeside(const std::string& beside) {
  int code = temp_.Create(SplitPath(os::ResolvePath(beside)).dir, "VXS");
  if (code == 0) file_ = temp_.TakeFile();
  buffer_.reserve(buffer_bytes_);
  return code;
}

void RecordSpool::PutNumber(std::string& entry, std::uint32_t value) {
  char bytes[4];
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(value >> (8 * i));
  entry.append(bytes, 4);
}

void RecordSpool::PutText(std::string& entry, std::string_view text) {
  PutNumber(entry, static_cast<std::uint32_t>(text.size()));
  entry.append(text);
}

bool RecordSpool::TakeNumber(std::string_view& from, std::uint32_t& value) {
  if (from.size() < 4) return false;
  value = 0;
  for (int i = 0; i < 4; ++i) value |= std::uint32_t{static_cast<std::uint8_t>(from[i])} << (8 * i);
  from.remove_prefix(4);
  return true;
}

bool RecordSpool::TakeText(std::string_view& from, std::string& text) {
  std::uint32_t size = 0;
  if (!TakeNumber(from, size) || from.size() < size) return false;
  text.assign(from.substr(0, size));
  from.remove_prefix(size);
  return true;
}

int RecordSpool::FlushBuffer() {
  if (buffer_.empty()) return 0;
  const int code = file_.WriteAt(written_, std::as_bytes(std::span(buffer_)));
  if (code != 0) return code;
  written_ += buffer_.size();
  buffer_.clear();
  return 0;
}

int RecordSpool::Put(std::string_view entry) {
  if (!file_.IsOpen() || reading_) return 6;  // not open for writing
  std::string size;
  PutNumber(size, static_cast<std::uint32_t>(entry.size()));
  if (buffer_.size() + size.size() + entry.size() > buffer_bytes_) {
    if (const int code = FlushBuffer(); code != 0) return code;
  }
  buffer_ += size;
  if (entry.size() > buffer_bytes_) {
    // Larger than the buffer: straight to the file.
    if (const int code = FlushBuffer(); code != 0) return code;
    const int code = file_.WriteAt(written_, std::as_bytes(std::span(entry)));
    if (code != 0) return code;
    written_ += entry.size();
  } else {
    buffer_ += entry;
  }
  ++count_;
  return 0;
}

int RecordSpool::Rewind() {
  if (!file_.IsOpen()) return 6;
  if (!reading_) {
    if (const int code = FlushBuffer(); code != 0) return code;
    reading_ = true;
  }
  buffer_.clear();
  read_ = 0;
  at_ = 0;
  return 0;
}

// Reads the next part of the file behind what is left in the buffer.
int RecordSpool::Fill() {
  buffer_.erase(0, at_);
  at_ = 0;
  const std::size_t kept = buffer_.size();
  const std::size_t want = static_cast<std::size_t>(
      std::min<std::uint64_t>(written_ - read_, std::max(buffer_bytes_, kept) - kept));
  if (want == 0) return 0;
  buffer_.resize(kept + want);
  std::size_t got = 0;
  const int code =
      file_.ReadAt(read_, std::as_writable_bytes(std::span(buffer_.data() + kept, want)), got);
  buffer_.resize(kept + got);
  read_ += got;
  if (code != 0) return code;
  return got == want ? 0 : 5;  // the file was cut behind our back
}

bool RecordSpool::Next(std::string& entry, int& code) {
  code = 0;
  if (!reading_) return false;
  if (buffer_.size() - at_ < 4) {
    if ((code = Fill()) != 0) return false;
    if (buffer_.size() - at_ < 4) return false;  // the end
  }
  std::string_view head(buffer_.data() + at_, 4);
  std::uint32_t size = 0;
  TakeNumber(head, size);
  at_ += 4;
  if (buffer_.size() - at_ < size && (code = Fill()) != 0) return false;
  if (buffer_.size() - at_ >= size) {
    entry.assign(buffer_.data() + at_, size);
    at_ += size;
    return true;
  }
  // Only part of the entry is buffered: the rest is read straight from the file.
  entry.assign(buffer_.data() + at_, buffer_.size() - at_);
  const std::size_t rest = size - entry.size();
  buffer_.clear();
  at_ = 0;
  entry.resize(size);
  std::size_t got = 0;
  code = file_.ReadAt(read_, std::as_writable_bytes(std::span(entry.data() + (size - rest), rest)),
                      got);
  read_ += got;
  if (code == 0 && got != rest) code = 5;
  return code == 0;
}

}  // namespace vx
