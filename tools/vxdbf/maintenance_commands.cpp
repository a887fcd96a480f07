#include "tools/vxdbf/maintenance_commands.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <initializer_list>
#include <istream>
#include <ostream>
#include <string>
#include <vector>
#include <vexel/maintenance.hpp>

#include "tools/vxdbf/index_commands.h"
#include "tools/vxdbf/progress.h"
#include "tools/vxdbf/vxdbf.h"

namespace vx::tool {

namespace {

// The parts of a comma-separated list, each as written (empty parts included).
std::vector<std::string> CommaParts(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t comma; (comma = text.find(',', start)) != std::string::npos; start = comma + 1) {
    parts.push_back(text.substr(start, comma - start));
  }
  parts.push_back(text.substr(start));
  return parts;
}

std::string Trimmed(std::string text) {
  text.erase(text.find_last_not_of(" \t") + 1);
  text.erase(0, std::min(text.size(), text.find_first_not_of(" \t")));
  return text;
}

// What a field definition on the command line is for: create's take a fifth part NULL (a
// Visual FoxPro field that may be .NULL.) and keep the type as written; alter's take the type
// in upper case and the fixed widths of D, L and M.
enum class DefinitionFor { kCreate, kAlter };

// NAME,TYPE,LEN,DEC from `option`; a UsageError names what is wrong.
vexel::Field ParseFieldDefinition(const std::string& text, const std::string& option,
                                  DefinitionFor use) {
  std::vector<std::string> parts = CommaParts(text);
  for (std::string& part : parts) part = Trimmed(part);
  // create has always let a definition end in a comma ("NOTES,M,").
  if (use == DefinitionFor::kCreate && parts.size() > 1 && parts.back().empty()) parts.pop_back();
  const bool nullable = use == DefinitionFor::kCreate && parts.size() == 5 &&
                        (parts[4] == "NULL" || parts[4] == "null");
  if (parts.size() < 2 || parts.size() > (nullable ? 5u : 4u) || parts[1].size() != 1) {
    throw UsageError{option + " wants NAME,TYPE,LEN,DEC" +
                     (use == DefinitionFor::kCreate ? "[,NULL]" : "") + ", not " + Quoted(text)};
  }
  vexel::Field f;
  f.name = parts[0];
  f.type = parts[1][0];
  if (use == DefinitionFor::kAlter) {
    f.type = static_cast<char>(std::toupper(static_cast<unsigned char>(f.type)));
  }
  const auto number = [&](const std::string& digits, int limit) {
    if (digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos || std::stoi(digits) > limit) {
      throw UsageError{"bad number " + Quoted(digits) + " in " + option + " " + Quoted(text)};
    }
    return std::stoi(digits);
  };
  if (parts.size() > 2) f.length = number(parts[2], 65535);
  if (parts.size() > 3 && !parts[3].empty()) f.decimals = number(parts[3], 255);
  f.nullable = nullable;
  if (use == DefinitionFor::kAlter) {
    if (f.type == 'D') f.length = 8;
    if (f.type == 'L') f.length = 1;
    if (f.type == 'M') f.length = 10;
  }
  return f;
}

// A --version value as its version byte, any case ("0x8b"); UsageError `refusal` for another.
std::uint8_t ParseVersion(const std::string& text, std::initializer_list<std::uint8_t> kinds,
                          const std::string& refusal) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string upper = text;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const std::uint8_t kind : kinds) {
    if (upper == std::string("0X") + kDigits[kind >> 4] + kDigits[kind & 15]) return kind;
  }
  throw UsageError{refusal};
}

// The field types and widths, as `create --help` lists them.
const char* FieldTypesHelp() {
  return "Field types (--field NAME,TYPE,LEN,DEC):\n"
         "  C  character, LEN 1 to 254\n"
         "  N  number, LEN 1 to 20, DEC 0 to LEN - 1 (the point and sign count in LEN)\n"
         "  F  floating number, like N\n"
         "  D  date, 8 (LEN may be left out)\n"
         "  L  logical, 1 (LEN may be left out)\n"
         "  M  memo, 10 in the record, the text in the memo file (LEN may be left out)\n"
         "Names: 1 to 10 letters, digits or \"_\", beginning with a letter, each name once\n"
         "(upper and lower case are the same name).\n";
}

