#include "tools/vxdbf/sql_commands.h"

#ifdef VX_HAVE_SQLITE
#include <sqlite3.h>
#endif

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>
#include <vexel/folder.hpp>
#include <vexel/vexel.hpp>

#ifdef VX_HAVE_SQLITE
#include <vexel/sqlite.hpp>
#endif
#include "tools/vxdbf/command_line.h"
#include "tools/vxdbf/progress.h"
#include "tools/vxdbf/text_formats.h"
#include "tools/vxdbf/vxdbf.h"

namespace vx::tool {

#ifdef VX_HAVE_SQLITE

namespace {

// The options only these commands take (bound when the commands are registered).
struct SqlOptions {
  std::vector<std::string> tables;  // --table NAME=FILE
  std::string dir;                  // --dir FOLDER
  std::string out;                  // export --sqlite OUT.db
};
SqlOptions sql_options;

struct Database {
  sqlite3* db = nullptr;
  ~Database() { sqlite3_close(db); }
};

// An SQLite failure: a lock another program holds ends the command as a refused lock.
[[noreturn]] void Fail(sqlite3* db, int rc, const std::string& context) {
  const std::string message = context + ": " + sqlite3_errmsg(db);
  if ((rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED) throw LockRefused{message};
  throw DataError{message};
}

void Execute(sqlite3* db, const std::string& sql, const std::string& context) {
  char* message = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
  if (rc == SQLITE_OK) return;
  const std::string text = message != nullptr ? message : sqlite3_errstr(rc);
  sqlite3_free(message);
  if ((rc & 0xFF) == SQLITE_BUSY) throw LockRefused{context + ": " + text};
  throw DataError{context + ": " + text};
}

std::string SqlString(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

// Declares a table through the module (an in-memory database: relative names are taken from
// the current folder).
void Attach(sqlite3* db, const std::string& schema, const std::string& name,
            const std::string& file, const std::string& options = "") {
  Execute(db,
          "CREATE VIRTUAL TABLE " + schema + "." + vexel::sql::quote_identifier(name) +
              " USING vexel(" + SqlString(file) + options + ")",
          file);
}

// The module's option naming the page of a table's text (--codepage), or nothing.
std::string PageOption(const Options& o) {
  return o.codepage != 0 ? ", codepage=" + std::to_string(o.codepage) : std::string();
}

// A file's name without its folder and extension.
std::string Stem(const std::string& file) {
  const std::size_t slash = file.find_last_of('/');
  std::string name = slash == std::string::npos ? file : file.substr(slash + 1);
  const std::size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// The tables of a folder: every .dbf file (any case), named by its file name without the
// extension.
std::vector<std::pair<std::string, std::string>> FolderTables(const std::string& dir) {
  const std::optional<std::vector<std::string>> names = vexel::table_files(dir);
  if (!names) throw InputError{"cannot read the folder " + Quoted(dir)};
  const std::string folder = dir.ends_with('/') ? dir : dir + "/";
  std::vector<std::pair<std::string, std::string>> out;
  for (const std::string& name : *names) out.emplace_back(Stem(name), folder + name);
  return out;
}

std::string CsvValue(sqlite3_stmt* s, int i) {
  if (sqlite3_column_type(s, i) == SQLITE_NULL) return {};
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, i));
  return text != nullptr ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(s, i)))
                         : std::string();
}

std::string JsonValueOf(sqlite3_stmt* s, int i) {
  switch (sqlite3_column_type(s, i)) {
    case SQLITE_NULL:
      return "null";
    case SQLITE_INTEGER:
      return std::to_string(sqlite3_column_int64(s, i));
    case SQLITE_FLOAT:
      return std::isfinite(sqlite3_column_double(s, i)) ? CsvValue(s, i) : "null";
    default:
      return JsonString(CsvValue(s, i));
  }
}

int RunSql(const Options& o, const Streams& io) {
  if (o.arguments.empty()) throw UsageError{"no SQL statement"};
  Database d;
  if (sqlite3_open(":memory:", &d.db) != SQLITE_OK) throw DataError{"cannot open SQLite"};
  vexel::sql::register_module(d.db);
  std::set<std::string> names;
  const auto attach = [&](const std::string& name, const std::string& file) {
    if (!names.insert(name).second) throw UsageError{"two tables named " + Quoted(name)};
    Attach(d.db, "main", name, file, PageOption(o));
  };
  int status = kExitOk;
  if (!sql_options.dir.empty()) {
    // A file of the folder that is no table is named and left out; the others are queried.
    for (const auto& [name, file] : FolderTables(sql_options.dir)) {
      try {
        attach(name, file);
      } catch (const DataError& e) {
        io.err << "vxdbf: warning: " << file << " is left out: " << e.message << "\n";
        status = kExitEngineError;
      }
    }
  }
  for (const std::string& table : sql_options.tables) {
    const std::size_t eq = table.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == table.size()) {
      throw UsageError{"--table wants NAME=FILE, not " + Quoted(table)};
    }
    attach(table.substr(0, eq), table.substr(eq + 1));
  }
  const bool csv = o.format == "csv";
  const std::string& sql = o.arguments[0];
  const char* rest = sql.c_str();
  while (*rest != '\0') {
    sqlite3_stmt* raw = nullptr;
    const char* tail = nullptr;
    int rc = sqlite3_prepare_v2(d.db, rest, -1, &raw, &tail);
    if (rc != SQLITE_OK) Fail(d.db, rc, "SQL");
    rest = tail;
    if (raw == nullptr) continue;  // only blanks or a comment were left
    const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> statement(raw, sqlite3_finalize);
    const int columns = sqlite3_column_count(raw);
    std::vector<std::string> names_of;
    for (int i = 0; i < columns; ++i) names_of.emplace_back(sqlite3_column_name(raw, i));
    if (csv && columns > 0) io.out << CsvLine(names_of);
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
      if (csv) {
        std::vector<std::string> values;
        for (int i = 0; i < columns; ++i) values.push_back(CsvValue(raw, i));
        io.out << CsvLine(values);
      } else {
        std::string line = "{";
        for (int i = 0; i < columns; ++i) {
          line += (i ? "," : "") + JsonString(names_of[i]) + ":" + JsonValueOf(raw, i);
        }
        io.out << line << "}\n";
      }
    }
    if (rc != SQLITE_DONE) Fail(d.db, rc, "SQL");
  }
  return status;
}

