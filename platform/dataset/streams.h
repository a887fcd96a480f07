#pragma once
// TStream, the byte-stream interface through which blob and memo fields are read and written,
// with TMemoryStream and TStringStream. A dataset's blob streams derive from TStream; what they
// read from is the dataset's business.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/dataset/component.h"
#include "platform/os/exception.h"

namespace vx {

enum TSeekOrigin { soBeginning, soCurrent, soEnd };

class EStreamError : public os::Exception {
 public:
  using os::Exception::Exception;
};

// A positioned sequence of bytes. Read and Write move the position and answer the bytes moved
// (fewer than asked at the end of the data); ReadBuffer and WriteBuffer demand the whole count
// and raise EStreamError "Stream read error" / "Stream write error" otherwise.
class TStream : public TObject {
 public:
  virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
  virtual std::int64_t Write(const void* buffer, std::int64_t count) = 0;
  // Answers the new position.
  virtual std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) = 0;

  std::int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(std::int64_t position) { Seek(position, soBeginning); }
  // The default measures by seeking to the end and back.
  virtual std::int64_t Size();
  // Raises EStreamError "Stream size cannot be changed" unless a descendant supports it.
  virtual void SetSize(std::int64_t size);

  void ReadBuffer(void* buffer, std::int64_t count);
  void WriteBuffer(const void* buffer, std::int64_t count);
  // Copies `count` bytes from the source's position, or the whole source from its start when
  // `count` is 0; answers the bytes copied.
  std::int64_t CopyFrom(TStream& source, std::int64_t count);
  // The bytes from the position to the end, as text.
  std::string ReadAllText();
};

// Bytes held in memory; the position may go past the end (a write there fills the gap with
// zero bytes).
class TMemoryStream : public TStream {
 public:
  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
  std::int64_t Size() override { return static_cast<std::int64_t>(data_.size()); }
  void SetSize(std::int64_t size) override;

  void Clear();
  const std::byte* Memory() const { return data_.data(); }
  const std::vector<std::byte>& Bytes() const { return data_; }
  void LoadFromStream(TStream& source);
  void SaveToStream(TStream& destination) const;

 private:
  std::vector<std::byte> data_;
  std::int64_t position_ = 0;
};

// A memory stream over text.
class TStringStream : public TMemoryStream {
 public:
  explicit TStringStream(const std::string& text = {});
  std::string DataString() const;
};

}  // namespace vx
