#include "tools/vxdbf/codepage_command.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <ostream>

#include "engine/memo/memo_storage.h"
#include "engine/memo/text_sample.h"
#include "engine/table/code_page_ranking.h"
#include "engine/table/dbf_file.h"
#include "engine/table/language_driver.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/codepage.h"
#include "tools/vxdbf/table_session.h"
#include "tools/vxdbf/table_text.h"
#include "tools/vxdbf/vxdbf.h"

namespace vx::tool {

namespace {

std::string Meaning(int page) {
  const std::optional<std::uint8_t> id = LanguageDriverForCodePage(page);
  return id ? FindLanguageDriver(*id)->meaning : "";
}

int SetMark(const Options& o, const Streams& io) {
  const std::uint8_t id = WriteCodePageMark(o.file, o.codepage);
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%02X", id);
  io.out << "Language driver " << hex << " (" << FindLanguageDriver(id)->meaning << ", code page "
         << o.codepage << ") written to " << o.file << "\n";
  return kExitOk;
}

int Assist(const Options& o, const Streams& io) {
  if (o.codepage != 0) return SetMark(o, io);
  Options reading = o;
  reading.lossy = true;  // the assistant decodes every page, whatever does not fit
  TableSession session(reading, o.file, Access::kRead, io.err);
  TableRecord& t = session.table();
  const TableMark mark = ReadTableMark(t);
  Options unmarked;
  const CodePageChoice choice = ChooseCodePage(mark, unmarked);
  const int declared = choice.page;
  // Only a mark this tool can follow names a page; an unknown one is as good as none.
  const bool marked = choice.warning.empty() && choice.reason.rfind("language driver", 0) == 0;
  const TableSample sample = ReadCodePageSample(t);
  session.Close();

  std::vector<int> pages(std::begin(kCandidatePages), std::end(kCandidatePages));
  if (std::find(pages.begin(), pages.end(), declared) == pages.end()) pages.push_back(declared);
  const std::vector<PageScore> ranked = RankCodePages(sample.texts, pages, marked ? declared : 0);

  if (o.json) {
    nlohmann::ordered_json report;
    report["file"] = o.file;
    report["records"] = sample.records;
    report["memos"] = sample.memos;
    report["bytes_beyond_ascii"] = sample.high_bytes;
    report["marked_page"] = marked ? declared : 0;
    report["too_close_to_call"] = TooCloseToCall(ranked, sample.high_bytes);
    for (const PageScore& s : ranked) {
      report["pages"].push_back({{"page", s.page},
                                 {"score", static_cast<double>(std::lround(s.score * 100)) / 100},
                                 {"samples", s.samples}});
    }
    io.out << report.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    return kExitOk;
  }
  io.out << "Language driver:  " << DescribeMark(mark) << "\n"
         << "Text examined:    " << sample.records << " records, " << sample.memos << " memos, "
         << sample.high_bytes << " bytes beyond ASCII\n";
  if (sample.high_bytes == 0) {
    io.out << "No byte beyond ASCII: every code page reads this table alike.\n";
    return kExitOk;
  }
  io.out << " Page  Score  Sample words\n";
  for (const PageScore& s : ranked) {
    char line[32];
    std::snprintf(line, sizeof line, "%5d %6.2f ", s.page, s.score);
    io.out << line;
    for (const std::string& word : s.samples) io.out << " " << word;
    io.out << "\n";
  }
  const int best = ranked.front().page;
  if (marked && best == declared) {
    io.out << "The mark agrees: code page " << best << " reads best.\n";
  } else if (TooCloseToCall(ranked, sample.high_bytes)) {
    io.out << "Too close to call: code pages " << best << " and " << ranked[1].page
           << " read this text about equally well. Compare their sample words, then mark the "
              "table: vxdbf codepage "
           << o.file << " --set N\n";
  } else {
    io.out << "Best: code page " << best;
    const std::string meaning = Meaning(best);
    if (!meaning.empty()) {
      io.out << " (" << meaning << "). To mark the table: vxdbf codepage " << o.file << " --set "
             << best << "\n";
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
       "else changes).",
       "vxdbf codepage films.dbf    then    vxdbf codepage films.dbf --set 1252", Assist});
  AddFileArgument(command, o);
  AddCodePageOption(command, "--set", o.codepage,
                    "write the language driver mark of this code page instead");
  command.add_flag("--json", o.json, "print the ranking as one JSON object");
}

}  // namespace vx::tool
