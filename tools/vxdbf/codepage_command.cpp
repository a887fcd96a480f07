#include "tools/vxdbf/codepage_command.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <ostream>
#include <vexel/codepage_assistant.hpp>

#include "tools/vxdbf/vxdbf.h"

namespace vx::tool {

namespace {

int SetMark(const Options& o, const Streams& io) {
  const vexel::LanguageDriver driver = vexel::set_codepage_mark(o.file, o.codepage);
  if (driver.id == 0) {
    io.out << "Code page " << o.codepage << " written to " << driver.meaning
           << " (no language driver names it; the table's mark is cleared)\n";
    return kExitOk;
  }
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned>(driver.id));
  io.out << "Language driver " << hex << " (" << driver.meaning << ", code page " << o.codepage
         << ") written to " << o.file << "\n";
  return kExitOk;
}

int Assist(const Options& o, const Streams& io) {
  if (o.codepage != 0) return SetMark(o, io);
  const vexel::CodePageRanking r = vexel::rank_codepages(o.file, OpenOptionsOf(o, io.err));
  const bool marked = r.marked_page != 0;
  if (o.json) {
    nlohmann::ordered_json report;
    report["file"] = o.file;
    report["records"] = r.records;
    report["memos"] = r.memos;
    report["bytes_beyond_ascii"] = r.bytes_beyond_ascii;
    report["marked_page"] = r.marked_page;
    report["equivalent"] = r.equivalent;
    report["too_close_to_call"] = r.too_close_to_call;
    for (const vexel::CodePageScore& s : r.pages) {
      report["pages"].push_back({{"page", s.page},
                                 {"score", static_cast<double>(std::lround(s.score * 100)) / 100},
                                 {"same_as_best", s.same_as_best},
                                 {"samples", s.samples}});
    }
    io.out << report.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    return kExitOk;
  }
  io.out << "Language driver:  " << r.mark << "\n"
         << "Text examined:    " << r.records << " records, " << r.memos << " memos, "
         << r.bytes_beyond_ascii << " bytes beyond ASCII\n";
  if (r.bytes_beyond_ascii == 0) {
    io.out << "No byte beyond ASCII: every code page reads this table alike.\n";
    return kExitOk;
  }
  io.out << " Page  Score  Sample words   (=: reads the text as the first does)\n";
  std::string same = std::to_string(r.pages.front().page);  // "1252, 1254 and 1250"
  for (const vexel::CodePageScore& s : r.pages) {
    char line[32];
    std::snprintf(line, sizeof line, "%5d %6.2f%c", s.page, s.score, s.same_as_best ? '=' : ' ');
    io.out << line;
    for (const std::string& word : s.samples) io.out << " " << word;
    io.out << "\n";
    if (s.same_as_best) same += ", " + std::to_string(s.page);
  }
  const int best = r.pages.front().page;
  if (r.equivalent) {
    const std::size_t last = same.rfind(", ");
    if (last != std::string::npos) same.replace(last, 2, " and ");
    io.out << "Equivalent: code pages " << same << " read every byte of this text as the same characters; any of them will do.\n";
  }
  const auto other = std::find_if(r.pages.begin() + 1, r.pages.end(),
                                  [](const vexel::CodePageScore& s) { return !s.same_as_best; });
  if (marked && best == r.marked_page) {
    io.out << "The mark agrees: code page " << best << " reads best.\n";
  } else if (r.too_close_to_call && other != r.pages.end()) {
    io.out << "Too close to call: code pages " << best << " and " << other->page
           << " read this text about equally well. Compare their sample words, then mark the "
              "table: vxdbf codepage "
           << o.file << " --set N\n";
  } else {
    io.out << "Best: code page " << best;
    if (const std::optional<vexel::LanguageDriver> driver = vexel::language_driver(best)) {
      io.out << " (" << driver->meaning << "). To mark the table: vxdbf codepage " << o.file
             << " --set " << best << "\n";
    } else {
      io.out << ". No language driver mark names it: read the table with --codepage " << best
             << "\n";
    }
  }
  return kExitOk;
}

}  // namespace

void RegisterCodepageCommand(Commands& commands) {
  Options& o = commands.options();
  CLI::App& command = commands.Add(
      {"codepage", "FILE [--set N] [--json]                 (which code page the text is in)",
       "Scores code pages on the table's own text and memos and lists them best first with "
       "sample words; --set N writes the language driver mark of page N (exclusive use, nothing "
       "else changes), or for a page no mark names (65001 UTF-8, 855, 1258, ...) a .cpg file "
       "beside the table.",
       "vxdbf codepage films.dbf    then    vxdbf codepage films.dbf --set 1252", Assist});
  AddFileArgument(command, o);
  AddCodePageOption(command, "--set", o.codepage,
                    "write the language driver mark of this code page instead");
  command.add_flag("--json", o.json, "print the ranking as one JSON object");
}

}  // namespace vx::tool
