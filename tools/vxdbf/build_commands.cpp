#include "tools/vxdbf/build_commands.h"

#include <CLI/CLI.hpp>
#include <optional>
#include <ostream>
#include <vexel/indexing.hpp>
#include <vexel/vexel.hpp>

#include "tools/vxdbf/text_formats.h"
#include "tools/vxdbf/vxdbf.h"

namespace vx::tool {

namespace {

// How `index` and `reindex` open the table: to themselves for the build, and without the
// production index when it cannot be read (a rebuild mends an index whose trees are damaged;
// one whose header cannot be read is refused with the reason by the build).
vexel::OpenOptions BuildOptions(const Options& o, const Streams& io) {
  vexel::OpenOptions options = OpenOptionsOf(o, io.err);
  options.mode = vexel::OpenMode::exclusive;
  options.ignore_index = true;
  return options;
}

int IndexTag(const Options& o, const Streams& io) {
  if (!o.ndx.empty()) {
    if (!o.tag.empty() || !o.condition.empty() || o.descending) {
      throw UsageError{"an .NDX has no tag name, FOR condition or descending order"};
    }
    vexel::build_ndx(o.file, o.ndx, o.key, o.unique, OpenOptionsOf(o, io.err));
    return kExitOk;
  }
  if (o.tag.empty()) throw UsageError{"--tag NAME (or --ndx FILE) is required"};
  const vexel::OpenOptions options = BuildOptions(o, io);
  vexel::Table table = vexel::open(o.file, options);
  table.add_tag({o.tag, o.key, o.condition, o.descending, o.unique}, o.fill);
  table.close();
  return kExitOk;
}

int ReindexTable(const Options& o, const Streams& io) {
  const vexel::OpenOptions options = BuildOptions(o, io);
  vexel::Table table = vexel::open(o.file, options);
  table.reindex(o.fill);
  table.close();
  return kExitOk;
}

// The .NDX files named by --index, after the table: findings under "index NAME"; repaired ones
// said on `err`. Answers whether any had problems.
bool CheckNdxFiles(const Options& o, const Streams& io, std::vector<vexel::CheckFinding>& findings,
                   std::vector<vexel::CheckFinding>& notes) {
  bool failed = false;
  for (const std::string& name : o.ndx_files) {
    const vexel::NdxCheck c = vexel::check_ndx(o.file, name, o.repair, OpenOptionsOf(o, io.err));
    for (const std::string& p : c.problems) findings.push_back({"index " + c.path, p});
    for (const std::string& n : c.notes) notes.push_back({"index " + c.path, n});
    failed = failed || !c.ok();
    if (c.rebuilt) io.err << "vxdbf: rebuilt " << c.path << "\n";
  }
  return failed;
}

// A finding with its advice in vxdbf's words.
std::string Said(const vexel::CheckFinding& f) {
  return f.advice.empty() ? f.what : vexel::advised(f.fault, f.advice, OptionWords);
}

int Check(const Options& o, const Streams& io) {
  vexel::OpenOptions options = OpenOptionsOf(o, io.err);
  options.progress = nullptr;  // a repair's builds draw no bar: check says what it did instead
  const vexel::TableCheck report = vexel::check_table(o.file, o.repair, options);
  const std::optional<vexel::IndexRepair>& repair = report.repair;
  std::vector<vexel::CheckFinding> findings = report.findings();
  std::vector<vexel::CheckFinding> notes = report.all_notes();
  const bool failed = CheckNdxFiles(o, io, findings, notes) || !report.ok;
  if (o.json) {
    io.out << "{\"ok\":" << (failed ? "false" : "true") << ",\"problems\":[";
    bool first = true;
    for (const vexel::CheckFinding& f : findings) {
      io.out << (first ? "" : ",") << "{\"where\":" << JsonString(f.where)
             << ",\"problem\":" << JsonString(Said(f)) << "}";
      first = false;
    }
    io.out << "]";
    if (!notes.empty()) {
      io.out << ",\"notes\":[";
      for (std::size_t i = 0; i < notes.size(); ++i) {
        io.out << (i > 0 ? "," : "") << "{\"where\":" << JsonString(notes[i].where)
               << ",\"note\":" << JsonString(Said(notes[i])) << "}";
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
    for (const vexel::CheckFinding& f : findings) io.out << f.where << ": " << Said(f) << "\n";
    for (const vexel::CheckFinding& f : notes) io.out << f.where << ": note: " << Said(f) << "\n";
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
      // The file rebuilt is the one kept as FILE.bak (the .MDX, or a FoxPro table's .CDX).
      const std::string& kept = repair->backup;
      const std::string rebuilt =
          kept.size() > 4 && kept.ends_with(".bak") ? kept.substr(0, kept.size() - 4)
                                                    : report.index_path;
      io.err << " of " << rebuilt << "; the old file is " << repair->backup << "\n";
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
      {"index", "FILE --tag NAME|--ndx FILE.NDX --key EXPR [--for COND] [--descending] [--unique]",
       "Adds a tag to the production index (or replaces the tag of that name), creating the "
       "index when the table has none; with --ndx writes a dBASE III index file instead.",
       "vxdbf index films.dbf --tag TITLE --key \"UPPER(TITLE)\"",
       [](const Options& options, const Streams& io) { return IndexTag(options, io); }});
  AddFileArgument(index, o);
  index.add_option("--tag", o.tag, "the tag name (at most 10 characters)");
  index.add_option("--ndx", o.ndx, "write this dBASE III index file (.NDX) instead of a tag");
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
      {"check", "FILE [--json] [--repair] [--index A.NDX,B.NDX]",
       "Verifies the table header, every memo pointer against the memo file and every tag of "
       "the production index against the table; "
       "exit status 4 when it finds a problem. Changes nothing unless --repair.",
       "vxdbf check films.dbf --repair",
       [](const Options& options, const Streams& io) { return Check(options, io); }});
  AddFileArgument(check, o);
  check.add_flag("--json", o.json, "print one JSON object");
  AddNdxOption(check, o, "dBASE III index files (.NDX, comma-separated) to check against the table");
  check.add_flag("--repair", o.repair,
                 "rebuild the tags that failed (exclusive use), keeping the old index as .bak");
  AddSharingOptions(check, o);
}

}  // namespace vx::tool
