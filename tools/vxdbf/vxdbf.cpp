#include "tools/vxdbf/vxdbf.h"

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <istream>
#include <ostream>
#include <sstream>

#include "engine/foundation/dates.h"
#include "engine/foundation/errors.h"
#include "engine/foundation/settings.h"
#include "engine/foundation/strings.h"
#include "engine/memo/memo_file.h"
#include "engine/memo/memo_storage.h"
#include "engine/table/dbf_file.h"
#include "engine/table/dbf_records.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/codepage.h"
#include "platform/os/file.h"
#include "tools/vxdbf/build_commands.h"
#include "tools/vxdbf/command_line.h"
#include "tools/vxdbf/edit_commands.h"
#include "tools/vxdbf/expr_commands.h"
#include "tools/vxdbf/index_commands.h"
#include "tools/vxdbf/sample_command.h"
#include "tools/vxdbf/table_session.h"
#include "tools/vxdbf/text_formats.h"

namespace vx::tool {

namespace {

// Opens a table read-only and shared, with its bytes as stored: this tool converts text from
// the table's code page to UTF-8 itself, so nothing is lost on the way through another page.
void OpenForReading(TableRecord& table, const std::string& path) {
  table.file_name = path;
  table.open_mode = os::kOpenReadOnlyDenyNone;
  table.oem = false;
  OpenDbf(table);
}

std::string StoredField(const TableRecord& t, const FieldEntry& f) {
  return std::string(t.record.data() + f.offset, f.length);
}

std::string DateValue(const std::string& stored) {
  if (StoredToDayNumber(stored) == kBlankDate) return {};
  return stored.substr(0, 4) + "-" + stored.substr(4, 2) + "-" + stored.substr(6, 2);
}

bool LogicalValue(const std::string& stored) {
  const char c = stored.empty() ? ' ' : stored[0];
  return c == 'T' || c == 't' || c == 'Y' || c == 'y';
}

const char* MemoKindName(MemoKind kind) {
  switch (kind) {
    case MemoKind::kDbase3:
      return "dBASE III";
    case MemoKind::kDbase4:
      return "dBASE IV";
    case MemoKind::kFoxPro:
      return "FoxPro";
  }
  return "unknown";
}

// The memo file beside a table, as `info` shows it: kind, block size, next free block and,
// for dBASE IV, the free chain. Empty when the table has none or it cannot be opened.
struct MemoInfo {
  bool present = false;
  std::string name;
  MemoKind kind = MemoKind::kDbase4;
  std::uint32_t block_size = 0;
  std::uint64_t size = 0;
  MemoSummary summary;
};

MemoInfo InspectMemo(const TableRecord& t) {
  MemoInfo info;
  if (!t.has_memo) return info;
  const std::uint8_t version = MemoVersionOf(t.version());
  MemoFile m;
  if (OpenMemoFile(DerivedFileName(t.file_name, MemoExtension(version)), version,
                   os::kOpenReadOnlyDenyNone, false, m) != 0) {
    return info;
  }
  info.present = true;
  info.name = m.file.path();
  info.kind = m.kind;
  info.block_size = m.block_size;
  info.size = FileSize(m);
  info.summary = SummarizeMemo(m);
  return info;
}

int Info(const Options& o, std::ostream& out) {
  TableRecord t;
  OpenForReading(t, o.file);
  const MemoInfo memo = InspectMemo(t);
  const bool chain = memo.present && memo.kind == MemoKind::kDbase4;
  char version[8];
  std::snprintf(version, sizeof version, "0x%02X", t.version());
  const std::string& d = t.update_date;
  const std::string last_update = d.substr(0, 4) + "-" + d.substr(4, 2) + "-" + d.substr(6, 2);
  const bool production_index = !t.IsDbase2() && t.header[28] != 0;
  const int index_tags = ProductionTagCount(t.file_name, production_index);
  if (o.json) {
    out << "{\"version\":" << JsonString(version)
        << ",\"variant\":" << JsonString(VersionName(t.version()))
        << ",\"last_update\":" << JsonString(last_update) << ",\"records\":" << t.record_count
        << ",\"header_length\":" << t.header_length << ",\"record_length\":" << t.record_length
        << ",\"has_memo\":" << (t.has_memo ? "true" : "false")
        << ",\"production_index\":" << (production_index ? "true" : "false");
    if (index_tags >= 0) out << ",\"index_tags\":" << index_tags;
    if (memo.present) {
      out << ",\"memo\":{\"kind\":" << JsonString(MemoKindName(memo.kind))
          << ",\"block_size\":" << memo.block_size << ",\"size\":" << memo.size
          << ",\"next_free\":" << memo.summary.next_free;
      if (chain) {
        out << ",\"free_groups\":" << memo.summary.chain_groups
            << ",\"free_blocks\":" << memo.summary.chain_blocks
            << ",\"chain_damaged\":" << (memo.summary.chain_damaged ? "true" : "false");
      }
      out << "}";
    } else if (t.has_memo) {
      out << ",\"memo\":null";
    }
    out << ",\"fields\":[";
    for (std::size_t i = 0; i < t.fields.size(); ++i) {
      const FieldEntry& f = t.fields[i];
      out << (i ? "," : "") << "{\"name\":" << JsonString(ToUtf8(f.name, o.ansi))
          << ",\"type\":" << JsonString(std::string(1, f.type)) << ",\"length\":" << f.length
          << ",\"decimals\":" << int{f.decimals} << "}";
    }
    out << "]}\n";
  } else {
    out << "Version:          " << version << " (" << VersionName(t.version()) << ")\n"
        << "Last update:      " << last_update << "\n"
        << "Records:          " << t.record_count << "\n"
        << "Header length:    " << t.header_length << "\n"
        << "Record length:    " << t.record_length << "\n"
        << "Memo file:        "
        << (!t.has_memo    ? "no"
            : memo.present ? "yes"
                           : "missing")
        << "\n";
    if (memo.present) {
      out << "Memo kind:        " << MemoKindName(memo.kind) << "\n"
          << "Memo block size:  " << memo.block_size << "\n"
          << "Memo file size:   " << memo.size << "\n"
          << "Next free block:  " << memo.summary.next_free << "\n";
      if (chain) {
        out << "Free chain:       " << memo.summary.chain_groups << " groups, "
            << memo.summary.chain_blocks << " blocks"
            << (memo.summary.chain_damaged ? " (damaged)" : "") << "\n";
      }
    }
    out << "Production index: "
        << (!production_index ? "no"
            : index_tags < 0  ? "missing"
                              : "yes, " + std::to_string(index_tags) + " tags")
        << "\n"
        << "Fields:           " << t.fields.size() << "\n";
    for (const FieldEntry& f : t.fields) {
      char line[96];
      std::snprintf(line, sizeof line, "  %-10s %c %5u %3u  offset %u\n",
                    ToUtf8(f.name, o.ansi).c_str(), f.type, unsigned{f.length},
                    unsigned{f.decimals}, unsigned{f.offset});
      out << line;
    }
  }
  CloseDbf(t);
  return kExitOk;
}

int Dump(const Options& o, std::ostream& out) {
  TableSession session(o, o.file, Access::kRead);
  TableRecord& t = session.table();
  const bool csv = o.format == "csv";
  if (csv) {
    std::vector<std::string> names;
    if (o.recno) names.push_back("_recno");
    if (o.recno && !o.tag.empty()) names.push_back("_key");
    if (o.deleted) names.push_back("_deleted");
    for (const FieldEntry& f : t.fields) names.push_back(ToUtf8(f.name, o.ansi));
    out << CsvLine(names);
  }
  if (o.visible) SetIgnoreDel(true);
  // The records the header counts, in file order: bytes after them are not records, even
  // though a shared table's count would take them in as another program's appends.
  std::vector<std::string> values;
  for (const OrderedRecord& ordered : RecordOrder(o, t)) {
    GO(ordered.record);
    if (!IsVisible(t)) continue;
    const bool deleted = t.record[0] == kDeletedFlag;
    values.clear();
    std::string json = "{";
    if (o.recno) {
      const std::string key = ToUtf8(ordered.key, o.ansi);
      const bool keyed = !o.tag.empty();
      if (csv) {
        values.push_back(std::to_string(ordered.record));
        if (keyed) values.push_back(key);
      } else {
        json += "\"_recno\":" + std::to_string(ordered.record);
        if (keyed) json += ",\"_key\":" + JsonString(key);
      }
    }
    if (o.deleted) {
      if (csv) {
        values.push_back(deleted ? "*" : "");
      } else {
        if (json.size() > 1) json += ',';
        json += std::string("\"_deleted\":") + (deleted ? "true" : "false");
      }
    }
    for (const FieldEntry& f : t.fields) {
      const std::string stored = StoredField(t, f);
      std::string csv_value;
      std::string json_value;
      switch (f.type) {
        case 'C': {
          csv_value = ToUtf8(stored.substr(0, stored.find_last_not_of(' ') + 1), o.ansi);
          json_value = JsonString(csv_value);
          break;
        }
        case 'L': {
          const bool value = LogicalValue(stored);
          csv_value = value ? "T" : "F";
          json_value = value ? "true" : "false";
          break;
        }
        case 'D': {
          csv_value = DateValue(stored);
          json_value = csv_value.empty() ? "null" : JsonString(csv_value);
          break;
        }
        case 'M': {
          const std::int32_t block = StoredMemoBlock(t, f, t.record.data());
          std::string text;
          if (block > 0 && !ReadMemo(t, block, text)) text.clear();
          csv_value = ToUtf8(text, o.ansi);
          json_value = JsonString(csv_value);
          break;
        }
        default: {  // N and F
          csv_value = TrimText(stored);
          json_value = JsonNumber(stored).value_or("null");
          break;
        }
      }
      if (csv) {
        values.push_back(std::move(csv_value));
      } else {
        if (json.size() > 1) json += ',';
        json += JsonString(ToUtf8(f.name, o.ansi)) + ":" + json_value;
      }
    }
    if (csv) {
      out << CsvLine(values);
    } else {
      out << json << "}\n";
    }
  }
  session.Close();
  return kExitOk;
}

int PrintMemo(const Options& o, std::ostream& out) {
  TableSession session(o, o.file, Access::kRead);
  TableRecord& t = session.table();
  const std::string& name = o.arguments.at(0);
  const int field = FieldNo(FromUtf8(name));
  if (field == 0 || t.fields[static_cast<std::size_t>(field - 1)].type != 'M') {
    throw InputError{"no memo field \"" + name + "\" in " + o.file};
  }
  GO(o.record);
  const std::int32_t block =
      StoredMemoBlock(t, t.fields[static_cast<std::size_t>(field - 1)], t.record.data());
  std::string text;
  if (block > 0) ReadMemo(t, block, text);
  out << ToUtf8(text, o.ansi) << "\n";
  session.Close();
  return kExitOk;
}

int PackMemo(const Options& o, std::ostream& out) {
  Options exclusive = o;
  exclusive.exclusive = true;
  TableSession session(exclusive, o.file, Access::kWrite);
  if (MemoOf(session.table()) == nullptr) {
    throw InputError{o.file + " has no memo file"};
  }
  const std::int64_t saved = PackMemofile();
  session.Close();
  out << saved << " bytes saved\n";
  return kExitOk;
}

FieldEntry ParseFieldDefinition(const std::string& definition) {
  std::vector<std::string> parts;
  std::stringstream stream(definition);
  for (std::string part; std::getline(stream, part, ',');) parts.push_back(TrimText(part));
  if (parts.size() < 2 || parts.size() > 4 || parts[1].size() != 1) {
    throw UsageError{"--field wants NAME,TYPE,LEN,DEC, not \"" + definition + "\""};
  }
  FieldEntry f;
  f.name = os::Utf8ToAnsi(parts[0]);
  f.type = parts[1][0];
  const auto number = [&](const std::string& text, int limit) {
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < 0 || value > limit) {
      throw UsageError{"bad number \"" + text + "\" in --field " + definition};
    }
    return value;
  };
  if (parts.size() > 2) f.length = static_cast<std::uint16_t>(number(parts[2], 65535));
  if (parts.size() > 3) f.decimals = static_cast<std::uint8_t>(number(parts[3], 255));
  return f;
}

// Restores a setting when the command ends.
class DefaultVersionScope {
 public:
  explicit DefaultVersionScope(std::uint8_t version) : saved_(DefaultDbfVersion) {
    DefaultDbfVersion = version;
  }
  ~DefaultVersionScope() { DefaultDbfVersion = saved_; }