// Copies one table (its records not marked deleted) into `out`.NAME, then adds an index for
// every tag whose key is one field (COLLATE NOCASE for an UPPER(field) key).
void ExportTable(sqlite3* db, const std::string& name, const std::string& file, const Options& o,
                 std::ostream& err) {
  const std::string source = "temp.\"vexel source\"";
  // Only read: neither a sound index nor the memo file is needed (the open warns instead).
  Attach(db, "temp", "vexel source", file, ", mode=read_only" + PageOption(o));
  const vexel::Table table =
      vexel::open(file, {.mode = vexel::OpenMode::read_only, .codepage = o.codepage});
  const std::vector<vexel::Field>& fields = table.fields();
  const std::string target = "out." + vexel::sql::quote_identifier(name);
  std::string columns, list;
  const std::vector<std::string> names = vexel::sql::column_names(fields);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    columns += (columns.empty() ? "" : ", ") + vexel::sql::quote_identifier(names[i]) + " " +
               vexel::sql::column_type(fields[i]);
    list += (list.empty() ? "" : ", ") + vexel::sql::quote_identifier(names[i]);
  }
  Execute(db, "DROP TABLE IF EXISTS " + target, name);
  Execute(db, "CREATE TABLE " + target + " (" + columns + ")", name);
  sqlite3_stmt* read = nullptr;
  sqlite3_stmt* write = nullptr;
  int rc =
      sqlite3_prepare_v2(db, ("SELECT " + list + " FROM " + source).c_str(), -1, &read, nullptr);
  const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> read_owner(read, sqlite3_finalize);
  if (rc != SQLITE_OK) Fail(db, rc, file);
  std::string marks;
  for (std::size_t i = 0; i < fields.size(); ++i) marks += i ? ", ?" : "?";
  rc = sqlite3_prepare_v2(db, ("INSERT INTO " + target + " VALUES (" + marks + ")").c_str(), -1,
                          &write, nullptr);
  const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> write_owner(write, sqlite3_finalize);
  if (rc != SQLITE_OK) Fail(db, rc, file);
  Progress progress(err, name, table.size());
  std::int64_t done = 0;
  while ((rc = sqlite3_step(read)) == SQLITE_ROW) {
    for (int i = 0; i < static_cast<int>(fields.size()); ++i) {
      sqlite3_bind_value(write, i + 1, sqlite3_column_value(read, i));
    }
    if (sqlite3_step(write) != SQLITE_DONE) Fail(db, sqlite3_errcode(db), name);
    sqlite3_reset(write);
    if (++done % 1024 == 0) progress.Step(done);
  }
  if (rc != SQLITE_DONE) Fail(db, rc, file);
  progress.Step(table.size());
  for (const vexel::TagInfo& tag : table.tags()) {
    const auto key = vexel::sql::key_field(tag, fields);
    if (!key || !tag.for_expr.empty()) continue;
    Execute(db,
            "CREATE INDEX out." + vexel::sql::quote_identifier(name + "_" + tag.name) + " ON " +
                vexel::sql::quote_identifier(name) + " (" +
                vexel::sql::quote_identifier(names[key->field]) +
                (key->upper ? " COLLATE NOCASE" : "") + (tag.descending ? " DESC" : "") + ")",
            name + ", tag " + tag.name);
  }
  Execute(db, "DROP TABLE " + source, name);
}

