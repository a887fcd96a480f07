#pragma once
// Which code page a table's text is in, for tables without a language driver mark or with a
// doubtful one: candidate pages scored on the table's own text and memos, best first, with
// sample words decoded in each; and writing the mark once the right page is known.
//
//   vexel::CodePageRanking r = vexel::rank_codepages("old.dbf");
//   if (r.bytes_beyond_ascii > 0 && !r.too_close_to_call)   // equivalent pages: any of them
//     vexel::set_codepage_mark("old.dbf", r.pages.front().page);

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>
#include <vexel/vexel.hpp>

namespace vexel {

// One candidate page and how well the text reads in it.
struct CodePageScore {
  int page = 0;
  double score = 0;                    // per byte beyond ASCII; higher reads better
  std::vector<std::string> samples{};  // sample words of the text decoded in this page (UTF-8)
  // Reads every byte of the text as the same character as the first page: the two are
  // equivalent for this table (German text in 437 and 850, or in 1252 and 1250).
  bool same_as_best = false;
};

struct CodePageRanking {
  // The table's language driver mark in words: "0x03 (Windows ANSI Latin I, code page 1252)",
  // "0x00 (no mark)", "0xF1 (unknown)", a level 7 table's driver name after it.
  std::string mark{};
  int marked_page = 0;                 // the page a mark this library follows names; 0 without one
  std::int32_t records = 0;            // records read
  std::int32_t memos = 0;              // memos read
  std::size_t bytes_beyond_ascii = 0;  // in the text examined; 0: every page reads it alike
  std::vector<CodePageScore> pages{};  // best first (the marked page first among equals)
  // The best two pages read every byte of the text as the same characters: either will do
  // (the pages with same_as_best set are the others).
  bool equivalent = false;
  // The best page and the next that reads the text otherwise read it about equally well.
  bool too_close_to_call = false;
};

// Scores the candidate pages (437, 850, 852, 866, 1250 to 1254, 1257, 936, 950, 932, UTF-8,
// and the marked page) on the text of `file`: its character fields and memos, binary values left
// out. Opens the table read-only (options give the sharing; its text options are not used:
// every page is tried), tolerating a missing memo file (a warning says so).
CodePageRanking rank_codepages(const std::filesystem::path& file, const OpenOptions& options = {});

// A language driver: the mark (byte 29 of the table header) that names a code page.
struct LanguageDriver {
  int id = 0;             // the byte
  std::string meaning{};  // "German OEM", "Windows ANSI Latin I", ...
  int page = 0;
};

// The driver that marks tables of `page`, when there is one.
std::optional<LanguageDriver> language_driver(int page);

// Writes the mark of `page` into the header of `file` (byte 29, and a level 7 table's driver
// name) under exclusive use; nothing else in the file changes. Answers the driver written. A
// page no driver names but this library converts (65001 UTF-8, 855, 1258, ...) is written to a
// .cpg file beside the table (as GIS programs do) and byte 29 is cleared: the answer then has
// id 0 and the .cpg file's name as its meaning. A .cpg already there is rewritten with any page.
// InputError for a page this library cannot convert (or, in a level 7 table, with no driver
// name) and for a dBASE II table with a page a driver names, LockError when another program has the table open, DataError when the
// write fails.
LanguageDriver set_codepage_mark(const std::filesystem::path& file, int page);

}  // namespace vexel
