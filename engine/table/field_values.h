#pragma once
// Values of the binary field kinds that Visual FoxPro and dBASE level 7 tables hold (see
// FieldStorage in dbf_file.h), and the _NullFlags bits: reading them from a record's bytes and
// writing them back. The dBASE text forms (C, D, F, L, M, N) are not handled here.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/table/dbf_file.h"

namespace vx {

// A date and time: the Julian day number and the milliseconds after midnight.
struct DateTimeValue {
  double day_number = 0;
  std::int32_t milliseconds = 0;
};

// What a field's value is, whatever its stored form: 'C' characters (C, V, Q), 'N' a number
// (N, F, I, +, B, O, Y), 'D' a date, 'T' a date and time (T, @), 'L' a logical, 'M' a memo.
char ValueKind(const FieldEntry& field);
// Whether the field is stored in one of the binary forms (anything but kClassic).
inline bool IsBinaryField(const FieldEntry& field) {
  return field.storage != FieldStorage::kClassic;
}

// The field is .NULL.: its null bit is set in the record's _NullFlags.
bool FieldIsNull(const TableRecord& table, const FieldEntry& field, const char* record);
// Sets or clears the field's null bit; nothing for a field that has none.
void SetFieldNull(const TableRecord& table, const FieldEntry& field, char* record, bool null);

// A number field in binary form (I, +, B, O, Y); no value for the all-zero bytes level 7
// writers leave in a new record's O field.
std::optional<double> BinaryNumber(const FieldEntry& field, const char* record);
// Stores a number; answers false, changing nothing, when the field cannot hold it (an integer
// field and a fraction or a value beyond 32 bits, a currency beyond 64 bits).
bool PutBinaryNumber(const FieldEntry& field, char* record, double value);

// A T or @ field; no value for the blank (all-zero or blank) bytes.
std::optional<DateTimeValue> BinaryDateTime(const FieldEntry& field, const char* record);
// Stores a date and time (day number kBlankDate stores the blank form).
void PutBinaryDateTime(const FieldEntry& field, char* record, const DateTimeValue& value);
// "YYYY-MM-DDTHH:MM:SS" (".mmm" added when there are milliseconds).
std::string DateTimeText(const DateTimeValue& value);
// Reads the form DateTimeText writes (the time part may be left out); no value otherwise.
std::optional<DateTimeValue> ParseDateTimeText(std::string_view text);

// V and Q: the bytes of the value (up to the length in the last byte when the varying bit is
// set, else the whole field).
std::string_view VaryingBytes(const TableRecord& table, const FieldEntry& field,
                              const char* record);
// Stores V/Q bytes (cut to the field's width): a shorter value sets the varying bit and puts its
// length in the last byte, padded with blanks (V) or zero bytes (Q), as Visual FoxPro writes it.
void PutVaryingBytes(const TableRecord& table, const FieldEntry& field, char* record,
                     std::string_view bytes);

// M, G, W of a Visual FoxPro table: the block number (0 for none).
std::int32_t BinaryMemoBlock(const FieldEntry& field, const char* record);
void PutBinaryMemoBlock(const FieldEntry& field, char* record, std::int32_t block);

// The value of a binary field as text: numbers in the shortest form that reads back the same
// (currency with four decimals), date-times as DateTimeText, V as its characters, Q and binary
// memo letters never (empty); empty for a blank value. `has_value` (may be null) tells blank
// from a value.
std::string BinaryFieldText(const TableRecord& table, const FieldEntry& field, const char* record,
                            bool* has_value = nullptr);
// Whether a field holds bytes rather than text in the table's code page (Q; G, W, P memos;
// fields flagged binary).
bool HoldsBytes(const FieldEntry& field);

// The bytes a new record holds in a binary field: zeros (a blank date-time, 0, no memo), and
// blanks for V and Q.
void BlankBinaryField(const FieldEntry& field, char* record);

// Whether the field is numbered by the table on append: level 7 "+", Visual FoxPro "I" with the
// autoincrement flag.
bool IsAutoincrement(const TableRecord& table, const FieldEntry& field);
// Gives every autoincrement field of the record buffer (a new record) the next value the field's
// descriptor holds and advances the descriptor's counter on disk, read fresh from the file: the
// caller holds the append (or file) lock or uses the table exclusively, so no other program
// numbers a record in between. Answers false after recording the I/O error.
bool AssignAutoincrements(TableRecord& table);
// A new record: binary fields blank in their form (BlankBinaryField), no null or varying bits.
void BlankNewRecordFields(TableRecord& table);

}  // namespace vx