 private:
  std::uint8_t saved_;
};

int Create(const Options& o, std::ostream& out) {
  std::uint8_t version = DefaultDbfVersion;
  if (!o.version.empty()) {
    if (o.version == "0x83" || o.version == "0x8B" || o.version == "0x8b") {
      version = o.version == "0x83" ? kVersionDbase3Memo : kVersionDbase4Memo;
    } else if (o.version == "0xF5" || o.version == "0xf5") {
      version = kVersionFoxProMemo;
    } else if (o.version == "0x8C" || o.version == "0x8c") {
      version = kVersionLevel7Memo;
    } else {
      throw UsageError{"--version must be 0x83, 0x8B, 0xF5 or 0x8C"};
    }
  }
  std::vector<FieldEntry> fields;
  for (const std::string& definition : o.field_definitions) {
    fields.push_back(ParseFieldDefinition(definition));
  }
  DefaultVersionScope scope(version);
  TableRecord t;
  CreateDBF(t, o.file, fields);
  return kExitOk;
}

void RegisterTableCommands(Commands& commands) {
  Options& o = commands.options();
  CLI::App& info =
      commands.Add({"info", "FILE [--json] [--ansi]",
                    "Shows a table's header: version, dates, counts, memo file and fields.",
                    "vxdbf info films.dbf --json", [](const Options& options, const Streams& io) {
                      return Info(options, io.out);
                    }});
  AddFileArgument(info, o);
  info.add_flag("--json", o.json, "print one JSON object");
  AddTextOptions(info, o);

  CLI::App& dump = commands.Add(
      {"dump", "FILE [--format csv|jsonl] [--deleted] [--visible] [--tag NAME] [--ansi]",
       "Prints every record in file order as CSV or JSON lines.",
       "vxdbf dump films.dbf --format jsonl --deleted",
       [](const Options& options, const Streams& io) { return Dump(options, io.out); }});
  AddFileArgument(dump, o);
  AddFormatOption(dump, o, "csv (with a header line) or jsonl (one object a line)");
  dump.add_flag("--deleted", o.deleted, "add the deletion mark as the first column (_deleted)");
  dump.add_flag("--visible", o.visible, "leave out records marked deleted");
  AddTagOptions(dump, o);
  AddTextOptions(dump, o);
  AddSharingOptions(dump, o);

  CLI::App& create = commands.Add(
      {"create", "FILE --field NAME,TYPE,LEN,DEC ... [--version 0x83|0x8B|0xF5|0x8C]",
       "Creates an empty table (and its memo file when a memo field is present).",
       "vxdbf create films.dbf --field TITLE,C,20 --field YEAR,N,4 --field PLOT,M",
       [](const Options& options, const Streams& io) { return Create(options, io.out); }});
  AddFileArgument(create, o);
  create.add_option("--field", o.field_definitions, "a field: NAME,TYPE,LEN,DEC (repeat it)")
      ->required()
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  create.add_option("--version", o.version,
                    "the table kind when a memo field is present: 0x83, 0x8B, 0xF5 or 0x8C");
}

void RegisterMemoCommands(Commands& commands) {
  Options& o = commands.options();
  CLI::App& memo = commands.Add(
      {"memo", "FILE RECNO FIELD                     (prints one memo's text)",
       "Prints the text of one memo.", "vxdbf memo films.dbf 3 PLOT",
       [](const Options& options, const Streams& io) { return PrintMemo(options, io.out); }});
  AddFileArgument(memo, o);
  AddRecordArgument(memo, o);
  AddArguments(memo, o, "FIELD", "the memo field", 1);
  AddTextOptions(memo, o);
  AddSharingOptions(memo, o);

  CLI::App& pack =
      commands.Add({"packmemo", "FILE                             (keeps only the live memos)",
                    "Rewrites the memo file with only the live memos (exclusive use).",
                    "vxdbf packmemo films.dbf", [](const Options& options, const Streams& io) {
                      return PackMemo(options, io.out);
                    }});
  AddFileArgument(pack, o);
  AddSharingOptions(pack, o);
}

}  // namespace

