#include "tools/vxdbf/build_commands.h"

#include <CLI/CLI.hpp>
#include <optional>
#include <ostream>

#include "engine/foundation/errors.h"
#include "engine/index/index_build.h"
#include "engine/index/orders.h"
#include "engine/index/table_check.h"
#include "engine/memo/memo_check.h"
#include "platform/os/file.h"
#include "platform/os/system.h"
#include "tools/vxdbf/table_session.h"
#include "tools/vxdbf/text_formats.h"
#include "tools/vxdbf/vxdbf.h"

namespace vx::tool {

namespace {

// A progress bar on standard error while a build runs, when standard error is a terminal.
struct ProgressBar {
  std::ostream* err = nullptr;
  std::int32_t records = 0;
  std::uint32_t start = os::TickCount();

  static void Step(void* context, int step, int steps) {
    auto* bar = static_cast<ProgressBar*>(context);
    const double seconds = (os::TickCount() - bar->start) / 1000.0;
    const double done = bar->records * (static_cast<double>(step) / steps) / 2;
    *bar->err << "\r" << (100 * step / steps) << "%  "
              << static_cast<long long>(seconds > 0 ? done / seconds : 0) << " records/s   ";
    if (step == steps) *bar->err << "\n";
    bar->err->flush();
  }
};

class ProgressScope {
 public:
  ProgressScope(std::ostream& err, std::int32_t records) {
    if (!os::StandardErrorIsTerminal()) return;
    bar_.err = &err;
    bar_.records = records;
    SetIndexProgress(ProgressBar::Step, &bar_, 100);
  }
  ~ProgressScope() { SetIndexProgress(nullptr, nullptr, 0); }
  ProgressScope(const ProgressScope&) = delete;
  ProgressScope& operator=(const ProgressScope&) = delete;

 private:
  ProgressBar bar_;
};

Options Exclusive(const Options& o) {
  Options exclusive = o;
  exclusive.exclusive = true;
  return exclusive;
}

// The fill of built leaves for one command, as it was afterwards.
class FillScope {
 public:
  explicit FillScope(int fill) : saved_(IndexBuildFill) { IndexBuildFill = fill; }
  ~FillScope() { IndexBuildFill = saved_; }
  FillScope(const FillScope&) = delete;
  FillScope& operator=(const FillScope&) = delete;

