#pragma once
// The language driver mark of a table and the code page it names: the byte at header offset 29
// (dBASE IV, FoxPro and later writers) and, in level 7 tables, the driver name at offset 32.
// Which page the record buffers hold stays the application's choice (OEM or ANSI); the mark
// names the page of the stored text, in which index keys convert case (TableCodePage). Tools
// use it to read a table as it says.
//
//   OFFSET SIZE MEANING
//   29     1    language driver id (0 = no mark); see kLanguageDrivers in the source
//   32     32   level 7 only: language driver name ("DBWINWE0"), zero-padded

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vx {

struct TableRecord;

inline constexpr int kLanguageDriverOffset = 29;
inline constexpr int kLevel7DriverNameOffset = 32;
inline constexpr int kLevel7DriverNameSize = 32;

struct LanguageDriver {
  std::uint8_t id;
  int code_page;        // the page its text is in
  const char* meaning;  // "German OEM", "Windows ANSI Latin I", ...
};

// The driver of a mark byte, or null for 0 and for bytes not in the table.
const LanguageDriver* FindLanguageDriver(std::uint8_t id);
// The mark written for a page: the plain driver of that page (437 -> 0x01, 850 -> 0x02,
// 1252 -> 0x03, 852 -> 0x64, 866 -> 0x65, 1250 -> 0xC8, 1251 -> 0xC9, ...), or nothing.
std::optional<std::uint8_t> LanguageDriverForCodePage(int page);
// Every driver of the table, in id order.
const std::vector<LanguageDriver>& LanguageDrivers();

// The code page a level 7 driver name stands for ("DB437US0" -> 437, "DBWINWE0" -> 1252, in
// any case), or 0 for a name it does not know.
int CodePageOfDriverName(std::string_view name);
// The level 7 name written for a page, or empty when none is known.
std::string DriverNameForCodePage(int page);

// The page of new tables when their creator names none: Windows Latin 1 holds the letters of
// every Western European language (a DOS page would refuse "København" in most of them).
inline constexpr int kNewTableCodePage = 1252;

// 0x57 means "the ANSI page of the program that wrote the table" (GIS programs write it with a
// .cpg file that names the page): read as 1252 only when no .cpg names another.
inline constexpr std::uint8_t kWriterAnsiDriver = 0x57;

// The page a table's mark names (a level 7 driver name first, then byte 29) when this system
// can convert it, else the page of its .cpg file (TableRecord::cpg), else 0.
int MarkedCodePage(const TableRecord& table);
// The page of a table's stored text: TableRecord::code_page, else the OEM page in force for a
// table that holds OEM text and the ANSI page for the others.
int TableCodePage(const TableRecord& table);

}  // namespace vx
