// Building a table's production index (Table::add_tag and Table::reindex), and checking it and
// building .NDX files by path (include/vexel/indexing.hpp).

#include <vexel/indexing.hpp>

#include "engine/api/ops/file_replacement.h"
#include "engine/api/ops/operation.h"
#include "engine/expr/expression.h"
#include "engine/foundation/setting_scope.h"
#include "engine/foundation/strings.h"
#include "engine/index/cdx_build.h"
#include "engine/index/cdx_orders.h"
#include "engine/index/index_build.h"
#include "engine/index/ndx_orders.h"
#include "engine/index/orders.h"
#include "engine/index/table_check.h"
#include "engine/memo/memo_check.h"
#include "engine/table/dbf_records.h"
#include "engine/table/replacement_journal.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/file.h"
#include "platform/os/path_text.h"

namespace vx::ops {

namespace {

// Refused before the table is opened.
void CheckFill(int fill) {
  if (fill < 1 || fill > 100) {
    throw InputError{"the fill of built leaves is a percentage from 1 to 100, not " +
                     std::to_string(fill)};
  }
}

vexel::TableCheck PublicReport(const TableCheckReport& report) {
  vexel::TableCheck out;
  out.ok = !report.Failed();
  const auto findings = [](const std::vector<CheckFinding>& in) {
    std::vector<vexel::CheckFinding> list;
    list.reserve(in.size());
    for (const CheckFinding& f : in) {
      std::vector<vexel::Advice> advice = vexel::detail::AdviceOf(f.advice);
      list.push_back({f.where, vexel::advised(f.what, advice), f.what, std::move(advice)});
    }
    return list;
  };
  out.table = findings(report.table);
  out.memos = findings(report.memos);
  out.memo_problems = report.memo_problems;
  out.uncounted = report.uncounted;
  out.notes = findings(report.notes);
  out.has_index = report.has_index;
  out.index_path = report.index_path;
  for (const TagCheckReport& tag : report.tags) {
    vexel::TagCheck t;
    t.name = tag.name;
    t.definition.name = tag.definition.name;
    t.definition.key = tag.definition.key_expression;
    t.definition.for_expr = tag.definition.for_condition;
    t.definition.descending = tag.definition.descending;
    t.definition.unique = tag.definition.unique;
    t.definition_known = tag.definition_known;
    t.problems = tag.problems;
    t.notes = tag.notes;
    out.tags.push_back(std::move(t));
  }
  if (report.repair) {
    const RepairReport& r = *report.repair;
    out.repair = vexel::IndexRepair{r.backup, r.rebuilt, r.not_repaired, r.counted, r.sound};
  }
  return out;
}

}  // namespace

}  // namespace vx::ops

