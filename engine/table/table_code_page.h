#pragma once
// Which code page a table's text is stored in: an explicit choice, else the table's language
// driver mark (a level 7 table's driver name, else byte 29) when this system can convert that
// page, else the page its .cpg file names (code_page_file.h), else the locale's OEM (DOS) page, or its ANSI page for callers that keep ANSI tables.
// Every reader of text (the tool, the public library) chooses the same way.

#include <cstdint>
#include <string>

#include "engine/table/dbf_file.h"

namespace vx {

// The mark a table carries: byte 29, and the driver name of a level 7 table.
struct TableMark {
  bool has_byte = false;  // dBASE II tables have no byte 29
  std::uint8_t id = 0;
  std::string driver_name;  // level 7 only, without its padding
  CpgFile cpg;              // the .cpg file beside the table
};
TableMark ReadTableMark(const TableRecord& table);

// The page chosen, and why.
struct CodePageChoice {
  int page = 0;
  // Where it came from: "language driver 0x03", ".cpg file films.cpg (UTF-8)", "--codepage",
  // "no mark: the OEM page", ...
  std::string reason;
  std::string warning;  // a mark that could not be followed, or empty
};
// `requested` (not 0) wins and is named `requested_by` in the reason; `ansi` takes the ANSI page
// instead of the OEM page for a table without a usable mark.
CodePageChoice ChooseTableCodePage(const TableMark& mark, int requested,
                                   const std::string& requested_by, bool ansi);
// "0x03 (Windows ANSI Latin I, code page 1252)", "0x00 (no mark)", "0xF0 (unknown)".
std::string DescribeMark(const TableMark& mark);

// Writes the mark of `page` (byte 29, and the driver name of a level 7 table) into FILE's header
// under exclusive use; nothing else in the file changes. A page that no driver byte names but
// this system converts (65001, 855, 1258, ...) is written to the table's .cpg file instead and
// byte 29 is cleared (kCpgWritten; a level 7 table is refused with kNoDriverName); a .cpg that
// is already there is rewritten with every page. `id` receives the byte written; `why` says
// what went wrong.
enum class MarkWrite {
  kWritten,
  kCpgWritten,
  kNoDriver,
  kNoDriverName,
  kDbase2,
  kLocked,
  kChanged,
  kFailed
};
MarkWrite WriteTableMark(const std::string& file, int page, std::uint8_t& id, std::string& why);

}  // namespace vx
