#include "tools/vxdbf/index_commands.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
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

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) ==
                  std::toupper(static_cast<unsigned char>(y));
         });
}

int Seek(const Options& o, const Streams& io) {
  const bool ndx = o.index.size() > 4 && (o.index.ends_with(".ndx") || o.index.ends_with(".NDX"));
  if (o.tag.empty() && !ndx) throw UsageError{"--tag NAME is required (or --index FILE.NDX)"};
  vexel::OpenOptions options = OpenOptionsOf(o, io.err);
  if (!o.exclusive) options.mode = vexel::OpenMode::read_only;
  // An .NDX is a tag of its own, named by its file name; another .MDX or .CDX takes the place
  // of the production index.
  std::string tag = o.tag;
  if (ndx) {
    options.ndx_files = {o.index};
    tag = o.index.substr(o.index.find_last_of("/\\") + 1);
  } else {
    options.ndx_files.clear();
    options.index = o.index;
  }
  const vexel::Table table = vexel::open(o.file, options);
  for (const std::string& warning : table.warnings()) {
    io.err << "vxdbf: warning: " << warning << "\n";
  }
  // The library reads the key text as the tag's keys are (a number, a date); text that is none
  // is a fault of the command line.
  const vexel::Value key = o.arguments.at(0);
  const std::vector<vexel::TagInfo> tags = table.tags();
  // What the command line got wrong when the library finds the key of another type.
  const auto wrong_type = [&] {
    const std::string holder = ndx ? o.index : "tag " + o.tag;
    const std::string key_text = Quoted(o.arguments[0]);
    for (const vexel::TagInfo& info : tags) {
      if (!EqualNoCase(info.name, tag)) continue;
      if (info.key_type == 'N') return holder + " holds numbers: " + key_text + " is no number";
      if (info.key_type == 'D') return holder + " holds dates: " + key_text + " is no date";
    }
    return std::string();
  };
  // --soft wins over --exact: a missing key finds the next higher one either way.
  const vexel::SeekMode mode = o.soft    ? vexel::SeekMode::soft
                               : o.exact ? vexel::SeekMode::exact
                                         : vexel::SeekMode::prefix;
  std::optional<std::uint32_t> record;
  try {
    record = table.seek(tag, key, mode);
  } catch (const vexel::NotSupportedError&) {
    throw;
  } catch (const vexel::InputError& e) {
    if (e.code() == 9) {
      if (std::string wrong = wrong_type(); !wrong.empty()) throw UsageError{wrong};
    }
    // A table without any index has no tag to name: that is the file's lack, not a wrong name.
    if (!tags.empty()) throw;
    io.err << "vxdbf: " << Worded(e) << "\n";
    return kExitEngineError;
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
