#pragma once
// The storage primitives under the work-area commands: reading and writing records by number,
// the deletion flag, header updates, commit, close, and the creation of new tables with their
// empty memo files. Every primitive keeps EngineErrorCode equal to its last I/O result and
// reports failures through SetEngineError.
//
// State of an open table (TableRecord::state):
//
//   closed(0) --OpenDbf--> open(1) --rewrite--> rewritten(2) --append--> appended(3)
//                            ^  \------------------append----------------^   |
//                            +------------- CommitDbf ----------------------+
//   CloseDbf from any open state writes what the state asks for and ends in closed(0).

#include <cstdint>
#include <string>
#include <vector>

#include "engine/table/dbf_file.h"

namespace vx {

enum class TranslateDirection { kRead, kWrite };

// Reads record n into the record buffer and makes it current. A number outside 1..record
// count records code 212 and leaves the position unchanged; a short read is code 213.
void GetDbfRecord(TableRecord& table, std::int32_t n);
// Writes the record buffer as record n; a number beyond the record count appends (as record
// count + 1, whatever n was).
void PutDbfRecord(TableRecord& table, std::int32_t n);
// Appends the record buffer as a new last record.
void AppendFromBuffer(TableRecord& table);
// Writes only the deletion flag (byte 0 of the record buffer) of record n.
void WriteDeleteFlag(TableRecord& table, std::int32_t n);
// The bytes an edit is about to change, kept so that an edit whose later step failed can be
// taken back: record n's bytes as stored (for n = record count + 1, what lies past the last
// record), the file's size, the header's first 8 bytes, and the table's count, position and
// state.
struct RecordBeforeImage {
  std::int32_t n = 0;
  std::vector<std::byte> stored;
  std::uint64_t size = 0;
  std::vector<std::byte> prologue;
  std::int32_t count = 0;
  std::int32_t number = 0;
  std::uint8_t state = 0;
};
// Keeps the before-image of record n (no appends may wait behind); answers the I/O code.
int KeepBeforeImage(TableRecord& table, std::int32_t n, RecordBeforeImage& out);
// Writes the kept bytes back, cuts what an append added and puts the header's first bytes back
// when a commit changed them; the count, position and state are as before and an existing
// record n is read into the record buffer again. Answers the I/O code of the first failure.
int PutBackBeforeImage(TableRecord& table, const RecordBeforeImage& image);
// Writes the appended records that wait behind (see TableRecord::append_behind). A failed
// write drops the records that did not reach the disk from the count, records the error and
// answers false.
bool FlushAppends(TableRecord& table);
// Reads the record count the header on the disk holds now (16 bits for dBASE II); answers
// false when it cannot be read.
bool ReadHeaderCount(TableRecord& table, std::uint32_t& count);
// Forgets the read-ahead block (after the file was changed other than through these
// primitives).
void DropReadBlock(TableRecord& table);

// Writes the prologue back with today's date and the record count, after re-reading the
// multi-user bytes 16..27 so that other writers' values survive.
void WriteDbfHeader(TableRecord& table);
// Writes what the state asks for (header; end-of-file marker after appends), flushes, and
// returns the table to state 1.
void CommitDbf(TableRecord& table);
// Commits as needed, closes the file and frees the buffers. Always ends in state 0.
void CloseDbf(TableRecord& table);
// Whether the OEM conversion applies to a field: only character text is converted; binary
// fields (integers, doubles, currency, date-times, memo block numbers, varying-length and
// null flags, character fields marked binary) keep their bytes.
bool TranslatedField(const FieldEntry& field);
// Applies the OEM conversion (to the text fields of `table`) and the user hook to each record of
// a buffer holding total_length / record length records: reading, hook then OEM-to-ANSI;
// writing, ANSI-to-OEM then hook. Byte 0 of each record (the deletion flag) is left alone.
void TranslateRecords(TranslateDirection direction, const TableRecord& table, RecordHook hook,
                      std::size_t total_length, char* buffer);
// The current record as the file holds it (or a write of the buffer would store it) in OEM
// text, for an `oem` table: each field the buffer still holds as read keeps its stored bytes
// (which the conversion to ANSI and back need not give back), the others go through the
// ANSI-to-OEM conversion. The user hooks are not applied. Other tables: the buffer as it is.
void StoredRecordBytes(const TableRecord& table, std::vector<char>& out);

// Creates a table (replacing an existing file) from field definitions (name, type, length,
// decimals; the offset is ignored), and its empty memo file when a memo-type field is present,
// and leaves both closed. The version byte comes from DefaultDbfVersion (0x03, or 0x04 for
// level 7, when no field needs a memo file). A rejected definition records code 211 with
// "Invalid dBASE field definition [CreateDBF]" and creates nothing.
void CreateDBF(TableRecord& table, const std::string& name,
               const std::vector<FieldEntry>& definitions);
// Creates the empty memo file that belongs to a new table of `version` with `block_size`;
// `operation` names the caller in error messages.
void CreateMemoFileForTable(const std::string& table_name, std::uint8_t version,
                            std::uint16_t block_size, const std::string& operation);

}  // namespace vx
