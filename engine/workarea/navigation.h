#pragma once
// Field access, counts, positioning and record edits on the selected work area: the dBASE
// commands GO, GoTop, GoBottom, SKIP, REPLACE, Append, DeleteRec, RecallRec and their helpers.
// Positioning applies the visibility rule (skip deleted, filter) and the scope condition;
// records appended by other programs become visible through the count refresh.

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/table/dbf_file.h"

namespace vx {

// Field accessors (n = 1..field count); an n out of range records code 220.
char FieldType(int n);
// The field's width (character fields may exceed 255).
std::uint16_t FieldLen(int n);
std::uint8_t FieldDec(int n);
// The address of field n in the record image; n = 0 is the deleted byte.
char* FieldAddress(int n);
std::string Field(int n);
// The number of the named field (cut to 10, trimmed, upper case), 0 when there is none.
int FieldNo(std::string_view name);
std::uint8_t FieldCount();

// The record count, refreshed from the file size for shared tables.
std::int32_t RecCount();
std::int32_t RecNo();
std::uint16_t RecSize();
// Refreshes the count of `table` from its file size (shared tables only).
void RefreshRecordCount(TableRecord& table);
// The count the file size gives, shared or not: whole records past the known count are
// another program's appends (or one that did not finish); a tail that makes no whole record
// leaves the count the header gives.
std::int32_t RecordsTheFileHolds(TableRecord& table);
// The records a table's file holds whole, and the most its header (on disk) or this open
// counts. Fewer whole records than counted means the file was cut short: the last counted
// records are gone or partial, and an append would write over a cut record.
struct RecordTally {
  std::int64_t whole = 0;
  std::int64_t counted = 0;
  std::uint64_t partial_bytes = 0;  // bytes of a record cut short after the whole ones
  bool Cut() const { return whole < counted; }
};
RecordTally TallyRecords(TableRecord& table);

bool dEOF();
bool dBOF();

void GoTop();
void GoBottom();
void GO(std::int32_t n);
void SKIP(std::int32_t n = 1);
// GO without messages, for other commands.
void GoRaw(std::int32_t n);
void GoEOF();
// GO(n) when n lies in 1..RecCount; answers whether it moved.
bool GoIfValid(std::int32_t n);
// Blanks the record buffer and the image.
void ClearRecord();
// Moves off a current record that is no longer visible or in scope; answers whether it moved.
bool Resync();
// Sets skip-deleted, re-reads the current record, answers the previous flag.
bool SetIgnoreDel(bool flag);
// Whether a scope condition is set.
bool IsWhileOn();
// Whether the record in the table's buffer is visible (skip deleted, filter).
bool IsVisible(TableRecord& table);

// Why every edit of the table is refused ("" when none is): a FoxPro table whose header names
// a structural .CDX that the index engine cannot keep current (missing, unreadable, or no
// index engine linked in), unless the opener accepted leaving it stale. The first call for
// such a table opens its .CDX for keeping current. REPLACE, Append, DeleteRec and RecallRec
// refuse with this text.
std::string EditRefusal(const TableRecord& t);

// Writes the image over the current record (needs its lock on a shared table).
void REPLACE();
// Appends the image as a new last record (needs the append or file lock on a shared table).
void Append();
void DeleteRec();
void RecallRec();

// Filter and scope conditions of the selected area (null clears).
void SetFilterProc(ConditionProc proc, void* context);
void SetWhileProc(ConditionProc proc, void* context);

}  // namespace vx
