#include "tools/vxdbf/index_commands.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <ostream>
#include <vexel/inspect.hpp>

#include "tools/vxdbf/text_formats.h"
#include "tools/vxdbf/vxdbf.h"

namespace vx::tool {

namespace {

int Tags(const Options& o, const Streams& io) {
  std::ostream& out = io.out;
  const std::vector<vexel::TagSummary> tags =
      vexel::summarize_tags(o.file, o.index, OpenOptionsOf(o, io.err));
  // The readable tags are listed; a damaged one is named with the reader's message, and the
  // exit status says that the index needs a repair.
  bool damaged = false;
  for (const vexel::TagSummary& s : tags) damaged = damaged || !s.damage.empty();
  if (o.json) {
    out << "[";
    for (std::size_t i = 0; i < tags.size(); ++i) {
      const vexel::TagSummary& s = tags[i];
      out << (i ? "," : "") << "{\"name\":" << JsonString(s.name);
      if (!s.damage.empty()) {
        out << ",\"damaged\":" << JsonString(s.damage) << "}";
        continue;
      }
      out << ",\"key\":" << JsonString(s.key) << ",\"for\":" << JsonString(s.for_expr)
          << ",\"type\":" << JsonString(std::string(1, s.type)) << ",\"length\":" << s.length
          << ",\"unique\":" << (s.unique ? "true" : "false")
          << ",\"descending\":" << (s.descending ? "true" : "false");
      // A .CDX tag's own flags, only where they are set.
      if (s.candidate) out << ",\"candidate\":true";
      if (!s.collation.empty()) out << ",\"collation\":" << JsonString(s.collation);
      out << ",\"root\":" << s.root
          << ",\"depth\":" << s.depth << ",\"keys\":" << s.keys << "}";
    }
    out << "]\n";
    return damaged ? kExitEngineError : kExitOk;
  }
  for (const vexel::TagSummary& s : tags) {
    if (!s.damage.empty()) {
      out << s.name << "  damaged: " << s.damage << "\n";
      continue;
    }
    char line[160];
    std::snprintf(line, sizeof line, "%-10s %c %3d%s%s%s  root %u, depth %d, %lld keys\n",
                  s.name.c_str(), s.type, s.length, s.unique ? " unique" : "",
                  s.candidate ? " candidate" : "", s.descending ? " descending" : "", s.root,
                  s.depth, static_cast<long long>(s.keys));
    out << line << "  key: " << s.key << "\n";
    if (!s.for_expr.empty()) out << "  for: " << s.for_expr << "\n";
    if (!s.collation.empty()) out << "  collation: " << s.collation << "\n";
  }
  return damaged ? kExitEngineError : kExitOk;
}

int Seek(const Options& o, const Streams& io) {
  std::optional<std::uint32_t> record;
  const bool ndx = o.index.size() > 4 && (o.index.ends_with(".ndx") || o.index.ends_with(".NDX"));
  if (o.tag.empty() && !ndx) throw UsageError{"--tag NAME is required (or --index FILE.NDX)"};
  try {
    // --soft wins over --exact: a missing key finds the next higher one either way.
    const vexel::SeekMode mode = o.soft    ? vexel::SeekMode::soft
                                 : o.exact ? vexel::SeekMode::exact
                                           : vexel::SeekMode::prefix;
    record = vexel::seek_key(o.file, {o.tag, o.index, mode}, o.arguments.at(0),
                             OpenOptionsOf(o, io.err));
  } catch (const vexel::InputError& e) {
    // A key of the wrong type is a fault of the command line.
    if (e.code() == 9) throw UsageError{Worded(e)};
    throw;
  }
  if (!record) return kExitEngineError;
  io.out << *record << "\n";
  return kExitOk;
}

}  // namespace

void AddTagOptions(CLI::App& command, Options& o, TagOptions which) {
  command.add_option("--tag", o.tag, "walk the records in this tag's order");
  command.add_option("--index", o.index,
                     "the index file (default: the production index, FILE with .MDX)");
  if (which == TagOptions::kOrderOnly) return;
  command.add_flag("--recno", o.recno,
                   "add the record number (_recno) and with --tag the key (_key) first");
}

void RegisterIndexCommands(Commands& commands) {
  Options& o = commands.options();
  CLI::App& tags = commands.Add(
      {"tags", "FILE [--index FILE.MDX|FILE.CDX] [--json]",
       "Lists the tags of the production index (or the structural .CDX a FoxPro table's header "
       "names): key, FOR condition, type, length, flags, root page, depth and key count.",
       "vxdbf tags films.dbf --json", Tags});
  AddFileArgument(tags, o);
  tags.add_option("--index", o.index, "the index file (default: FILE with .MDX)");
  tags.add_flag("--json", o.json, "print one JSON array");
  AddTextOptions(tags, o);

  CLI::App& seek = commands.Add(
      {"seek", "FILE --tag NAME|--index FILE.NDX KEY [--soft] [--exact] [--index FILE.MDX]",
       "Searches a tag for a key and prints the record number found (exit status 1 when "
       "none).",
       "vxdbf seek films.dbf --tag TITLE \"Casablanca\"", Seek});
  AddFileArgument(seek, o);
  AddArguments(seek, o, "KEY", "the key text (a prefix of a character key)", 1);
  seek.add_option("--tag", o.tag, "the tag to search (not with an .NDX)");
  seek.add_option("--index", o.index,
                  "the index file (default: FILE with .MDX); an .NDX is searched itself");
  seek.add_flag("--soft", o.soft, "when not found, print the record of the next higher key");
  seek.add_flag("--exact", o.exact, "pad the key with blanks: the whole key must match");
  AddTextOptions(seek, o);
  AddSharingOptions(seek, o);
}

}  // namespace vx::tool