int Create(const Options& o, const Streams&) {
  vexel::CreateTableOptions create;
  if (!o.version.empty()) {
    create.version = ParseVersion(o.version, {0x83, 0x8B, 0xF5, 0x8C, 0x04, 0x30, 0x31},
                                  "--version must be 0x83, 0x8B, 0xF5, 0x8C, 0x04, 0x30 or 0x31");
  }
  create.codepage = o.codepage;
  create.overwrite = o.overwrite;
  std::vector<vexel::Field> fields;
  for (const std::string& definition : o.field_definitions) {
    fields.push_back(ParseFieldDefinition(definition, "--field", DefinitionFor::kCreate));
  }
  // A definition dBASE programs would not read back is a mistake on the command line.
  try {
    vexel::create_table(o.file, fields, create);
  } catch (const vexel::DefinitionError& e) {
    throw UsageError{e.what()};
  }
  return kExitOk;
}

std::string Joined(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& name : names) out += (out.empty() ? "" : ", ") + name;
  return out;
}

void PrintResult(const vexel::PackResult& r, const Streams& io) {
  io.out << "removed " << r.removed << " record(s), " << r.kept << " kept\n";
  // A memo file can grow: memos written again take whole blocks where the old file had packed
  // them tighter.
  if (r.old_memo_size > 0 && r.new_memo_size > r.old_memo_size) {
    io.out << "memo file: " << (r.new_memo_size - r.old_memo_size) << " bytes larger ("
           << r.old_memo_size << " -> " << r.new_memo_size << ")\n";
  } else if (r.old_memo_size > 0) {
    io.out << "memo file: " << (r.old_memo_size - r.new_memo_size) << " bytes removed ("
           << r.old_memo_size << " -> " << r.new_memo_size << ")\n";
  }
  if (!r.tags.empty()) io.out << "rebuilt tag(s): " << Joined(r.tags) << "\n";
  if (!r.backups.empty()) io.out << "old files kept as " << Joined(r.backups) << "\n";
}

int Pack(const Options& o, const Streams& io) {
  PrintResult(vexel::pack_table(o.file, {o.backup}, OpenOptionsOf(o, io.err)), io);
  return kExitOk;
}

int Zap(const Options& o, const Streams& io) {
  if (!o.yes) {
    if (!StandardInputIsTerminal()) {
      throw UsageError{"zap removes every record of " + o.file +
                       "; give --yes to confirm when no one can be asked"};
    }
    io.err << "Remove every record of " << o.file << "? [y/N] " << std::flush;
    std::string answer;
    std::getline(io.in, answer);
    if (answer != "y" && answer != "Y" && answer != "yes") {
      io.err << "vxdbf: nothing removed\n";
      return kExitOk;
    }
  }
  PrintResult(vexel::zap_table(o.file, {o.backup}, OpenOptionsOf(o, io.err)), io);
  return kExitOk;
}

int Copy(const Options& o, const Streams& io) {
  vexel::CopyOptions copy;
  if (!o.fields.empty()) copy.fields = CommaParts(o.fields);
  copy.condition = o.condition;
  copy.tag = o.tag;
  copy.index = o.index;
  if (!o.version.empty()) {
    copy.version = ParseVersion(
        o.version, {0x03, 0x83, 0x8B, 0xF5, 0x04, 0x8C},
        "--version must be 0x03, 0x83, 0x8B, 0xF5, 0x04 or 0x8C, not " + Quoted(o.version));
  }
  copy.codepage = o.codepage;
  copy.structure_only = o.structure_only;
  copy.with_index = o.with_index;
  copy.overwrite = o.overwrite;
  // --codepage names the new table's page; the old table's text is read in its own.
  vexel::OpenOptions options = OpenOptionsOf(o, io.err);
  options.codepage = 0;
  const vexel::CopyResult r = vexel::copy_table(o.file, o.arguments.at(0), copy, options);
  io.out << "copied " << r.records << " record(s) to " << r.table;
  if (!r.tags.empty()) io.out << ", with tag(s) " << Joined(r.tags);
  io.out << "\n";
  return kExitOk;
}