 private:
  int saved_;
};

int IndexTag(const Options& o, const Streams& io) {
  TableSession session(Exclusive(o), o.file, Access::kIndex, io.err);
  ProgressScope progress(io.err, session.table().record_count);
  // The tag's name and expressions go into the index in the table's code page.
  TableText& text = session.text();
  const FillScope fill(o.fill);
  AddIndexTag({text.FromUtf8(o.tag, "the tag name"), text.FromUtf8(o.key, "the key"),
               text.FromUtf8(o.condition, "the FOR condition"), o.descending, o.unique});
  session.Close();
  return kExitOk;
}

int ReindexTable(const Options& o, const Streams& io) {
  TableSession session(Exclusive(o), o.file, Access::kIndex, io.err);
  if (!os::FileExists(IndexPath(session.table(), {}))) {
    throw InputError{o.file + " has no production index"};
  }
  SetIndexTo();
  ProgressScope progress(io.err, session.table().record_count);
  const FillScope fill(o.fill);
  Reindex();
  session.Close();
  return kExitOk;
}

int Check(const Options& o, const Streams& io) {
  const Options options = o.repair ? Exclusive(o) : o;
  TolerantMemoOpen tolerant;
  // The page the table's text is in (a mark that cannot be followed is said here, once); the
  // engine opens the table again for the check, under this session's lock settings.
  TableSession session(options, o.file, Access::kRead, io.err);
  TableText& text = session.text();
  TableCheckOptions check;
  check.exclusive = options.exclusive;
  check.repair = o.repair;
  check.code_page = text.page();
  check.name_text = [&text](const std::string& name) { return text.ToUtf8(name, "a field name"); };
  session.Close();
  const TableCheckReport report = CheckTable(o.file, check);
  const std::optional<RepairReport>& repair = report.repair;
  if (repair && repair->backup_failed) {
    throw InputError{"cannot keep the old index as " + repair->backup};
  }
  const bool failed = report.Failed();
  std::vector<CheckFinding> findings = report.table;
  findings.insert(findings.end(), report.memos.begin(), report.memos.end());
  if (report.memo_problems > kMemoProblemsKept) {
    findings.push_back(
        {"memo pointers",
         "... and " + std::to_string(report.memo_problems - kMemoProblemsKept) + " more"});
  }
  std::vector<CheckFinding> notes = report.notes;
  for (const TagCheckReport& tag : report.tags) {
    for (const auto& p : tag.problems) findings.push_back({"tag " + tag.name, p});
    for (const auto& n : tag.notes) notes.push_back({"tag " + tag.name, n});
  }
  if (o.json) {
    io.out << "{\"ok\":" << (failed ? "false" : "true") << ",\"problems\":[";
    bool first = true;
    for (const CheckFinding& f : findings) {
      io.out << (first ? "" : ",") << "{\"where\":" << JsonString(f.where)
             << ",\"problem\":" << JsonString(f.what) << "}";
      first = false;
    }
    io.out << "]";
    if (!notes.empty()) {
      io.out << ",\"notes\":[";
      for (std::size_t i = 0; i < notes.size(); ++i) {
        io.out << (i > 0 ? "," : "") << "{\"where\":" << JsonString(notes[i].where)
               << ",\"note\":" << JsonString(notes[i].what) << "}";
      }
      io.out << "]";
    }
    if (report.memo_problems > 0) io.out << ",\"memo_problems\":" << report.memo_problems;
    if (repair) {
      const auto list = [&](const std::vector<std::string>& items) {
        io.out << "[";
        for (std::size_t i = 0; i < items.size(); ++i) {
          io.out << (i > 0 ? "," : "") << JsonString(items[i]);
        }
        io.out << "]";
      };
      io.out << ",\"repair\":{\"backup\":"
             << (repair->backup.empty() ? "null" : JsonString(repair->backup)) << ",\"rebuilt\":";
      list(repair->rebuilt);
      io.out << ",\"not_repaired\":";
      list(repair->not_repaired);
      io.out << "}";
    }
    io.out << "}\n";
  } else {
    for (const CheckFinding& f : findings) io.out << f.where << ": " << f.what << "\n";
    for (const CheckFinding& f : notes) io.out << f.where << ": note: " << f.what << "\n";
    if (!failed) {
      io.out << "No problems found"
             << (report.has_index ? " (" + std::to_string(report.tags.size()) + " tags)" : "")
             << "\n";
    }
  }
  if (repair) {
    if (repair->counted > 0) {
      io.err << "vxdbf: the header now counts the " << repair->counted
             << " record(s) past its old count\n";
    }
    if (!repair->rebuilt.empty()) {
      io.err << "vxdbf: rebuilt tag(s) ";
      for (std::size_t i = 0; i < repair->rebuilt.size(); ++i) {
        io.err << (i > 0 ? ", " : "") << repair->rebuilt[i];
      }
      io.err << " of " << report.index_path << "; the old file is " << repair->backup << "\n";
    }
    for (const std::string& what : repair->not_repaired) {
      io.err << "vxdbf: not repaired: " << what << "\n";
    }
  }
  return failed ? kExitCheckFailed : kExitOk;
}

}  // namespace

void RegisterBuildCommands(Commands& commands) {
  Options& o = commands.options();
  CLI::App& index = commands.Add(
      {"index", "FILE --tag NAME --key EXPR [--for COND] [--descending] [--unique]",
       "Adds a tag to the production index (or replaces the tag of that name), creating the "
       "index when the table has none.",
       "vxdbf index films.dbf --tag TITLE --key \"UPPER(TITLE)\"",
       [](const Options& options, const Streams& io) { return IndexTag(options, io); }});
  AddFileArgument(index, o);
  index.add_option("--tag", o.tag, "the tag name (at most 10 characters)")->required();
  index.add_option("--key", o.key, "the key expression")->required();
  index.add_option("--for", o.condition, "only records meeting this condition");
  index.add_flag("--descending", o.descending, "highest key first");
  index.add_flag("--unique", o.unique, "one record of each key");
  const auto add_fill = [&o](CLI::App& command) {
    command
        .add_option("--fill", o.fill,
                    "percent of each leaf the build fills, leaving room for later inserts "
                    "(default 100)")
        ->check(CLI::Range(1, 100));
  };
  add_fill(index);

  CLI::App& reindex = commands.Add(
      {"reindex", "FILE", "Rebuilds every tag of the production index from its definition.",
       "vxdbf reindex films.dbf",
       [](const Options& options, const Streams& io) { return ReindexTable(options, io); }});
  AddFileArgument(reindex, o);
  add_fill(reindex);

  CLI::App& check = commands.Add(
      {"check", "FILE [--json] [--repair]",
       "Verifies the table header, every memo pointer against the memo file and every tag of "
       "the production index against the table; "
       "exit status 4 when it finds a problem. Changes nothing unless --repair.",
       "vxdbf check films.dbf --repair",
       [](const Options& options, const Streams& io) { return Check(options, io); }});
  AddFileArgument(check, o);
  check.add_flag("--json", o.json, "print one JSON object");
  check.add_flag("--repair", o.repair,
                 "rebuild the tags that failed (exclusive use), keeping the old index as .bak");
  AddSharingOptions(check, o);
}

}  // namespace vx::tool
