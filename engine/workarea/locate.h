#pragma once
// Sequential search over the selected table (LOCATE and CONTINUE with NOCASE, EXACT and
// CONTAINED), the dataset-level locate over one or several fields, and direct reads and writes
// of one field of any record (Peek, Poke) with an optional read-ahead cache.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/table/dbf_file.h"
#include "engine/workarea/workarea_state.h"

namespace vx {

// The current engine's LOCATE state (SearchField 0: CONTINUE is not allowed) and the size of
// the read-ahead cache (0 disables it).
inline constexpr EngineField<&WorkAreaState::search_value> SearchValue;
inline constexpr EngineField<&WorkAreaState::search_field> SearchField;
inline constexpr EngineField<&WorkAreaState::case_sensitive> CaseSensitive;
inline constexpr EngineField<&WorkAreaState::exact_match> ExactMatch;
inline constexpr EngineField<&WorkAreaState::contained> Contained;
inline constexpr EngineField<&WorkAreaState::peek_cache_size> PeekCacheSize;

// Parses "FIELD [NOCASE] [EXACT] [CONTAINED]"; answers the field number (code 220 when empty or
// unknown).
int LocateParse(std::string_view search);
void LocateFrom(std::int32_t start, int field);
// LOCATE: parse, set the value, search from record 1; answers whether a record was found.
bool Locate(std::string_view search, std::string_view value);
void Continue();
bool LocateField(std::string_view search, std::string_view value, bool case_insensitive,
                 bool exact);
bool LocateFields(std::string_view fields, const std::vector<std::string>& values,
                  bool case_insensitive, bool move, bool exact);
std::string FieldText(int field, std::int32_t r);

// The stored bytes of one field of record r (field 0: the deletion flag), without translation.
std::string Peek(int field, std::int32_t r);
// Writes text into one field of record r in place (at most the field's length).
void Poke(std::string_view text, int field, std::int32_t r);
// Keeps the read-ahead cache in step after the current record of `table` was written: when the
// block holds that record, the record's stored bytes are read back into it from the file.
void RefreshPeekCache(TableRecord& table);
// Drops the cache when it belongs to `table`.
void DropPeekCache(const TableRecord& table);
// The number of records in the read-ahead block (0: no block) and the first of them.
std::uint16_t PeekCacheRecords();
std::int32_t PeekCacheFirstRecord();

}  // namespace vx