namespace vexel {

using vx::ops::Access;
using vx::ops::TableSession;

namespace {

// Runs one build through a Table: a fill out of range, a read_only table and one opened with
// another index in place of its production index are refused before anything; then, in the table's
// scope and work area, with the leaf fill, progress as "index" and the engine's warnings through
// the options the table was opened with, `build(table, text, file)` builds with the tags' text in
// the table's code page and answers whether it built (Error 222 naming `what` when it did not say
// why). A FoxPro table then reads its tags from the new .CDX.
template <class Build>
void BuildTags(const std::shared_ptr<Table::Impl>& shared, int fill_percent,
               const std::string& what, Build&& build) {
  vx::ops::CheckFill(fill_percent);
  if (shared == nullptr) detail::Fail(215, "the table is closed");
  Table::Impl& impl = *shared;
  const std::string file = vx::os::PathText(impl.path);
  vx::ops::RefuseReadOnly(impl.options, file);
  if (!impl.options.index.empty()) {
    throw vx::ops::InputError{file + " was opened with the index " +
                              vx::os::PathText(impl.options.index) +
                              " in place of its production index, whose tags it does not read"};
  }
  const detail::Scope scope(impl);
  detail::Guarded([&] {
    const vx::SettingScope fill(vx::IndexBuildFill, fill_percent);
    const vx::ops::WarningsToCaller warnings(impl.options);
    vx::TableRecord& t = impl.table();
    vx::ops::Progress progress(impl.options, "index", t.record_count);
    progress.FollowIndexBuild();
    vx::ops::RefuseUnsupportedIndex(t);
    impl.positioned_by = 0;
    // Made as every operation on the table makes it: a mark that cannot be followed is said.
    vx::ops::TableText text(t, impl.options);
    vx::CaseCodePage = impl.codepage;
    const bool built = build(t, text, file);
    // The build may have opened the table again to have it to itself.
    vx::TableRecord& rebuilt = impl.table();
    if (built && vx::TakesCdxTags(rebuilt)) {
      impl.cdx.reset();
      detail::OpenCdx(impl, rebuilt);
    }
    if (vx::CurrentOrder() != 0) vx::Set_Order_To(0);
    if (!built) detail::Fail(222, what + " of " + file + " could not be built");
    text.ReportReplacements(impl.options);
  });
}

}  // namespace

void Table::add_tag(const NewTag& tag, int fill_percent) {
  BuildTags(
      impl_, fill_percent, "the tag " + tag.name,
      [&](vx::TableRecord& t, vx::ops::TableText& text, const std::string&) {
        const std::string name = text.FromUtf8(tag.name, "the tag name");
        const std::string key = text.FromUtf8(tag.key, "the key");
        const std::string condition = text.FromUtf8(tag.for_expr, "the FOR condition");
        // A FoxPro table's tags go into its structural .CDX (made, and named in the
        // header, when it has none).
        return vx::TakesCdxTags(t)
                   ? vx::AddCdxTag({name, key, condition, tag.descending, tag.unique, false, {}})
                   : vx::AddIndexTag({name, key, condition, tag.descending, tag.unique});
      });
}

void Table::reindex(int fill_percent) {
  BuildTags(impl_, fill_percent, "the index",
            [](vx::TableRecord& t, vx::ops::TableText&, const std::string& file) {
              if (vx::TakesCdxTags(t)) {
                if (!vx::UsesStructuralCdx(t)) {
                  throw vx::ops::InputError{file + " has no structural compound index"};
                }
                return vx::ReindexCdx();
              }
              if (!vx::os::FileExists(vx::IndexPath(t, {}))) {
                throw vx::ops::InputError{file + " has no production index"};
              }
              // Opened afresh: a table opened with ignore_index may not have it open, and one
              // whose header cannot be read fails here with the reason.
              vx::SetIndexTo();
              return vx::Reindex();
            });
}

TableCheck check_table(const std::filesystem::path& file, bool repair, const OpenOptions& options) {
  return vx::ops::Run([&] {
    const OpenOptions opened =
        repair ? vx::ops::ExclusiveUse(options, vx::os::PathText(file)) : options;
    // Said here: the session below would undo a pending journal without a word.
    const bool undone = vx::ops::RecoverReplacement(
        vx::os::ResolvePath(vx::DefaultExtension(vx::os::PathText(file), "DBF")));
    // A memo file that cannot be opened is one of the findings, not a warning of the session.
    vx::TolerantMemoOpen tolerant;
    // The page the table's text is in (a mark that cannot be followed is said here, once); the
    // checker opens the table again, under this session's lock settings.
    TableSession session(opened, vx::os::PathText(file), Access::kRead);
    vx::ops::TableText& text = session.text();
    vx::TableCheckOptions check;
    check.exclusive = opened.mode == vexel::OpenMode::exclusive;
    check.repair = repair;
    check.code_page = text.page();
    check.name_text = [&text](const std::string& name) {
      return text.ToUtf8(name, "a field name");
    };
    session.Close();
    // A repair's tag builds report as "index".
    vx::ops::Progress progress(opened, "index", 0);
    if (repair) progress.FollowIndexBuild();
    const vx::TableCheckReport report = vx::CheckTable(vx::os::PathText(file), check);
    if (report.repair && report.repair->backup_failed) {
      throw vx::ops::InputError{"cannot keep the old index as " + report.repair->backup};
    }
    TableCheck result = vx::ops::PublicReport(report);
    if (undone)
      result.notes.insert(result.notes.begin(),
                          {"journal", vx::JournalUndoneNote(vx::os::PathText(file))});
    return result;
  });
}

void build_ndx(const std::filesystem::path& file, const std::filesystem::path& ndx,
               const std::string& key, bool unique, const OpenOptions& options) {
  vx::ops::Run([&] {
    const OpenOptions exclusive = vx::ops::ExclusiveUse(options, vx::os::PathText(file));
    TableSession session(exclusive, vx::os::PathText(file), Access::kIndex);
    const std::string stored = session.text().FromUtf8(key, "the key");
    vx::BuildNdx(vx::NdxPath(session.table(), vx::os::PathText(ndx)), stored, unique);
    session.Close();
  });
}

NdxCheck check_ndx(const std::filesystem::path& file, const std::filesystem::path& ndx, bool repair,
                   const OpenOptions& options) {
  return vx::ops::Run([&] {
    const OpenOptions opened =
        repair ? vx::ops::ExclusiveUse(options, vx::os::PathText(file)) : options;
    TableSession session(opened, vx::os::PathText(file), repair ? Access::kIndex : Access::kRead);
    vx::TableRecord& t = session.table();
    NdxCheck result;
    result.path = vx::NdxPath(t, vx::os::PathText(ndx));
    vx::NdxIndex index;
    bool opened_file;
    {
      vx::QuietErrors quiet;
      opened_file = vx::OpenNdxFor(t, result.path, index, false);
      vx::EngineErrorCode = 0;
    }
    if (!index.file.IsOpen()) {
      throw vx::ops::InputError{"no index " + result.path + " (" + vx::LastErrorMessage + ")"};
    }
    result.key = index.file.header().expression;
    if (!opened_file) {
      result.problems.push_back(vx::LastErrorMessage);
    } else {
      vx::QuietErrors quiet;
      const vx::NdxReadHold hold(index.file);
      result.problems = hold.held() ? vx::CheckNdxAgainstTable(t, index, result.notes)
                                    : std::vector<std::string>{vx::LastErrorMessage};
      vx::EngineErrorCode = 0;
    }
    if (repair && !result.problems.empty()) {
      if (result.key.empty()) {
        result.problems.push_back("its header gives no key expression: it cannot be rebuilt");
      } else {
        const bool unique = index.file.header().unique;
        const vx::NdxHeader old = index.file.header();
        index.file.Close();
        result.rebuilt = vx::BuildNdx(result.path, result.key, unique, &old);
      }
    }
    result.key = session.text().ToUtf8(result.key, "the key of " + result.path);
    session.Close();
    return result;
  });
}

std::vector<CheckFinding> TableCheck::findings() const {
  std::vector<CheckFinding> all = table;
  all.insert(all.end(), memos.begin(), memos.end());
  if (memo_problems > check_memo_problems_kept) {
    all.push_back(
        {"memo pointers",
         "... and " + std::to_string(memo_problems - check_memo_problems_kept) + " more"});
  }
  for (const TagCheck& tag : tags) {
    for (const std::string& p : tag.problems) all.push_back({"tag " + tag.name, p});
  }
  return all;
}

std::vector<CheckFinding> TableCheck::all_notes() const {
  std::vector<CheckFinding> all = notes;
  for (const TagCheck& tag : tags) {
    for (const std::string& n : tag.notes) all.push_back({"tag " + tag.name, n});
  }
  return all;
}

}  // namespace vexel

static_assert(vexel::check_memo_problems_kept == vx::kMemoProblemsKept);