// The tables already in `target` (an SQLite database), copied into `db`.out; nothing when there
// is no such database.
void KeepExisting(sqlite3* db, const std::string& target) {
  Database old;
  if (sqlite3_open_v2(target.c_str(), &old.db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) return;
  sqlite3_backup* backup = sqlite3_backup_init(db, "out", old.db, "main");
  if (backup == nullptr) Fail(db, sqlite3_errcode(db), target);
  const int rc = sqlite3_backup_step(backup, -1);
  sqlite3_backup_finish(backup);
  if (rc == SQLITE_NOTADB) throw DataError{target + " is not an SQLite database"};
  if (rc != SQLITE_DONE) Fail(db, rc, target);
}

// Writes OUT.db under a temporary name beside it and gives it its name at the end: a failure (a
// full disk) leaves no partial database and no journal. A table that cannot be opened is named
// and left out, the others are copied, and the status is 1.
int RunExport(const Options& o, const Streams& io) {
  if (sql_options.out.empty()) throw UsageError{"export wants --sqlite OUT.db"};
  vexel::PendingFile pending(sql_options.out, {"-journal", "-wal", "-shm"});
  int status = kExitOk;
  int copied = 0;
  {
    Database d;
    if (sqlite3_open(":memory:", &d.db) != SQLITE_OK) throw DataError{"cannot open SQLite"};
    vexel::sql::register_module(d.db);
    Execute(d.db, "ATTACH DATABASE " + SqlString(pending.path().string()) + " AS out",
            sql_options.out);
    KeepExisting(d.db, sql_options.out);
    std::set<std::string> names;
    for (const std::string& file : o.files) {
      try {
        const vexel::Table table =
            vexel::open(file, {.mode = vexel::OpenMode::read_only, .codepage = o.codepage});
        for (const std::string& warning : table.warnings()) {
          io.err << "vxdbf: warning: " << warning << "\n";
        }
      } catch (const vexel::Error& e) {
        io.err << "vxdbf: " << file << " is left out: " << Worded(e) << "\n";
        status = kExitEngineError;
        continue;
      }
      std::string name = Stem(file);
      for (int n = 2; !names.insert(name).second; ++n) {
        name = Stem(file) + "_" + std::to_string(n);
      }
      // One transaction per table.
      Execute(d.db, "BEGIN", sql_options.out);
      try {
        ExportTable(d.db, name, file, o, io.err);
        Execute(d.db, "COMMIT", sql_options.out);
      } catch (...) {
        sqlite3_exec(d.db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
      }
      ++copied;
      io.out << file << " -> " << sql_options.out << " table " << name << "\n";
    }
    Execute(d.db, "DETACH DATABASE out", sql_options.out);
  }
  if (copied > 0) pending.commit();
  return status;
}

// The public API raises vexel::Error: the tool's own ending for each kind.
CommandRunner Translated(CommandRunner run) {
  return [run](const Options& o, const Streams& io) {
    try {
      return run(o, io);
    } catch (const vexel::LockError& e) {
      throw LockRefused{Worded(e)};
    } catch (const vexel::Error& e) {
      throw DataError{Worded(e)};
    }
  };
}

}  // namespace

void RegisterSqlCommands(Commands& commands) {
  Options& o = commands.options();
  sql_options = {};
  CLI::App& sql = commands.Add(
      {"sql", "\"SQL\" [--table NAME=FILE ...] [--dir FOLDER] [--format csv|jsonl] [--codepage N]",
       "Runs SQL over live tables (through the vexel SQLite module) and prints the rows.",
       "vxdbf sql \"SELECT TITLE, YEAR FROM films WHERE YEAR > 1950\" --table films=films.dbf",
       Translated(RunSql)});
  AddArguments(sql, o, "SQL", "the statements; rows are printed like dump's", 1);
  sql.add_option("--table", sql_options.tables, "a table as NAME=FILE (repeat it)")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  sql.add_option("--dir", sql_options.dir, "every .dbf of a folder, named by its file name");
  AddFormatOption(sql, o, "csv (with a header line) or jsonl (one object a line)");
  AddCodePageOption(sql, "--codepage", o.codepage,
                    "the code page of every table's text, whatever its language driver mark says");

  CLI::App& exported = commands.Add(
      {"export", "FILE... --sqlite OUT.db [--codepage N]",
       "Copies tables into ordinary SQLite tables, with an index for every plain-field tag.",
       "vxdbf export films.dbf actors.dbf --sqlite films.db", Translated(RunExport)});
  exported.add_option("FILE", o.files, "the tables")->required()->expected(1, -1);
  exported.add_option("--sqlite", sql_options.out, "the SQLite database to write (created)")
      ->required();
  AddCodePageOption(exported, "--codepage", o.codepage,
                    "the code page of every table's text, whatever its language driver mark says");
}

#else

// Built without SQLite: no sql and export commands.
void RegisterSqlCommands(Commands&) {}

#endif

}  // namespace vx::tool