int Alter(const Options& o, const Streams& io) {
  if (o.add_fields.empty() && o.drop_fields.empty() && o.rename_fields.empty() &&
      o.retype_fields.empty() && o.drop_tags.empty()) {
    throw UsageError{"alter needs --add, --drop, --rename, --retype or --drop-tag"};
  }
  vexel::AlterChanges changes;
  for (const std::string& rename : o.rename_fields) {
    const std::size_t equals = rename.find('=');
    if (equals == std::string::npos) {
      throw UsageError{"--rename wants OLD=NEW, not " + Quoted(rename)};
    }
    changes.rename.push_back({rename.substr(0, equals), rename.substr(equals + 1)});
  }
  changes.drop = o.drop_fields;
  for (const std::string& retype : o.retype_fields) {
    changes.retype.push_back(ParseFieldDefinition(retype, "--retype", DefinitionFor::kAlter));
  }
  for (const std::string& add : o.add_fields) {
    changes.add.push_back(ParseFieldDefinition(add, "--add", DefinitionFor::kAlter));
  }
  changes.drop_tags = o.drop_tags;
  changes.backup = o.backup;
  vexel::AlterResult r;
  try {
    r = vexel::alter_table(o.file, changes, OpenOptionsOf(o, io.err));
  } catch (const vexel::DefinitionError& e) {
    throw UsageError{e.what()};
  }
  io.out << "altered " << r.table << ": " << r.fields << " field(s), " << r.records << " record(s)";
  if (!r.tags.empty()) io.out << ", rebuilt tag(s) " << Joined(r.tags);
  io.out << "\n";
  if (!r.backups.empty()) io.out << "old files kept as " << Joined(r.backups) << "\n";
  return kExitOk;
}

}  // namespace

void RegisterCreateCommand(Commands& commands) {
  Options& o = commands.options();
  CLI::App& create = commands.Add(
      {"create",
       "FILE --field NAME,TYPE,LEN,DEC ... [--version 0x83|0x8B|0xF5|0x8C|0x04|0x30|0x31] "
       "[--codepage N] "
       "[--overwrite]",
       "Creates an empty table (and its memo file when a memo field is present).",
       "vxdbf create films.dbf --field TITLE,C,20 --field YEAR,N,4 --field PLOT,M", Create});
  AddFileArgument(create, o);
  create.add_option("--field", o.field_definitions, "a field: NAME,TYPE,LEN,DEC (repeat it)")
      ->required()
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  create.add_option("--version", o.version,
                    "the table kind when a memo field is present: 0x83, 0x8B, 0xF5 or 0x8C");
  AddCodePageOption(create, "--codepage", o.codepage,
                    "the code page of the table's text, written as its language driver mark "
                    "(a .cpg file for pages no mark names, such as 65001 UTF-8); 1252 when not "
                    "given");
  create.add_flag("--overwrite", o.overwrite,
                  "replace an existing table, its memo file and its production index");
  create.footer(create.get_footer() + "\n\n" + FieldTypesHelp());
}

