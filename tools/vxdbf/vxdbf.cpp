#include "tools/vxdbf/vxdbf.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <istream>
#include <ostream>
#include <sstream>
#include <string_view>
#include <vexel/inspect.hpp>
#include <vexel/vexel.hpp>

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
#include "tools/vxdbf/text_formats.h"

namespace vx::tool {

namespace {

std::string Hex(int byte) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", byte);
  return text;
}

int Info(const Options& o, const Streams& io) {
  std::ostream& out = io.out;
  vexel::TableDescription d = vexel::describe(o.file, OpenOptionsOf(o, io.err));
  // The page was ours to choose: say by which option.
  if (o.codepage != 0) d.codepage_reason = "--codepage";
  else if (o.ansi && d.codepage_reason.ends_with("ANSI page")) d.codepage_reason += " (--ansi)";
  const std::string version = Hex(d.version);
  const bool dated = !d.last_update.empty();
  const vexel::MemoFileDescription* memo = d.memo ? &*d.memo : nullptr;
  if (o.json) {
    out << "{\"version\":" << JsonString(version) << ",\"variant\":" << JsonString(d.version_name)
        << ",\"last_update\":" << (dated ? JsonString(d.last_update) : "null")
        << ",\"records\":" << d.records << ",\"header_length\":" << d.header_length
        << ",\"record_length\":" << d.record_length
        << ",\"has_memo\":" << (d.has_memo ? "true" : "false")
        << ",\"production_index\":" << (d.production_index ? "true" : "false");
    if (d.index_tags >= 0) out << ",\"index_tags\":" << d.index_tags;
    if (d.language_driver) {
      out << ",\"language_driver\":" << JsonString(Hex(*d.language_driver))
          << ",\"language_driver_meaning\":"
          << (d.language_driver_meaning ? JsonString(*d.language_driver_meaning) : "null");
    } else {
      out << ",\"language_driver\":null";
    }
    if (!d.language_driver_name.empty()) {
      out << ",\"language_driver_name\":" << JsonString(d.language_driver_name);
    }
    out << ",\"code_page\":" << d.codepage
        << ",\"code_page_from\":" << JsonString(d.codepage_reason);
    if (memo != nullptr) {
      out << ",\"memo\":{\"kind\":" << JsonString(memo->kind)
          << ",\"block_size\":" << memo->block_size << ",\"size\":" << memo->size
          << ",\"next_free\":" << memo->next_free;
      if (memo->has_free_chain) {
        out << ",\"free_groups\":" << memo->free_groups << ",\"free_blocks\":" << memo->free_blocks
            << ",\"chain_damaged\":" << (memo->free_chain_damaged ? "true" : "false");
      }
      out << "}";
    } else if (d.has_memo) {
      out << ",\"memo\":null";
    }
    out << ",\"fields\":[";
    for (std::size_t i = 0; i < d.fields.size(); ++i) {
      const vexel::FieldLayout& f = d.fields[i];
      out << (i ? "," : "") << "{\"name\":" << JsonString(f.name)
          << ",\"type\":" << JsonString(std::string(1, f.type)) << ",\"length\":" << f.length
          << ",\"decimals\":" << f.decimals << "}";
    }
    out << "]}\n";
    return kExitOk;
  }
  out << "Version:          " << version << " (" << d.version_name << ")\n"
      << "Last update:      " << (dated ? d.last_update : "none recorded") << "\n"
      << "Records:          " << d.records << "\n"
      << "Header length:    " << d.header_length << "\n"
      << "Record length:    " << d.record_length << "\n"
      << "Memo file:        "
      << (!d.has_memo       ? "no"
          : memo != nullptr ? "yes"
                            : "missing")
      << "\n";
  if (memo != nullptr) {
    out << "Memo kind:        " << memo->kind << "\n"
        << "Memo block size:  " << memo->block_size << "\n"
        << "Memo file size:   " << memo->size << "\n"
        << "Next free block:  " << memo->next_free << "\n";
    if (memo->has_free_chain) {
      out << "Free chain:       " << memo->free_groups << " groups, " << memo->free_blocks
          << " blocks" << (memo->free_chain_damaged ? " (damaged)" : "") << "\n";
    }
  }
  out << "Production index: "
      << (!d.production_index ? "no"
          : d.index_tags < 0  ? "missing"
                              : "yes, " + std::to_string(d.index_tags) + " tags")
      << "\n"
      << "Language driver:  " << d.language_driver_text << "\n"
      << "Code page:        " << d.codepage << " (" << d.codepage_reason << ")\n"
      << "Fields:           " << d.fields.size() << "\n";
  for (const vexel::FieldLayout& f : d.fields) {
    char line[96];
    std::snprintf(line, sizeof line, "  %-10s %c %5d %3d  offset %d\n", f.name.c_str(), f.type,
                  f.length, f.decimals, f.offset);
    out << line;
  }
  return kExitOk;
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

// A value as CSV prints it: bytes in hexadecimal, nothing for no value.
std::string CsvValue(const vexel::StoredValue& v) {
  return v.kind == vexel::StoredValue::Kind::bytes ? HexText(v.text) : v.text;
}

// A value as JSON prints it: numbers as numbers, logicals as true/false, no value (and a memo
// that cannot be read) as null.
std::string JsonValue(const vexel::StoredValue& v) {
  using Kind = vexel::StoredValue::Kind;
  if (v.unreadable) return "null";
  switch (v.kind) {
    case Kind::none:
      return "null";
    case Kind::number:
      return v.number.empty() ? "null" : v.number;
    case Kind::logical:
      return v.text == "T" ? "true" : "false";
    default:
      return JsonString(CsvValue(v));
  }
}

int Dump(const Options& o, const Streams& io) {
  std::ostream& out = io.out;
  const bool csv = o.format == "csv";
  const bool keyed = o.recno && !o.tag.empty();
  std::vector<std::string> names;
  // The CSV header goes out with the first record (or at the end): a tag or index that turns
  // out not to be there prints nothing.
  bool header_due = false;
  const auto header = [&] {
    if (!header_due) return;
    header_due = false;
    std::vector<std::string> line;
    if (o.recno) line.push_back("_recno");
    if (keyed) line.push_back("_key");
    if (o.deleted) line.push_back("_deleted");
    line.insert(line.end(), names.begin(), names.end());
    out << CsvLine(line);
  };
  vexel::StoredRecordSink sink;
  sink.begin = [&](const std::vector<std::string>& field_names) {
    names = field_names;
    header_due = csv;
  };
  std::vector<std::string> values;
  sink.record = [&](const vexel::StoredRecord& r) {
    if (csv) {
      header();
      values.clear();
      if (o.recno) values.push_back(std::to_string(r.recno));
      if (keyed) values.push_back(r.key);
      if (o.deleted) values.push_back(r.deleted ? "*" : "");
      for (const vexel::StoredValue& v : r.values) values.push_back(CsvValue(v));
      out << CsvLine(values);
      return;
    }
    std::string json = "{";
    if (o.recno) {
      json += "\"_recno\":" + std::to_string(r.recno);
      if (keyed) json += ",\"_key\":" + JsonString(r.key);
    }
    if (o.deleted) {
      if (json.size() > 1) json += ',';
      json += std::string("\"_deleted\":") + (r.deleted ? "true" : "false");
    }
    for (std::size_t i = 0; i < r.values.size(); ++i) {
      if (json.size() > 1) json += ',';
      json += JsonString(names[i]) + ":" + JsonValue(r.values[i]);
    }
    out << json << "}\n";
  };
  const vexel::StoredWalkResult result = vexel::read_stored(
      o.file, {o.tag, o.index, o.visible, o.recno}, OpenOptionsOf(o, io.err), sink);
  header();
  // A file cut short: the whole records are printed, the rest is named at the end.
  if (result.cut_short()) {
    io.err << "vxdbf: warning: " << o.file << " is cut short: its header counts " << result.counted
           << " records, the file holds " << result.whole << " whole ones; records "
           << result.whole + 1 << " to " << result.counted << " are left out (vxdbf check "
           << o.file << ")\n";
  }
  return result.damaged ? kExitEngineError : kExitOk;
}

int PrintMemo(const Options& o, const Streams& io) {
  io.out << vexel::read_memo(o.file, static_cast<std::uint32_t>(o.record), o.arguments.at(0),
                             OpenOptionsOf(o, io.err))
         << "\n";
  return kExitOk;
}

int PackMemo(const Options& o, const Streams& io) {
  io.out << vexel::pack_memo(o.file, OpenOptionsOf(o, io.err)) << " bytes saved\n";
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

// The engine's codes for an expression that does not compile, or gives the wrong type: an
// empty one, one too long for a key, a key of another type, a condition that is not logical.
bool IsExpressionError(int code) {
  return code == 351 || code == 356 || (code >= 359 && code <= 362);
}

// An engine error as the engine words it: "Error # 2 (File not found)", a line break, and what
// failed. The library joins the two lines with ": "; other errors get the tool's prefix.
std::string EngineMessage(const vexel::Error& e) {
  std::string text = Worded(e);
  if (!text.starts_with("Error # ")) return "vxdbf: " + text;
  if (const std::size_t end = text.find("): "); end != std::string::npos) {
    text.replace(end + 1, 2, "\r\n");
  }
  return text;
}

}  // namespace

int RunVxdbf(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
             std::ostream& err) {
  CLI::App app("vxdbf: inspects, dumps, creates and edits dBASE tables.", "vxdbf");
  // Options begin with "-" everywhere: on Windows CLI11 would take "/path" for an option.
  app.allow_windows_style_options(false);
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
    err << EngineMessage(e) << "\n";
    // A memo file lock that stayed refused after its retries is refused like a record lock.
    if (e.code() == 1017) err << "vxdbf: the memo file is locked by another program\n";
    return kExitLockRefused;
  } catch (const vexel::InputError& e) {
    err << "vxdbf: " << Worded(e) << "\n";
    return kExitUsage;
  } catch (const vexel::DataError& e) {
    err << "vxdbf: " << Worded(e) << "\n";
    return kExitEngineError;
  } catch (const vexel::Error& e) {
    err << EngineMessage(e) << "\n";
    // An expression the user gave that does not compile is a usage error in every command
    // (a key, a FOR condition, a list or eval expression).
    return IsExpressionError(e.code()) ? kExitUsage : kExitEngineError;
  }
}

}  // namespace vx::tool
