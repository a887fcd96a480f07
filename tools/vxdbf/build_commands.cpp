#include "tools/vxdbf/build_commands.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstring>
#include <ostream>

#include "engine/foundation/errors.h"
#include "engine/index/index_build.h"
#include "engine/index/index_check.h"
#include "engine/index/key_maker.h"
#include "engine/index/orders.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
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

int IndexTag(const Options& o, const Streams& io) {
  TableSession session(Exclusive(o), o.file, Access::kIndex, io.err);
  ProgressScope progress(io.err, session.table().record_count);
  // The tag's name and expressions go into the index in the table's code page.
  TableText& text = session.text();
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
  Reindex();
  session.Close();
  return kExitOk;
}

// One tag's definition and findings.
struct TagReport {
  std::string name;
  TagDefinition definition;
  std::vector<std::string> problems;
};

// Normalizes a key for comparison with the key maker's: numbers may count their digits
// differently in other writers' files (the digit count byte is not part of the value).
std::string Comparable(const TagHeader& header, std::string key) {
  if ((header.KeyType() == 'N' || header.KeyType() == 'F') && key.size() >= 2) {
    key[1] = static_cast<char>(key[1] & 0x80);
  }
  return key;
}

void CheckTag(MdxFile& file, int number, TableRecord& t, TagReport& report) {
  TagHeader header;
  {
    QuietErrors quiet;
    if (!file.ReadTagHeader(number, header)) {
      report.problems.push_back("tag header unreadable: " + LastErrorMessage);
      return;
    }
  }
  report.definition = {report.name, header.KeyExpression(),
                       header.HasFor() ? header.ForExpression() : std::string(),
                       header.Descending(), header.Unique()};
  TagExpressions expressions;
  if (!CompileTagExpressions(header, expressions)) {
    report.problems.push_back("key or FOR expression does not compile");
    return;
  }
  const KeyComparator compare =
      ChooseComparator(header.KeyType(), expressions.result_type, header.Descending());
  if (compare == nullptr) {
    report.problems.push_back("key type does not match the key expression");
    return;
  }
  std::vector<TagItem> items;
  CheckTagTree(file, header, compare, report.problems, &items);
  // The keys the key maker computes, against the keys stored, as (key, record) sets.
  const auto length = static_cast<std::size_t>(header.KeyLength());
  std::vector<std::pair<std::string, std::uint32_t>> expected;
  for (std::int32_t n = 1; n <= t.record_count; ++n) {
    GoRaw(n);
    if (!MeetsFor(expressions, t)) continue;
    KeyBuffer key{};
    int key_length = 0;
    if (!MakeKey(expressions, header, t, key, key_length)) {
      report.problems.push_back("record " + std::to_string(n) + ": key cannot be made");
      continue;
    }
    expected.emplace_back(
        Comparable(header, std::string(reinterpret_cast<const char*>(key.data()), length)),
        static_cast<std::uint32_t>(n));
  }
  std::vector<std::pair<std::string, std::uint32_t>> stored;
  for (const TagItem& item : items) stored.emplace_back(Comparable(header, item.key), item.record);
  std::sort(expected.begin(), expected.end());
  std::sort(stored.begin(), stored.end());
  std::vector<std::pair<std::string, std::uint32_t>> missing;
  std::vector<std::pair<std::string, std::uint32_t>> extra;
  std::set_difference(expected.begin(), expected.end(), stored.begin(), stored.end(),
                      std::back_inserter(missing));
  std::set_difference(stored.begin(), stored.end(), expected.begin(), expected.end(),
                      std::back_inserter(extra));
  if (header.Unique()) {
    // A unique tag holds one record of each key (any of them, after edits).
    std::vector<std::pair<std::string, std::uint32_t>> still_missing;
    for (const auto& m : missing) {
      const bool key_held = std::any_of(stored.begin(), stored.end(),
                                        [&](const auto& s) { return s.first == m.first; });
      if (!key_held) still_missing.push_back(m);
    }
    missing = still_missing;
    for (std::size_t i = 1; i < stored.size(); ++i) {
      if (stored[i].first == stored[i - 1].first) {
        report.problems.push_back("record " + std::to_string(stored[i].second) +
                                  ": a second item of a key in a unique tag");
      }
    }
  }
  constexpr std::size_t kShown = 20;
  for (std::size_t i = 0; i < missing.size() && i < kShown; ++i) {
    report.problems.push_back("record " + std::to_string(missing[i].second) +
                              ": its key is missing");
  }
  for (std::size_t i = 0; i < extra.size() && i < kShown; ++i) {
    report.problems.push_back("record " + std::to_string(extra[i].second) +
                              ": an item whose key the record does not have (or a record the "
                              "tag should not hold)");
  }
  if (missing.size() + extra.size() > 2 * kShown) {
    report.problems.push_back(std::to_string(missing.size() + extra.size()) +
                              " key differences in all");
  }
}

