#include "tools/vxdbf/index_commands.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <charconv>
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

bool IsDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A number as a key gives it: an optional sign, digits with an optional point, an optional
// exponent; none for other text (which a tag of numbers would seek as 0).
std::optional<vexel::Value> NumberKey(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  std::string_view body = text;
  if (!body.empty() && (body[0] == '+' || body[0] == '-')) body.remove_prefix(1);
  const std::size_t e = body.find_first_of("eE");
  const std::string_view mantissa = body.substr(0, e);
  const std::size_t point = mantissa.find('.');
  const std::string_view whole = mantissa.substr(0, point);
  const std::string_view fraction =
      point == std::string_view::npos ? std::string_view() : mantissa.substr(point + 1);
  if ((!whole.empty() && !IsDigits(whole)) || (!fraction.empty() && !IsDigits(fraction)) ||
      (whole.empty() && fraction.empty())) {
    return std::nullopt;
  }
  if (e != std::string_view::npos) {
    std::string_view exponent = body.substr(e + 1);
    if (!exponent.empty() && (exponent[0] == '+' || exponent[0] == '-')) exponent.remove_prefix(1);
    if (!IsDigits(exponent)) return std::nullopt;
  }
  // from_chars takes no "+": the sign is read apart.
  const std::string digits = (text[0] == '-' ? "-" : "") + std::string(body);
  const char* end = digits.data() + digits.size();
  if (std::int64_t whole_number = 0; point == std::string_view::npos && e == std::string_view::npos &&
      std::from_chars(digits.data(), end, whole_number).ptr == end) {
    return whole_number;
  }
  double number = 0;
  const auto [at, error] = std::from_chars(digits.data(), end, number);
  if (error != std::errc() || at != end) return std::nullopt;
  return number;
}

// A date as a key gives it: YYYY-MM-DD, YYYYMMDD, or month, day and year as the engine reads a
// date (MM/DD/YYYY; "." or "-" may part them too; a two-digit year from 56 is of the 1900s).
std::optional<vexel::Value> DateKey(std::string_view text) {
  int year = 0, month = 0, day = 0;
  const auto number = [](std::string_view digits, int& out) {
    return IsDigits(digits) &&
           std::from_chars(digits.data(), digits.data() + digits.size(), out).ec == std::errc();
  };
  if (text.size() == 10 && text[4] == '-' && text[7] == '-') {
    if (!number(text.substr(0, 4), year) || !number(text.substr(5, 2), month) ||
        !number(text.substr(8, 2), day)) {
      return std::nullopt;
    }
  } else if (text.size() == 8 && IsDigits(text)) {
    number(text.substr(0, 4), year);
    number(text.substr(4, 2), month);
    number(text.substr(6, 2), day);
  } else {
    const std::size_t first = text.find_first_of("/.-");
    const std::size_t second =
        first == std::string_view::npos ? first : text.find(text[first], first + 1);
    if (second == std::string_view::npos) return std::nullopt;
    const std::string_view y = text.substr(second + 1);
    if (!number(text.substr(0, first), month) ||
        !number(text.substr(first + 1, second - first - 1), day) ||
        (y.size() != 2 && y.size() != 4) || !number(y, year)) {
      return std::nullopt;
    }
    if (y.size() == 2) year += year >= 56 ? 1900 : 2000;
  }
  constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  if (year < 1 || month < 1 || month > 12 || day < 1 || day > kDays[month - 1] ||
      (month == 2 && day == 29 && !leap)) {
    return std::nullopt;
  }
  return vexel::Date{year, month, day};
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
  for (const std::string& warning : table.warnings()) io.err << "vxdbf: warning: " << warning << "\n";
  // The key text as the tag's keys are: a number for a tag of numbers, a date for one of dates.
  vexel::Value key = o.arguments.at(0);
  for (const vexel::TagInfo& info : table.tags()) {
    if (!EqualNoCase(info.name, tag)) continue;
    const std::string holder = ndx ? o.index : "tag " + o.tag;
    if (info.key_type == 'N') {
      const std::optional<vexel::Value> number = NumberKey(o.arguments[0]);
      if (!number) throw UsageError{holder + " holds numbers: " + Quoted(o.arguments[0]) + " is no number"};
      key = *number;
    } else if (info.key_type == 'D') {
      const std::optional<vexel::Value> date = DateKey(o.arguments[0]);
      if (!date) throw UsageError{holder + " holds dates: " + Quoted(o.arguments[0]) + " is no date"};
      key = *date;
    }
    break;
  }
  // --soft wins over --exact: a missing key finds the next higher one either way.
  const vexel::SeekMode mode = o.soft    ? vexel::SeekMode::soft
                               : o.exact ? vexel::SeekMode::exact
                                         : vexel::SeekMode::prefix;
  const std::optional<std::uint32_t> record = table.seek(tag, key, mode);
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
