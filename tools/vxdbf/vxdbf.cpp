#include "tools/vxdbf/vxdbf.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdlib>
#include <istream>
#include <optional>
#include <ostream>
#include <sstream>
#include <string_view>
#include <vexel/vexel.hpp>

#include "engine/foundation/dates.h"
#include "engine/foundation/errors.h"
#include "engine/foundation/settings.h"
#include "engine/foundation/strings.h"
#include "engine/memo/memo_file.h"
#include "engine/memo/memo_storage.h"
#include "engine/table/dbf_file.h"
#include "engine/table/dbf_records.h"
#include "engine/table/field_values.h"
#include "engine/table/language_driver.h"
#include "engine/workarea/field_input.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/codepage.h"
#include "platform/os/file.h"
#include "tools/vxdbf/build_commands.h"
#include "tools/vxdbf/codepage_command.h"
#include "tools/vxdbf/command_line.h"
#include "tools/vxdbf/edit_commands.h"
#include "tools/vxdbf/expr_commands.h"
#include "tools/vxdbf/index_commands.h"
#include "tools/vxdbf/locktest_command.h"
#include "tools/vxdbf/maintenance_commands.h"
#include "tools/vxdbf/sample_command.h"
#include "tools/vxdbf/sql_commands.h"
#include "tools/vxdbf/table_session.h"
#include "tools/vxdbf/table_text.h"
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

// A logical field's value; none for a blank or "?" (no value given), as other readers show it.
std::optional<bool> LogicalValue(const std::string& stored) {
  const char c = stored.empty() ? ' ' : stored[0];
  if (c == ' ' || c == '?' || c == '\0') return std::nullopt;
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

int Info(const Options& o, const Streams& io) {
  std::ostream& out = io.out;
  TableRecord t;
  OpenForReading(t, o.file);
  const TableMark mark = ReadTableMark(t);
  const CodePageChoice page = ChooseCodePage(mark, o);
  if (!page.warning.empty()) io.err << "vxdbf: " << page.warning << "\n";
  TableText text(page.page, o.lossy);
  const auto name_of = [&](const FieldEntry& f) {
    return text.ToUtf8(f.name, "the name of field " + std::to_string(&f - t.fields.data() + 1));
  };
  const MemoInfo memo = InspectMemo(t);
  const bool chain = memo.present && memo.kind == MemoKind::kDbase4;
  char version[8];
  std::snprintf(version, sizeof version, "0x%02X", t.version());
  // Some writers leave the date bytes zero (the corpus's dBASE II tables): no date, not
  // 1900-00-00.
  const std::string& d = t.update_date;
  const bool dated = d.size() == 8 && d.substr(4, 2) != "00" && d.substr(6, 2) != "00";
  const std::string last_update =
      dated ? d.substr(0, 4) + "-" + d.substr(4, 2) + "-" + d.substr(6, 2) : "";
  const bool production_index = !t.IsDbase2() && !t.IsVisualFoxPro() && t.header[28] != 0;
  const int index_tags = ProductionTagCount(t.file_name, production_index);
  if (o.json) {
    out << "{\"version\":" << JsonString(version)
        << ",\"variant\":" << JsonString(VersionName(t.version()))
        << ",\"last_update\":" << (dated ? JsonString(last_update) : "null")
        << ",\"records\":" << t.record_count << ",\"header_length\":" << t.header_length
        << ",\"record_length\":" << t.record_length
        << ",\"has_memo\":" << (t.has_memo ? "true" : "false")
        << ",\"production_index\":" << (production_index ? "true" : "false");
    if (index_tags >= 0) out << ",\"index_tags\":" << index_tags;
    if (mark.has_byte) {
      const LanguageDriver* driver = FindLanguageDriver(mark.id);
      char id[8];
      std::snprintf(id, sizeof id, "0x%02X", mark.id);
      out << ",\"language_driver\":" << JsonString(id) << ",\"language_driver_meaning\":"
          << (driver != nullptr ? JsonString(driver->meaning) : "null");
    } else {
      out << ",\"language_driver\":null";
    }
    if (!mark.driver_name.empty()) {
      out << ",\"language_driver_name\":" << JsonString(text.Name(mark.driver_name));
    }
    out << ",\"code_page\":" << page.page << ",\"code_page_from\":" << JsonString(page.reason);
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
      out << (i ? "," : "") << "{\"name\":" << JsonString(name_of(f))
          << ",\"type\":" << JsonString(std::string(1, f.type)) << ",\"length\":" << f.length
          << ",\"decimals\":" << int{f.decimals} << "}";
    }
    out << "]}\n";
  } else {
    out << "Version:          " << version << " (" << VersionName(t.version()) << ")\n"
        << "Last update:      " << (dated ? last_update : "none recorded") << "\n"
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
        << "Language driver:  " << DescribeMark(mark) << "\n"
        << "Code page:        " << page.page << " (" << page.reason << ")\n"
        << "Fields:           " << t.fields.size() << "\n";
    for (const FieldEntry& f : t.fields) {
      char line[96];
      std::snprintf(line, sizeof line, "  %-10s %c %5u %3u  offset %u\n", name_of(f).c_str(),
                    f.type, unsigned{f.length}, unsigned{f.decimals}, unsigned{f.offset});
      out << line;
    }
  }
  CloseDbf(t);
  return kExitOk;
}