int Check(const Options& o, const Streams& io) {
  Options options = o.repair ? Exclusive(o) : o;
  std::vector<std::string> table_problems;
  std::vector<TagReport> tags;
  bool has_index = false;
  std::string index_path;
  {
    TableSession session(options, o.file, Access::kIndex, io.err);
    TableRecord& t = session.table();
    std::uint64_t size = 0;
    t.file.Size(size);
    const std::uint64_t needed =
        t.header_length +
        std::uint64_t{t.record_length} * static_cast<std::uint64_t>(std::max(t.record_count, 0));
    if (size < needed) {
      table_problems.push_back("table: the header counts " + std::to_string(t.record_count) +
                               " records, but the file holds " + std::to_string(size) + " bytes (" +
                               std::to_string(needed) + " needed)");
    }
    index_path = IndexPath(t, {});
    has_index = HasProductionIndex() && os::FileExists(index_path);
    if (has_index) {
      MdxFile file;
      QuietErrors quiet;
      EngineErrorCode = 0;
      if (!file.Open(index_path, os::kOpenReadOnlyDenyNone)) {
        table_problems.push_back("index: " + LastErrorMessage);
      } else {
        for (int n = 1; n <= file.header().TagCount(); ++n) {
          TagReport report;
          report.name = file.header().TagName(n);
          CheckTag(file, n, t, report);
          tags.push_back(report);
        }
      }
      EngineErrorCode = 0;
    }
    session.Close();
  }
  bool failed = !table_problems.empty();
  for (const TagReport& tag : tags) failed = failed || !tag.problems.empty();
  if (o.json) {
    io.out << "{\"ok\":" << (failed ? "false" : "true") << ",\"problems\":[";
    bool first = true;
    const auto item = [&](const std::string& where, const std::string& what) {
      io.out << (first ? "" : ",") << "{\"where\":" << JsonString(where)
             << ",\"problem\":" << JsonString(what) << "}";
      first = false;
    };
    for (const auto& p : table_problems) item("table", p);
    for (const TagReport& tag : tags) {
      for (const auto& p : tag.problems) item("tag " + tag.name, p);
    }
    io.out << "]}\n";
  } else {
    for (const auto& p : table_problems) io.out << p << "\n";
    for (const TagReport& tag : tags) {
      for (const auto& p : tag.problems) io.out << "tag " << tag.name << ": " << p << "\n";
    }
    if (!failed) {
      io.out << "No problems found"
             << (has_index ? " (" + std::to_string(tags.size()) + " tags)" : "") << "\n";
    }
  }
  if (!failed || !o.repair) return failed ? kExitCheckFailed : kExitOk;
  if (tags.empty()) return kExitCheckFailed;
  // Repair: the old file is kept, then every tag is built again from its definition.
  const std::string backup = index_path + ".bak";
  {
    if (os::CopyWholeFile(index_path, backup) != 0) {
      throw InputError{"cannot keep the old index as " + backup};
    }
  }
  std::vector<TagDefinition> definitions;
  for (const TagReport& tag : tags) definitions.push_back(tag.definition);
  TableSession session(options, o.file, Access::kIndex, io.err);
  MakeIndex(definitions, index_path);
  session.Close();
  io.err << "vxdbf: rebuilt " << definitions.size() << " tags of " << index_path
         << "; the old file is " << backup << "\n";
  return kExitCheckFailed;
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

  CLI::App& reindex = commands.Add(
      {"reindex", "FILE", "Rebuilds every tag of the production index from its definition.",
       "vxdbf reindex films.dbf",
       [](const Options& options, const Streams& io) { return ReindexTable(options, io); }});
  AddFileArgument(reindex, o);

  CLI::App& check = commands.Add(
      {"check", "FILE [--json] [--repair]",
       "Verifies the table header and every tag of the production index against the table; "
       "exit status 4 when it finds a problem. Changes nothing unless --repair.",
       "vxdbf check films.dbf --repair",
       [](const Options& options, const Streams& io) { return Check(options, io); }});
  AddFileArgument(check, o);
  check.add_flag("--json", o.json, "print one JSON object");
  check.add_flag("--repair", o.repair,
                 "rebuild the index (exclusive use), keeping the old file as .bak");
  AddSharingOptions(check, o);
}

}  // namespace vx::tool
