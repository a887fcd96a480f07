#pragma once
// Test support: builds the bytes of a DBF file field by field and record by record, the way
// another program would have written it, so tests can damage any byte before opening it.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace vx::test {

using Bytes = std::vector<unsigned char>;

class DbfBuilder {
 public:
  explicit DbfBuilder(std::uint8_t version) : version_(version) {}

  DbfBuilder& Field(const std::string& name, char type, int length, int decimals = 0) {
    fields_.push_back({name, type, length, decimals});
    return *this;
  }
  // Raw record bytes, deletion flag first.
  DbfBuilder& Record(const std::string& bytes) {
    records_.push_back(bytes);
    return *this;
  }
  DbfBuilder& HeaderSlack(int bytes) {
    slack_ = bytes;
    return *this;
  }
  DbfBuilder& RecordLength(int length) {
    record_length_ = length;
    return *this;
  }
  DbfBuilder& EndMarker(bool on) {
    end_marker_ = on;
    return *this;
  }

  Bytes Build() const {
    const bool level7 = version_ == 0x04 || version_ == 0x8C;
    const int descriptor = level7 ? 48 : 32;
    const int first = level7 ? 68 : 32;
    const int header_length = first + descriptor * static_cast<int>(fields_.size()) + 1 + slack_;
    int record_length = 1;
    for (const auto& f : fields_) record_length += f.length;
    if (record_length_ > 0) record_length = record_length_;
    Bytes b(static_cast<std::size_t>(header_length), 0);
    b[0] = version_;
    b[1] = 124;
    b[2] = 1;
    b[3] = 2;
    const auto count = static_cast<std::uint32_t>(records_.size());
    for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<unsigned char>(count >> (8 * i));
    b[8] = static_cast<unsigned char>(header_length);
    b[9] = static_cast<unsigned char>(header_length >> 8);
    b[10] = static_cast<unsigned char>(record_length);
    b[11] = static_cast<unsigned char>(record_length >> 8);
    for (std::size_t i = 0; i < fields_.size(); ++i) {
      unsigned char* slot = &b[first + i * descriptor];
      std::memcpy(slot, fields_[i].name.data(),
                  fields_[i].name.size() < (level7 ? 32u : 11u) ? fields_[i].name.size()
                                                                 : (level7 ? 32u : 11u));
      slot[level7 ? 32 : 11] = static_cast<unsigned char>(fields_[i].type);
      slot[level7 ? 33 : 16] = static_cast<unsigned char>(fields_[i].length);
      slot[level7 ? 34 : 17] = static_cast<unsigned char>(fields_[i].decimals);
    }
    b[first + descriptor * fields_.size()] = 0x0D;
    for (const std::string& r : records_) {
      std::string padded = r;
      padded.resize(static_cast<std::size_t>(record_length), ' ');
      b.insert(b.end(), padded.begin(), padded.end());
    }
    if (end_marker_) b.push_back(0x1A);
    return b;
  }

 private:
  struct Def {
    std::string name;
    char type;
    int length;
    int decimals;
  };
  std::uint8_t version_;
  std::vector<Def> fields_;
  std::vector<std::string> records_;
  int slack_ = 0;
  int record_length_ = 0;
  bool end_marker_ = true;
};

}  // namespace vx::test
