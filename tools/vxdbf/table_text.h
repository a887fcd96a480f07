#pragma once
// How vxdbf reads and writes a table's text: which code page it is in (--codepage, else the
// table's language driver mark, else the OEM page, or the ANSI page with --ansi), the strict
// conversion between that page and UTF-8 (an error naming the record and field, or "?" and a
// count with --lossy), and writing the mark. The engine is not asked: it passes bytes as stored.

#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

#include "engine/table/table_code_page.h"
#include "tools/vxdbf/command_line.h"

namespace vx {
struct TableRecord;
}

namespace vx::tool {

// The page a command reads and writes a table's text in (--codepage, else as the engine chooses;
// --ansi takes the ANSI page for a table without a usable mark).
CodePageChoice ChooseCodePage(const TableMark& mark, const Options& options);

// Converts one table's text. With `lossy`, what cannot be converted becomes "?" and is counted;
// otherwise it is an error that names `where` ("record 3, field NAME").
class TableText {
 public:
  TableText(int page, bool lossy) : page_(page), lossy_(lossy) {}
  // From the table, for a table built for this command (the choice and its warning on `err`).
  TableText(const TableRecord& table, const Options& options, std::ostream& err);

  int page() const { return page_; }
  // Stored bytes to UTF-8; DataError when a byte is no character of the page.
  std::string ToUtf8(std::string_view bytes, const std::string& where);
  // UTF-8 to stored bytes; InputError for ill-formed UTF-8 or a character the page lacks.
  std::string FromUtf8(std::string_view utf8, const std::string& where);
  // A field name given on the command line, in the table's bytes (never counted as lossy).
  std::string Name(std::string_view utf8) const;
  // Says on `err` how many characters became "?", when any did.
  void ReportReplacements(std::ostream& err) const;

 private:
  int page_;
  bool lossy_;
  std::size_t replaced_ = 0;
};

// Refuses (InputError) a page whose mark cannot be written: no language driver for it, or, in a
// level 7 table, no driver name.
void CheckCodePageMark(int page, bool level7);
// Writes the mark of `page` (byte 29, and the driver name of a level 7 table) into FILE's header
// under exclusive use; nothing else in the file changes. Answers the id written.
std::uint8_t WriteCodePageMark(const std::string& file, int page);

}  // namespace vx::tool