// A memo that cannot be read (or only in part) does not stop a dump: the record is printed
// with what there is, and the damage is named on standard error.
void WarnAboutMemo(std::ostream& err, std::int32_t n, const std::string& field,
                   const std::string& what) {
  err << "vxdbf: warning: record " << n << ", field " << field << ": " << what << "\n";
}

// The memo blocks the first `count` records name, ascending and without repeats.
std::vector<std::int32_t> MemoStarts(TableRecord& t, std::int32_t count) {
  std::vector<std::int32_t> starts;
  bool memo_fields = false;
  for (const FieldEntry& f : t.fields) memo_fields = memo_fields || f.type == 'M';
  if (!memo_fields) return starts;
  for (std::int32_t n = 1; n <= count; ++n) {
    GO(n);
    for (const FieldEntry& f : t.fields) {
      if (f.type != 'M') continue;
      const std::int32_t block = StoredMemoBlock(t, f, t.record.data());
      if (block > 0) starts.push_back(block);
    }
  }
  std::sort(starts.begin(), starts.end());
  starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
  return starts;
}

std::string HexText(std::string_view bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    out += kHex[static_cast<unsigned char>(c) >> 4];
    out += kHex[c & 0xF];
  }
  return out;
}

// A .NULL. field and the binary field kinds: numbers as JSON numbers, date-times and text as
// strings, Q's bytes in hexadecimal.
void BinaryFieldValue(const TableRecord& t, const FieldEntry& f, TableText& text,
                      const std::string& where, std::string& csv_value, std::string& json_value) {
  bool has_value = false;
  if (FieldIsNull(t, f, t.record.data())) {
    json_value = "null";
    return;
  }
  const std::string value = BinaryFieldText(t, f, t.record.data(), &has_value);
  if (!has_value) {
    json_value = "null";
  } else if (HoldsBytes(f)) {
    csv_value = HexText(value);
    json_value = JsonString(csv_value);
  } else if (ValueKind(f) == 'C') {
    csv_value = text.ToUtf8(value, where);
    json_value = JsonString(csv_value);
  } else {
    csv_value = value;
    json_value = ValueKind(f) == 'N' ? value : JsonString(value);
  }
}

