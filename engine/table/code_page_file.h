#pragma once
// The `.cpg` file beside a table: one line naming the code page of the table's text, which GIS
// programs (GDAL, ESRI) write instead of a language driver mark ("UTF-8", "1252", "ANSI 1251",
// "CP1251", "OEM 866", "88591", ...). It is read when the table has no usable mark (none, an
// unknown one, or 0x57, "the writer's ANSI page", which names no page of its own), and written
// for pages that no driver byte names. The file is untrusted input: only a small regular file is
// read, and a page it names is used only when this system can convert it.

#include <string>
#include <string_view>

namespace vx {

// Larger files are no code page name.
inline constexpr std::size_t kMaxCpgSize = 256;

struct CpgFile {
  std::string path;     // the file found (any case of ".cpg"), empty when there is none
  std::string text;     // its first line as shown (printable, at most 40 characters)
  int page = 0;         // the page it names when this system can convert it, else 0
  std::string problem;  // why a file found names no usable page, else empty
};

// The page a `.cpg` text names (Windows numbering: UTF-8 is 65001, ISO 8859-n 28590 + n), or 0
// when the text names none. Case and surrounding blanks do not matter.
int CodePageOfCpgText(std::string_view text);
// The text written for a page: "UTF-8", "88591" for ISO 8859-1, else the number.
std::string CpgTextForPage(int page);

// Reads the `.cpg` beside `table_file` (same name, extension ".cpg" in any case).
CpgFile ReadCpgFile(const std::string& table_file);

// Writes the `.cpg` of `page` beside `table_file`, replacing one that is there: the text goes to
// a new temporary file in the same folder (created exclusively, no link followed) that is then
// renamed over the name, so a reader sees the old file or the new one whole. Answers the I/O code;
// `path` receives the name written.
int WriteCpgFile(const std::string& table_file, int page, std::string& path);

}  // namespace vx
