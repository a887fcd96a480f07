#include "tools/vxdbf/index_commands.h"

#include <CLI/CLI.hpp>
#include <ostream>

#include "engine/foundation/errors.h"
#include "engine/foundation/strings.h"
#include "engine/index/orders.h"
#include "engine/workarea/field_input.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/codepage.h"
#include "platform/os/file.h"
#include "tools/vxdbf/table_session.h"
#include "tools/vxdbf/text_formats.h"
#include "tools/vxdbf/vxdbf.h"

namespace vx::tool {

namespace {

// One tag as `tags` shows it.
struct TagSummary {
  std::string name;
  std::string key;
  std::string condition;
  char type = 'C';
  int length = 0;
  bool unique = false;
  bool descending = false;
  std::uint32_t root = 0;
  int depth = 0;
  std::int64_t keys = 0;
  std::string damage;  // why the tag cannot be read (empty when it can)
};

std::string IndexPathOf(const Options& o) {
  if (!o.index.empty()) return DefaultExtension(o.index, "MDX");
  return DerivedFileName(o.file, "MDX");
}

// Reads the summaries of every tag; the tree of each is walked for its depth and key count. A
// tag whose header or tree cannot be read is kept with the reader's message in `damage`.
std::vector<TagSummary> Summaries(const std::string& path) {
  MdxFile file;
  if (!file.Open(path, os::kOpenReadOnlyDenyNone)) return {};
  std::vector<TagSummary> out;
  for (int i = 1; i <= file.header().TagCount(); ++i) {
    TagSummary& s = out.emplace_back();
    s.name = file.header().TagName(i);
    QuietErrors quiet;
    TagHeader header;
    if (!file.ReadTagHeader(i, header)) {
      s.damage = LastErrorMessage;
      continue;
    }
    s.key = TrimText(header.KeyExpression());
    s.condition = header.HasFor() ? TrimText(header.ForExpression()) : std::string();
    s.type = header.KeyType();
    s.length = header.KeyLength();
    s.unique = header.Unique();
    s.descending = header.Descending();
    s.root = header.RootPage();
    const char result = s.type == 'C' ? 'C' : (s.type == 'D' ? 'D' : 'N');
    TagCursor cursor;
    cursor.Attach(&file, header, ChooseComparator(s.type, result, s.descending),
                  {path, s.name, 0, i});
    bool walked = cursor.First();
    s.depth = static_cast<int>(cursor.PathPages().size());
    while (walked && cursor.OnItem() && !cursor.AtEnd()) {
      ++s.keys;
      walked = cursor.Next();
    }
    if (!walked) s.damage = LastErrorMessage;
  }
  EngineErrorCode = 0;
  return out;
}

int Tags(const Options& o, const Streams& io) {
  std::ostream& out = io.out;
  const std::string path = IndexPathOf(o);
  if (!os::FileExists(path)) throw InputError{"no index " + path};
  // Tag names and expressions are in the table's code page.
  TableSession session(o, o.file, Access::kRead, io.err);
  TableText& text = session.text();
  const auto utf8 = [&](const std::string& bytes) { return text.ToUtf8(bytes, "the index"); };
  const std::vector<TagSummary> tags = Summaries(path);
  // The readable tags are listed; a damaged one is named with the reader's message, and the
  // exit status says that the index needs a repair.
  bool damaged = false;
  for (const TagSummary& s : tags) damaged = damaged || !s.damage.empty();
  if (o.json) {
    out << "[";
    for (std::size_t i = 0; i < tags.size(); ++i) {
      const TagSummary& s = tags[i];
      out << (i ? "," : "") << "{\"name\":" << JsonString(utf8(s.name));
      if (!s.damage.empty()) {
        out << ",\"damaged\":" << JsonString(s.damage) << "}";
        continue;
      }
      out << ",\"key\":" << JsonString(utf8(s.key)) << ",\"for\":" << JsonString(utf8(s.condition))
          << ",\"type\":" << JsonString(std::string(1, s.type)) << ",\"length\":" << s.length
          << ",\"unique\":" << (s.unique ? "true" : "false")
          << ",\"descending\":" << (s.descending ? "true" : "false") << ",\"root\":" << s.root
          << ",\"depth\":" << s.depth << ",\"keys\":" << s.keys << "}";
    }
    out << "]\n";
    return damaged ? kExitEngineError : kExitOk;
  }
  for (const TagSummary& s : tags) {
    if (!s.damage.empty()) {
      out << utf8(s.name) << "  damaged: " << s.damage << "\n";
      continue;
    }
    char line[160];
    std::snprintf(line, sizeof line, "%-10s %c %3d%s%s  root %u, depth %d, %lld keys\n",
                  utf8(s.name).c_str(), s.type, s.length, s.unique ? " unique" : "",
                  s.descending ? " descending" : "", s.root, s.depth,
                  static_cast<long long>(s.keys));
    out << line << "  key: " << utf8(s.key) << "\n";
    if (!s.condition.empty()) out << "  for: " << utf8(s.condition) << "\n";
  }
  return damaged ? kExitEngineError : kExitOk;
}

// Opens the index of the session's table and selects --tag; an unknown tag is a usage error.
void OpenTag(const Options& o) {
  if (!SetIndexTo(o.index)) throw InputError{"no index for " + o.file};
  bool found = false;
  const std::string wanted = os::AnsiUpperText(os::Utf8ToAnsi(o.tag));
  for (int n = 1; n <= OrderCount(); ++n) {
    if (OrderTagName(n) == wanted) {
      Set_Order_To(n);
      found = true;
      break;
    }
  }
  if (!found) throw InputError{"no tag \"" + o.tag + "\" in " + IndexFileName()};
}

int Seek(const Options& o, const Streams& io) {
  std::ostream& out = io.out;
  TableSession session(o, o.file, Access::kRead, io.err);
  OpenTag(o);
  const bool saved_padding = KeyPadding;
  const bool saved_soft = SoftSeek;
  KeyPadding = o.exact;
  SoftSeek = o.soft;
  // The key is given in UTF-8; this session reads the stored bytes unconverted, so the key goes
  // into the table's own code page.
  const std::string key = session.text().FromUtf8(o.arguments.at(0), "the key");
  // A number tag wants a number: text that is none would be sought as 0.
  const OrderTag* order = OrderOf(CurrentOrder());
  if (order != nullptr && (order->header.KeyType() == 'N' || order->header.KeyType() == 'F') &&
      !JsonNumber(TrimText(key))) {
    throw UsageError{"tag " + o.tag + " holds numbers: " + Quoted(o.arguments.at(0)) +
                     " is no number"};
  }
  bool found = false;
  try {
    found = Find(key);
  } catch (...) {
    KeyPadding = saved_padding;
    SoftSeek = saved_soft;
    throw;
  }
  KeyPadding = saved_padding;
  SoftSeek = saved_soft;
  const bool stands = found || (o.soft && !dEOF());
  const std::int32_t record = RecNo();
  session.Close();
  if (!stands) return kExitEngineError;
  out << record << "\n";
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

std::vector<OrderedRecord> RecordOrder(const Options& o, TableRecord& t, std::int32_t count) {
  std::vector<OrderedRecord> order;
  if (o.tag.empty()) {
    if (count < 0) count = t.record_count;
    for (std::int32_t n = 1; n <= count; ++n) order.push_back({n, {}});
    return order;
  }
  OpenTag(o);
  GoTop();
  while (!dEOF() && order.size() <= static_cast<std::size_t>(t.record_count)) {
    order.push_back({RecNo(), OrderKeyText(CurrentOrder())});
    SKIP(1);
  }
  CloseIndex();
  return order;
}

int ProductionTagCount(const std::string& table_file, bool flagged) {
  if (!flagged) return -1;
  const std::string path = DerivedFileName(table_file, "MDX");
  if (!os::FileExists(path)) return -1;
  QuietErrors quiet;
  MdxFile file;
  if (!file.Open(path, os::kOpenReadOnlyDenyNone)) return -1;
  return file.header().TagCount();
}

void RegisterIndexCommands(Commands& commands) {
  Options& o = commands.options();
  CLI::App& tags = commands.Add(
      {"tags", "FILE [--index FILE.MDX] [--json]",
       "Lists the tags of the production index: key, FOR condition, type, length, flags, root "
       "page, depth and key count.",
       "vxdbf tags films.dbf --json", Tags});
  AddFileArgument(tags, o);
  tags.add_option("--index", o.index, "the index file (default: FILE with .MDX)");
  tags.add_flag("--json", o.json, "print one JSON array");
  AddTextOptions(tags, o);

  CLI::App& seek = commands.Add(
      {"seek", "FILE --tag NAME KEY [--soft] [--exact] [--index FILE.MDX]",
       "Searches a tag for a key and prints the record number found (exit status 1 when "
       "none).",
       "vxdbf seek films.dbf --tag TITLE \"Casablanca\"", Seek});
  AddFileArgument(seek, o);
  AddArguments(seek, o, "KEY", "the key text (a prefix of a character key)", 1);
  seek.add_option("--tag", o.tag, "the tag to search")->required();
  seek.add_option("--index", o.index, "the index file (default: FILE with .MDX)");
  seek.add_flag("--soft", o.soft, "when not found, print the record of the next higher key");
  seek.add_flag("--exact", o.exact, "pad the key with blanks: the whole key must match");
  AddTextOptions(seek, o);
  AddSharingOptions(seek, o);
}

}  // namespace vx::tool