int Dump(const Options& o, const Streams& io) {
  std::ostream& out = io.out;
  TableSession session(o, o.file, Access::kRead, io.err);
  TableRecord& t = session.table();
  TableText& text = session.text();
  std::vector<std::string> names;
  for (std::size_t i = 0; i < t.fields.size(); ++i) {
    names.push_back(text.ToUtf8(t.fields[i].name, "the name of field " + std::to_string(i + 1)));
  }
  const bool csv = o.format == "csv";
  if (csv) {
    std::vector<std::string> header;
    if (o.recno) header.push_back("_recno");
    if (o.recno && !o.tag.empty()) header.push_back("_key");
    if (o.deleted) header.push_back("_deleted");
    header.insert(header.end(), names.begin(), names.end());
    out << CsvLine(header);
  }
  // A file cut short: the whole records are printed, the rest is named at the end.
  const RecordTally tally = TallyRecords(t);
  const std::int32_t readable =
      static_cast<std::int32_t>(std::min<std::int64_t>(t.record_count, tally.whole));
  const std::vector<std::int32_t> memo_starts = MemoStarts(t, readable);
  const bool memo_file = MemoOf(t) != nullptr;
  if (o.visible) SetIgnoreDel(true);
  // The records the header counts, in file order: bytes after them are not records, even
  // though a shared table's count would take them in as another program's appends.
  bool damaged = tally.Cut();
  std::vector<std::string> values;
  for (const OrderedRecord& ordered : RecordOrder(o, t, readable)) {
    if (ordered.record > readable) continue;
    GO(ordered.record);
    if (!IsVisible(t)) continue;
    const bool deleted = t.record[0] == kDeletedFlag;
    values.clear();
    std::string json = "{";
    if (o.recno) {
      const std::string key =
          text.ToUtf8(ordered.key, "the key of record " + std::to_string(ordered.record));
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
    for (std::size_t i = 0; i < t.fields.size(); ++i) {
      const FieldEntry& f = t.fields[i];
      const std::string stored = StoredField(t, f);
      const auto where = [&] {
        return "record " + std::to_string(ordered.record) + ", field " + names[i];
      };
      std::string csv_value;
      std::string json_value;
      if (FieldIsNull(t, f, t.record.data()) || (IsBinaryField(f) && ValueKind(f) != 'M')) {
        BinaryFieldValue(t, f, text, where(), csv_value, json_value);
        if (csv) {
          values.push_back(std::move(csv_value));
        } else {
          if (json.size() > 1) json += ',';
          json += JsonString(names[i]) + ":" + json_value;
        }
        continue;
      }
      switch (f.type) {
        case 'C': {
          // Blanks and the NUL bytes some writers pad with are no part of the value.
          const std::size_t end = stored.find_last_not_of(std::string_view(" \0", 2));
          csv_value =
              text.ToUtf8(stored.substr(0, end == std::string::npos ? 0 : end + 1), where());
          json_value = JsonString(csv_value);
          break;
        }
        case 'L': {
          const std::optional<bool> value = LogicalValue(stored);
          csv_value = !value ? "" : *value ? "T" : "F";
          json_value = !value ? "null" : *value ? "true" : "false";
          break;
        }
        case 'D': {
          csv_value = DateValue(stored);
          json_value = csv_value.empty() ? "null" : JsonString(csv_value);
          break;
        }
        case 'M': {
          const std::int32_t block = StoredMemoBlock(t, f, t.record.data());
          std::string memo;
          bool read = true, unterminated = false;
          if (!memo_file) {
            // The memo file is missing (named when the table was opened): no value.
            damaged = true;
            if (csv) {
              values.push_back({});
            } else {
              if (json.size() > 1) json += ',';
              json += JsonString(names[i]) + ":null";
            }
            continue;
          }
          if (block > 0) {
            QuietErrors quiet;
            EngineErrorCode = 0;
            read = ReadMemo(t, block, memo, nullptr, &unterminated);
          }
          if (!read) {
            WarnAboutMemo(io.err, ordered.record, names[i],
                          "memo unreadable, left out (" + ErrorDescription(EngineErrorCode) + ": " +
                              TakeErrorMessage() + ")");
          } else {
            // A memo ends where the next memo that a record names begins, at the latest:
            // reading on means a lost end marker.
            const auto next = std::upper_bound(memo_starts.begin(), memo_starts.end(), block);
            const MemoFile* file = MemoOf(t);
            if (next != memo_starts.end() && file != nullptr) {
              const std::uint64_t room =
                  static_cast<std::uint64_t>(*next - block) * file->block_size;
              if (memo.size() > room) {
                memo.resize(static_cast<std::size_t>(room));
                unterminated = true;
              }
            }
            if (unterminated) {
              WarnAboutMemo(
                  io.err, ordered.record, names[i],
                  "memo has no end marker, cut at " + std::to_string(memo.size()) + " bytes");
            }
          }
          damaged = damaged || !read || unterminated;
          csv_value = HoldsBytes(f) ? HexText(memo) : text.ToUtf8(memo, where());
          json_value = read ? JsonString(csv_value) : "null";
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
        json += JsonString(names[i]) + ":" + json_value;
      }
    }
    if (csv) {
      out << CsvLine(values);
    } else {
      out << json << "}\n";
    }
  }
  if (tally.Cut()) {
    io.err << "vxdbf: warning: " << o.file << " is cut short: its header counts " << tally.counted
           << " records, the file holds " << tally.whole << " whole ones; records "
           << tally.whole + 1 << " to " << tally.counted << " are left out (vxdbf check " << o.file
           << ")\n";
  }
  session.Close();
  return damaged ? kExitEngineError : kExitOk;
}

int PrintMemo(const Options& o, const Streams& io) {
  TableSession session(o, o.file, Access::kRead, io.err);
  TableRecord& t = session.table();
  const std::string& name = o.arguments.at(0);
  const int field = FieldNo(session.text().Name(name));
  if (field == 0 || t.fields[static_cast<std::size_t>(field - 1)].type != 'M') {
    throw InputError{"no memo field " + Quoted(name) + " in " + o.file};
  }
  GO(o.record);
  const std::int32_t block =
      StoredMemoBlock(t, t.fields[static_cast<std::size_t>(field - 1)], t.record.data());
  std::string text;
  if (block > 0) ReadMemo(t, block, text);
  io.out << session.text().ToUtf8(text, "record " + std::to_string(o.record) + ", field " +
                                            t.fields[static_cast<std::size_t>(field - 1)].name)
         << "\n";
  session.Close();
  return kExitOk;
}

int PackMemo(const Options& o, const Streams& io) {
  Options exclusive = o;
  exclusive.exclusive = true;
  TableSession session(exclusive, o.file, Access::kWrite, io.err);
  if (MemoOf(session.table()) == nullptr) {
    throw InputError{o.file + " has no memo file"};
  }
  const std::int64_t saved = PackMemofile();
  session.Close();
  io.out << saved << " bytes saved\n";
  return kExitOk;
}

void RegisterTableCommands(Commands& commands) {
  Options& o = commands.options();
  CLI::App& info =
      commands.Add({"info", "FILE [--json] [--codepage N] [--ansi]",
                    "Shows a table's header: version, dates, counts, memo file and fields.",
                    "vxdbf info films.dbf --json", Info});
  AddFileArgument(info, o);
  info.add_flag("--json", o.json, "print one JSON object");
  AddTextOptions(info, o);

  CLI::App& dump = commands.Add(
      {"dump", "FILE [--format csv|jsonl] [--deleted] [--visible] [--tag NAME] [--ansi]",
       "Prints every record in file order (or a tag's order) as CSV or JSON lines.",
       "vxdbf dump films.dbf --format jsonl --deleted", Dump});
  AddFileArgument(dump, o);
  AddFormatOption(dump, o, "csv (with a header line) or jsonl (one object a line)");
  dump.add_flag("--deleted", o.deleted, "add the deletion mark as the first column (_deleted)");
  dump.add_flag("--visible", o.visible, "leave out records marked deleted");
  AddTagOptions(dump, o);
  AddTextOptions(dump, o);
  AddSharingOptions(dump, o);

  RegisterCreateCommand(commands);
}

void RegisterMemoCommands(Commands& commands) {
  Options& o = commands.options();
  CLI::App& memo =
      commands.Add({"memo", "FILE RECNO FIELD                     (prints one memo's text)",
                    "Prints the text of one memo.", "vxdbf memo films.dbf 3 PLOT", PrintMemo});
  AddFileArgument(memo, o);
  AddRecordArgument(memo, o);
  AddArguments(memo, o, "FIELD", "the memo field", 1);
  AddTextOptions(memo, o);
  AddSharingOptions(memo, o);

  CLI::App& pack =
      commands.Add({"packmemo", "FILE                             (keeps only the live memos)",
                    "Rewrites the memo file with only the live memos (exclusive use).",
                    "vxdbf packmemo films.dbf", PackMemo});
  AddFileArgument(pack, o);
  AddIndexOption(pack, o);
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
  RegisterCodepageCommand(commands);
  RegisterExprCommands(commands);
  RegisterIndexCommands(commands);
  RegisterBuildCommands(commands);
  RegisterMaintenanceCommands(commands);
  RegisterLocktestCommand(commands);
  RegisterSqlCommands(commands);
  RegisterHelpCommands(commands);
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
    if (!commands.Has(command)) throw UsageError{"unknown command " + Quoted(command)};
    try {
      std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them so
      app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
      for (const CLI::App* chosen : app.get_subcommands()) out << chosen->help("vxdbf");
      return kExitOk;
    } catch (const CLI::ParseError& e) {
      // CLI11 names the refused argument in full: keep the message short.
      throw UsageError{Shortened(e.what(), 160)};
    }
    return commands.Chosen().run(options, Streams{in, out, err});
  } catch (const UsageError& e) {
    err << "vxdbf: " << e.message << "\n" << commands.UsageOf(command);
    return kExitUsage;
  } catch (const InputError& e) {
    err << "vxdbf: " << e.message << "\n";
    return kExitUsage;
  } catch (const DataError& e) {
    err << "vxdbf: " << e.message << "\n";
    return kExitEngineError;
  } catch (const LockRefused& e) {
    err << "vxdbf: " << e.message << "\n";
    return kExitLockRefused;
  } catch (const vexel::LockError& e) {
    err << "vxdbf: " << e.what() << "\n";
    // A memo file lock that stayed refused after its retries is refused like a record lock.
    if (e.code() == 1017) err << "vxdbf: the memo file is locked by another program\n";
    return kExitLockRefused;
  } catch (const vexel::InputError& e) {
    err << "vxdbf: " << e.what() << "\n";
    return kExitUsage;
  } catch (const vexel::DataError& e) {
    err << "vxdbf: " << e.what() << "\n";
    return kExitEngineError;
  } catch (const vexel::Error& e) {
    err << "vxdbf: " << e.what() << "\n";
    return kExitEngineError;
  } catch (const EVexelError& e) {
    err << e.what() << "\n";
    // A memo file lock that stayed refused after its retries is refused like a record lock.
    if (std::string_view(e.what()).starts_with(ErrorDescription(1017))) {
      err << "vxdbf: the memo file is locked by another program\n";
      return kExitLockRefused;
    }
    return kExitEngineError;
  }
}

}  // namespace vx::tool
