// The code-page assistant (include/vexel/codepage_assistant.hpp).

#include <algorithm>
#include <vexel/codepage_assistant.hpp>

#include "engine/api/ops/operation.h"
#include "engine/memo/text_sample.h"
#include "engine/table/code_page_ranking.h"
#include "engine/table/dbf_records.h"
#include "engine/table/language_driver.h"
#include "platform/os/path_text.h"

namespace vexel {

CodePageRanking rank_codepages(const std::filesystem::path& file, const OpenOptions& options) {
  return vx::ops::Run([&] {
    OpenOptions reading = options;
    // Every page is tried: the session's own page only decides how a mark is described, and
    // text that does not fit it is no error here.
    reading.codepage = 0;
    reading.ansi = false;
    reading.lossy = true;
    vx::ops::TableSession session(reading, vx::os::PathText(file), vx::ops::Access::kRead);
    vx::TableRecord& t = session.table();
    const vx::TableMark mark = vx::ReadTableMark(t);
    const vx::CodePageChoice choice = vx::ops::ChooseCodePage(mark, OpenOptions{});
    const int declared = choice.page;
    // Only a mark this library can follow names a page; an unknown one is as good as none.
    const bool marked = choice.warning.empty() && choice.reason.rfind("language driver", 0) == 0;
    const vx::TableSample sample = vx::ReadCodePageSample(t);
    session.Close();

    std::vector<int> pages(std::begin(vx::kCandidatePages), std::end(vx::kCandidatePages));
    if (std::find(pages.begin(), pages.end(), declared) == pages.end()) pages.push_back(declared);
    const std::vector<vx::PageScore> ranked =
        vx::RankCodePages(sample.texts, pages, marked ? declared : 0);

    CodePageRanking out;
    out.mark = vx::DescribeMark(mark);
    out.marked_page = marked ? declared : 0;
    out.records = sample.records;
    out.memos = sample.memos;
    out.bytes_beyond_ascii = sample.high_bytes;
    out.too_close_to_call = vx::TooCloseToCall(ranked, sample.high_bytes);
    out.equivalent = ranked.size() > 1 && ranked[1].reads_as_best && sample.high_bytes > 0;
    for (const vx::PageScore& s : ranked) {
      out.pages.push_back({s.page, s.score, s.samples, &s != &ranked[0] && s.reads_as_best});
    }
    return out;
  });
}

std::optional<LanguageDriver> language_driver(int page) {
  const std::optional<std::uint8_t> id = vx::LanguageDriverForCodePage(page);
  if (!id) return std::nullopt;
  const vx::LanguageDriver* driver = vx::FindLanguageDriver(*id);
  if (driver == nullptr) return std::nullopt;
  return LanguageDriver{driver->id, driver->meaning, driver->code_page};
}

LanguageDriver set_codepage_mark(const std::filesystem::path& file, int page) {
  return vx::ops::Run([&] {
    const std::uint8_t id = vx::ops::WriteCodePageMark(vx::os::PathText(file), page);
    if (id == 0) return LanguageDriver{0, vx::DerivedFileName(vx::os::PathText(file), "CPG"), page};
    const vx::LanguageDriver* driver = vx::FindLanguageDriver(id);
    return LanguageDriver{id, driver != nullptr ? driver->meaning : "", page};
  });
}

}  // namespace vexel
