#pragma once
// The current engine's settings with their defaults, and the foundation's start-up: the date style
// and separators chosen from the user's language, the century base, and system information. The
// routines that use the date settings live with the dates; this unit only holds them.

#include <cstdint>
#include <string>

#include "engine/foundation/engine_state.h"

namespace vx {

// Date settings (read by the date routines and the expression language): the style 0..8 (a
// larger value is taken as 0); whether years show with four digits; the century base (two-digit
// years below its last two digits belong to the next century; at start-up the current year
// minus 70); the decimal separator "." or ","; the thousands separator ",", "." or " ".
inline constexpr EngineField<&FoundationState::date_style> DateStyle;
inline constexpr EngineField<&FoundationState::century_on> CenturyOn;
inline constexpr EngineField<&FoundationState::century_base> CenturyBase;
inline constexpr EngineField<&FoundationState::decimal_separator> DecimalSeparator;
inline constexpr EngineField<&FoundationState::thousands_separator> ThousandsSeparator;

// Table storage settings: flush the file after every record write; the version byte of new
// tables with memo fields (0x8B); the block size of new memo files (512); an additional accepted
// version byte and memo version byte (0 = none); take the record count from the file size on
// open.
inline constexpr EngineField<&FoundationState::flush_after_write> FlushAfterWrite;
inline constexpr EngineField<&FoundationState::default_dbf_version> DefaultDbfVersion;
inline constexpr EngineField<&FoundationState::memo_block_size> MemoBlockSize;
inline constexpr EngineField<&FoundationState::extra_version_plain> ExtraVersionPlain;
inline constexpr EngineField<&FoundationState::extra_version_memo> ExtraVersionMemo;
inline constexpr EngineField<&FoundationState::count_from_file_size> CountFromFileSize;

// System information gathered at start-up: removable drives among A: and B: (none on POSIX),
// physical memory, the system version "major.minor".
inline constexpr EngineField<&FoundationState::removable_drives> RemovableDrives;
inline constexpr EngineField<&FoundationState::physical_memory_kb> PhysicalMemoryKb;
inline constexpr EngineField<&FoundationState::os_version> OsVersion;

// The effective date style (a value above 8 counts as 0).
int EffectiveDateStyle();
// The date style for a Win32 primary language and sublanguage.
int DateStyleForLanguage(int primary, int sub);
// Sets the style and the decimal and thousands separators that go with it.
void SetDateStyle(int style);
// Physical memory in bytes (unit 0), kilobytes (1) or megabytes (2).
std::uint64_t PhysicalMemory(int unit);

// Start-up of the foundation: reporting by exception, the date style and separators from the
// user's default language, the century base at the current year minus 70, system information.
void InitFoundation();

}  // namespace vx
