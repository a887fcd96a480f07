#pragma once
// Engine-wide settings with their defaults, and the foundation's start-up: the date style and
// separators chosen from the user's language, the century base, and system information.
// The routines that use the date settings live with the dates; this unit only holds them.

#include <cstdint>
#include <string>

namespace vx {

// Date settings (read by the date routines and the expression language).
extern int DateStyle;           // 0..8; a larger value is taken as 0
extern bool CenturyOn;          // years show with four digits
extern int CenturyBase;         // two-digit years below its last two digits belong to the next
                                // century; at start-up the current year minus 70
extern char DecimalSeparator;   // "." or ","
extern char ThousandsSeparator;  // ",", "." or " "

// Table storage settings.
extern bool FlushAfterWrite;            // flush the file after every record write
extern std::uint8_t DefaultDbfVersion;  // version byte of new tables with memo fields (0x8B)
extern std::uint16_t MemoBlockSize;     // block size of new memo files (512)
extern std::uint8_t ExtraVersionPlain;  // an additional accepted version byte, 0 = none
extern std::uint8_t ExtraVersionMemo;   // an additional accepted memo version byte, 0 = none
extern bool CountFromFileSize;          // take the record count from the file size on open

// System information gathered at start-up.
extern int RemovableDrives;            // removable drives among A: and B: (none on POSIX)
extern std::uint32_t PhysicalMemoryKb;
extern std::string OsVersion;          // "major.minor"

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
