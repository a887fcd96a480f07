#pragma once
// The record image: the caller's block that mirrors the current record field by field, a typed
// view over it, and the transfer between it and the record buffer. Every layer that reads or
// writes an image (the work-area commands, the dataset components, the tools) goes through
// RecordImage; nothing else knows the layout.
//
//   OFFSET  SIZE         MEANING
//   0       1            deleted: 1 for a record marked "*", else 0
//   then, for each field in order:
//   C       length + 1   count byte, then up to length characters (fields above 255: 255, and
//                        the characters run to the field's length)
//   D       length + 3   count byte, then the date in the current style (8 or 10 characters)
//   N, F    4            32-bit signed integer, when the field has no decimals
//   N, F    8            64-bit floating point, when it has decimals
//   L       1            boolean
//   M       4            32-bit memo block number (0 when none)
//   I, +    4            32-bit signed integer
//   B, O, Y 8            64-bit floating point
//   T, @    8            64-bit floating point: the day number, the time of day as its fraction
//                        (the blank date value when the field is blank)
//   V, Q    length + 1   count byte, then the value's characters or bytes
//
// Visual FoxPro's .NULL. has no place in the image: a field that is .NULL. shows as blank, and
// stays .NULL. until the caller changes it.
//
// Changed fields. The image cannot hold every stored value exactly (a two-digit year, a number
// wider than 32 bits, a blank number, a logical "?", OEM bytes without an ANSI counterpart), so
// writing a record formats again only the fields the caller changed: those set through the
// typed setters, and those whose image bytes differ from the image as read. Every other field
// keeps its stored bytes.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/table/dbf_file.h"

namespace vx {

// The size one field takes in the record image.
std::uint16_t FieldImageSize(const FieldEntry& field);
// The image offset of every field (entry n - 1 for field n) followed by the image size.
std::vector<std::uint32_t> ImageOffsets(const std::vector<FieldEntry>& fields);
// The image size of a table: 1 + the sum of its fields' sizes. A legal header can need more
// than 65535 bytes (255 wide date fields); only an image the engine allocates can be so large.
std::uint32_t RecordImageSizeOf(const TableRecord& table);

// Whether `value` can be stored in number field `field` (N or F) without overflowing its width;
// a number field of length 0 holds only zero.
bool NumberFits(const FieldEntry& field, double value);
// Whether a number field's image slot is a double (N, F with decimals; B, O, Y) rather than a
// 32-bit integer.
bool ImageHoldsDouble(const FieldEntry& field);
// "field NAME (N 5 0)": how messages name a field.
std::string FieldLabel(const FieldEntry& field);

// A typed view over one record image. Field numbers run from 1 to the field count; the view
// does not check them (callers check with FieldCount or the engine's field accessors).
class RecordImage {
 public:
  // `offsets` as ImageOffsets gives them; `changed` (one flag per field, may be null) records
  // the fields set through this view.
  RecordImage(std::span<const FieldEntry> fields, std::span<const std::uint32_t> offsets,
              char* image, std::vector<std::uint8_t>* changed = nullptr)
      : fields_(fields), offsets_(offsets), image_(image), changed_(changed) {}
  // The image of an open table, with its changed flags.
  static RecordImage Of(TableRecord& table);

  int FieldCount() const { return static_cast<int>(fields_.size()); }
  const FieldEntry& Field(int n) const { return fields_[static_cast<std::size_t>(n - 1)]; }
  // The slot of field n (0: the deletion byte).
  char* Slot(int n) const {
    return n == 0 ? image_ : image_ + offsets_[static_cast<std::size_t>(n - 1)];
  }

  bool Deleted() const { return image_[0] != 0; }
  void SetDeleted(bool deleted) { image_[0] = deleted ? 1 : 0; }

  // C: the characters (all of a wide field's); D: the date text in the current style.
  std::string_view Text(int n) const;
  // C: blank-padded to the field's width (longer text is cut); D: a date text in the current
  // style. Answers false, changing nothing, when the text does not fit.
  bool SetText(int n, std::string_view text);
  // N and F: the value (integer or floating point by the decimals); M: the block number.
  double Number(int n) const;
  // N and F; answers false, changing nothing, for a field without decimals when the value is
  // not a whole number of 32 bits. Width is checked when the record is written (NumberFits).
  bool SetNumber(int n, double value);
  // N and F: no value; the record then stores blanks (read back as 0).
  void SetNumberBlank(int n);
  bool Logical(int n) const { return Slot(n)[0] != 0; }
  void SetLogical(int n, bool value);
  // L: no value; the record then stores a blank (read back as false), as a new record's
  // logical field holds before it is given one.
  void SetLogicalBlank(int n);
  std::int32_t MemoBlock(int n) const;
  void SetMemoBlock(int n, std::int32_t block);
  // D: the day number of the date, kBlankDate for a blank or invalid one.
  double Date(int n) const;
  // D: stores the date with a four-digit year in the current style (blank for kBlankDate), so
  // that no date depends on the century rule on its way to the disk.
  void SetDate(int n, double day_number);

  // T, @: the day number with the time of day as its fraction; kBlankDate for a blank value.
  double DateTime(int n) const;
  void SetDateTime(int n, double day_number);

  // A field that may be null (Visual FoxPro): set to .NULL. when the record is written.
  void SetNull(int n);

  bool Changed(int n) const;
  void MarkChanged(int n);
  // Whether field n was set to no value (SetLogicalBlank, SetNumberBlank, SetNull) since the
  // image was read.
  bool SetBlank(int n) const;

 private:
  std::span<const FieldEntry> fields_;
  std::span<const std::uint32_t> offsets_;
  char* image_;
  std::vector<std::uint8_t>* changed_;
};

// Buffer to image: every field, then remembers the image as read and clears the changed flags.
void GetRecordImage(TableRecord& table);
// Image to buffer: the deletion flag and the changed fields (every field when `all_fields`, as
// for a new record). A number too wide for its field records code 220 naming the field and
// `command`, leaves the buffer as it was and answers false.
bool PutRecordImage(TableRecord& table, bool all_fields = false,
                    std::string_view command = "REPLACE");

}  // namespace vx