void RegisterMaintenanceCommands(Commands& commands) {
  Options& o = commands.options();
  CLI::App& pack = commands.Add(
      {"pack", "FILE [--backup] [--index A.NDX,B.NDX]",
       "Removes the records marked deleted, compacts the memo file and rebuilds every tag "
       "(exclusive use; the old files stay as they were until the new ones are complete).",
       "vxdbf pack films.dbf --backup", Pack});
  AddFileArgument(pack, o);
  AddNdxOption(pack, o, "dBASE III index files (.NDX, comma-separated) built again afterwards");
  pack.add_flag("--backup", o.backup, "keep the old files as FILE.bak (and .dbt.bak, .mdx.bak)");

  CLI::App& zap = commands.Add(
      {"zap", "FILE [--yes] [--backup] [--index A.NDX,B.NDX]",
       "Removes every record: the header, the memo file's header and the tag definitions stay "
       "(exclusive use; asks first on a terminal unless --yes).",
       "vxdbf zap films.dbf --yes", Zap});
  AddFileArgument(zap, o);
  zap.add_flag("--yes", o.yes, "do not ask");
  AddNdxOption(zap, o, "dBASE III index files (.NDX, comma-separated) built again afterwards");
  zap.add_flag("--backup", o.backup, "keep the old files as FILE.bak (and .dbt.bak, .mdx.bak)");

  CLI::App& copy = commands.Add(
      {"copy",
       "FILE NEW [--fields A,B,...] [--for COND] [--tag NAME] [--version V] [--codepage N] "
       "[--structure-only] [--with-index] [--lossy] [--overwrite]",
       "Writes a new table from FILE's records (file order, or a tag's), optionally only some "
       "fields or records, in another table kind or code page.",
       "vxdbf copy films.dbf old_films.dbf --for \"YEAR < 1950\" --tag TITLE", Copy});
  AddFileArgument(copy, o);
  AddArguments(copy, o, "NEW", "the new table", 1);
  copy.add_option("--fields", o.fields, "only these fields, in this order");
  copy.add_option("--for", o.condition, "only the records meeting this condition");
  AddTagOptions(copy, o, TagOptions::kOrderOnly);
  copy.add_option("--version", o.version,
                  "the new table's kind: 0x03/0x83 (dBASE III), 0x8B (dBASE IV), 0xF5 (FoxPro), "
                  "0x04/0x8C (level 7); the memo bit follows the fields");
  AddCodePageOption(copy, "--codepage", o.codepage,
                    "the new table's code page: text is converted and the table marked");
  copy.add_flag("--ansi", o.ansi,
                "FILE without a mark holds Windows (ANSI) text, not DOS (OEM) text");
  copy.add_flag("--lossy", o.lossy,
                "a character the new page lacks becomes \"?\", and a memo holding byte 0x1A "
                "goes into a dBASE III memo file cut before it (both counted), instead of an "
                "error");
  copy.add_flag("--structure-only", o.structure_only, "the fields only, no records");
  copy.add_flag("--with-index", o.with_index,
                "build the tags of FILE's production index for the new table");
  copy.add_flag("--overwrite", o.overwrite, "replace NEW when it exists");

  for (const char* name : {"info", "check", "tags"}) commands.AllowSeveralFiles(name);
  CLI::App& alter = commands.Add(
      {"alter",
       "FILE [--add NAME,TYPE,LEN,DEC] [--drop NAME] [--rename OLD=NEW] "
       "[--retype NAME,TYPE,LEN,DEC] [--drop-tag NAME] [--backup] [--lossy]",
       "Changes the table's fields and converts the records (exclusive use); the tags that still "
       "compile are rebuilt.",
       "vxdbf alter films.dbf --add RATING,N,4,1 --retype TITLE,C,40 --drop-tag OLD", Alter});
  AddFileArgument(alter, o);
  const auto repeated = [&](const char* name, std::vector<std::string>& into, const char* what) {
    alter.add_option(name, into, what)
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  };
  repeated("--add", o.add_fields, "a new last field NAME,TYPE,LEN,DEC (repeat it)");
  repeated("--drop", o.drop_fields, "remove a field (repeat it)");
  repeated("--rename", o.rename_fields, "rename a field OLD=NEW (repeat it)");
  repeated("--retype", o.retype_fields,
           "give a field a new TYPE,LEN,DEC: values converted, a record that does not fit "
           "refused (repeat it)");
  repeated("--drop-tag", o.drop_tags, "drop this tag of the production index (repeat it)");
  alter.add_flag("--backup", o.backup, "keep the old files as FILE.bak (and .dbt.bak, .mdx.bak)");
  alter.add_flag("--lossy", o.lossy,
                 "text holding byte 0x1A goes into a dBASE III memo cut before it (counted) "
                 "instead of an error");
}

void RegisterHelpCommands(Commands& commands) {
  Options& o = commands.options();
  CLI::App& completion =
      commands.Add({"completion", "bash                          (prints a bash completion script)",
                    "Prints a bash completion script made from the commands and their options.",
                    "vxdbf completion bash > /etc/bash_completion.d/vxdbf",
                    [&commands](const Options&, const Streams& io) {
                      io.out << commands.BashCompletion();
                      return kExitOk;
                    }});
  completion.add_option("SHELL", o.arguments, "bash")->required()->check(CLI::IsMember({"bash"}));
  CLI::App& man =
      commands.Add({"man", "[--markdown]                    (prints the man page, roff)",
                    "Prints vxdbf's man page (roff) made from the commands, their options and "
                    "the manual's text; --markdown prints the same manual in Markdown.",
                    "vxdbf man > /usr/local/share/man/man1/vxdbf.1",
                    [&commands](const Options& options, const Streams& io) {
                      io.out << (options.markdown ? commands.Markdown() : commands.ManPage());
                      return kExitOk;
                    }});
  man.add_flag("--markdown", o.markdown, "the manual in Markdown (docs/vxdbf.md) instead of roff");
}

}  // namespace vx::tool