int RunVxdbf(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
             std::ostream& err) {
  CLI::App app("vxdbf: inspects, dumps, creates and edits dBASE tables.", "vxdbf");
  Options options;
  Commands commands(app, options);
  // The commands, in the order the overview lists them; a new command adds its line here.
  RegisterTableCommands(commands);
  RegisterEditCommands(commands);
  RegisterSampleCommand(commands);
  RegisterMemoCommands(commands);
  RegisterExprCommands(commands);
  RegisterIndexCommands(commands);
  RegisterBuildCommands(commands);
  app.require_subcommand(1);
  const std::string command = args.empty() ? std::string() : args[0];
  try {
    if (args.empty()) throw UsageError{"no command"};
    if (command == "--help" || command == "-h" || command == "help") {
      out << commands.Overview();
      return kExitOk;
    }
    if (command == "--version") {
      out << "vxdbf " << kVxdbfVersion << "\n";
      return kExitOk;
    }
    if (!commands.Has(command)) throw UsageError{"unknown command \"" + command + "\""};
    try {
      std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them so
      app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
      for (const CLI::App* chosen : app.get_subcommands()) out << chosen->help("vxdbf");
      return kExitOk;
    } catch (const CLI::ParseError& e) {
      throw UsageError{e.what()};
    }
    return commands.Chosen().run(options, Streams{in, out, err});
  } catch (const UsageError& e) {
    err << "vxdbf: " << e.message << "\n" << commands.UsageOf(command);
    return kExitUsage;
  } catch (const InputError& e) {
    err << "vxdbf: " << e.message << "\n";
    return kExitUsage;
  } catch (const LockRefused& e) {
    err << "vxdbf: " << e.message << "\n";
    return kExitLockRefused;
  } catch (const EVexelError& e) {
    err << e.what() << "\n";
    return kExitEngineError;
  }
}

}  // namespace vx::tool
