// The `vexel` SQLite virtual-table module over the public vexel API.
//
// Columns: _recno and _deleted first (hidden, so SELECT * and INSERT without a column list skip
// them, and their bits in colUsed are always bits 0 and 1), then one column per field.
// Row ids are record numbers.
//
// Plans (xBestIndex writes them into idxNum and a readable idxStr that EXPLAIN QUERY PLAN shows):
//
//   idxNum bits 0-3  the kind: natural order, _recno =, a tag walked for =, IN, a range,
//                    a LIKE or GLOB prefix, the whole tag for ORDER BY, or a _recno range
//          bit 4/5   a lower / upper bound is among the arguments (range), in that order
//          bit 6     deleted records are returned (_deleted is read or constrained)
//          bit 7     ORDER BY is left to the walk: its rows come in SQL's order
//          bit 8     a range of numbers compared here (omit): the bounds are exact
//          bit 9/10  the lower / upper bound of that range is strict (> or <)
//          bits 11-  the tag's position in VexelTable::tags
//
// Every tag plan walks a superset of the rows in key order. A tag's key is the stored text in
// the table's code page, blank-padded and cut to the field's width, so comparisons of text are
// left to SQLite (omit stays 0); a range of numbers is compared here, on the values SQLite
// would be given, as SQLite compares them, and SQLite does not ask for the column again.
//
// Rows in the tag's order are SQL's order once two differences are mended: a number or date
// tag holds blank values (NULL in SQL) among the zeros or after the last date, so an ordered
// walk gives them first (last, descending) in a walk of their own; and a character tag orders
// bytes of the code page with blanks padding the key, so where a key holds a byte outside
// printable ASCII the rows are held back until no later key can sort before them in SQL.

#include <vexel/sqlite.hpp>

#include "sqlite/module.h"

namespace vexel::sql {

namespace detail {

// ---------------------------------------------------------------------------------------------
// Connecting

std::string Unquoted(std::string_view text) {
  std::string t = Trim(text);
  if (t.size() >= 2 && (t.front() == '\'' || t.front() == '"') && t.back() == t.front()) {
    const char q = t.front();
    std::string out;
    for (std::size_t i = 1; i + 1 < t.size(); ++i) {
      out += t[i];
      if (t[i] == q && i + 2 < t.size() && t[i + 1] == q) ++i;
    }
    return out;
  }
  return t;
}

bool IsUndeletedCondition(std::string_view for_expr) {
  std::string compact;
  for (char c : for_expr) {
    if (c != ' ') compact += c;
  }
  compact = Upper(compact);
  return compact == ".NOT.DELETED()" || compact == "!DELETED()" || compact == ".NOT.(DELETED())";
}

// Levels of a B-tree of `records` keys of `key_length` bytes in 512-byte blocks (a lower bound:
// the real tag may be deeper after splits, never much shallower).
double EstimatedDepth(std::uint32_t records, int key_length) {
  const double per_node = std::max(4.0, 500.0 / (key_length + 4));
  return 1 + std::ceil(std::log(static_cast<double>(records) + 1) / std::log(per_node));
}

int KeyLength(const ServingTag& tag, const Field& field) {
  if (tag.key_type == 'N') return 12;
  if (tag.key_type == 'D') return 8;
  return field.length;
}

std::vector<ServingTag> ServingTags(const Table& table, const std::vector<Field>& fields) {
  std::vector<ServingTag> out;
  for (const TagInfo& info : table.tags()) {
    // A unique tag holds one record per key (the first): a walk would miss the others.
    if (info.unique) continue;
    // A tag whose keys cannot be made here cannot serve a key range.
    if (!info.searchable) continue;
    const bool undeleted_only = IsUndeletedCondition(info.for_expr);
    if (!Trim(info.for_expr).empty() && !undeleted_only) continue;
    const auto key = key_field(info, fields);
    if (!key) continue;
    ServingTag tag;
    tag.name = info.name;
    tag.field = key->field;
    tag.upper = key->upper;
    tag.descending = info.descending;
    tag.key_type = info.key_type;
    tag.undeleted_only = undeleted_only;
    if (tag.upper && tag.key_type != 'C') continue;
    out.push_back(tag);
  }
  return out;
}

OpenOptions ParseOptions(int argc, const char* const* argv, std::string& path) {
  // argv[0..2]: module, database and table names; then the arguments as written.
  if (argc < 4)
    throw Error(220,
                "vexel: USING vexel('FILE.dbf' [, mode=shared|exclusive|read_only] [, codepage=N] "
                "[, ignore_index=1])");
  path = Unquoted(argv[3]);
  OpenOptions options;
  for (int i = 4; i < argc; ++i) {
    const std::string argument = argv[i];
    const std::size_t eq = argument.find('=');
    if (eq == std::string::npos)
      throw Error(220, "vexel: option " + argument + " wants NAME=VALUE");
    const std::string name = Upper(Trim(argument.substr(0, eq)));
    const std::string value = Unquoted(argument.substr(eq + 1));
    const auto number = [&](int low, int high) {
      char* end = nullptr;
      const long n = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || n < low || n > high) {
        throw Error(220, "vexel: option " + Trim(argument.substr(0, eq)) + " wants a number from " +
                             std::to_string(low) + " to " + std::to_string(high) + ", not " +
                             value);
      }
      return static_cast<int>(n);
    };
    if (name == "MODE") {
      const std::string mode = Upper(value);
      if (mode == "SHARED") {
        options.mode = OpenMode::shared;
      } else if (mode == "EXCLUSIVE") {
        options.mode = OpenMode::exclusive;
      } else if (mode == "READ_ONLY" || mode == "READONLY") {
        options.mode = OpenMode::read_only;
      } else {
        throw Error(220, "vexel: mode is shared, exclusive or read_only, not " + value);
      }
    } else if (name == "CODEPAGE") {
      options.codepage = number(0, 65535);
    } else if (name == "IGNORE_INDEX") {
      options.ignore_index = number(0, 1) == 1;
    } else if (name == "RETRIES") {
      options.lock_retries = number(0, 1000);
    } else if (name == "WAIT_MS") {
      options.lock_wait_ms = number(0, 60000);
    } else {
      throw Error(220, "vexel: unknown option " + Trim(argument.substr(0, eq)) +
                           " (mode, codepage, ignore_index, retries, wait_ms)");
    }
  }
  return options;
}

// A relative file name is taken from the folder of the database file, so a database that
// declares its tables by relative names works from any current folder; an in-memory
// database takes it from the current folder.
std::filesystem::path ResolvePath(sqlite3* db, const std::string& name) {
  std::filesystem::path path(name);
  if (path.is_absolute()) return path;
  const char* main_file = sqlite3_db_filename(db, "main");
  if (main_file != nullptr && main_file[0] != '\0') {
    return std::filesystem::path(main_file).parent_path() / path;
  }
  return path;
}

// The tables of this process open through the module, counted by file: a batch of appends
// (MayBatch) holds the index's update bracket between its rows, which another open of the same
// file in this process, reading in the same statement, would wait for without end.
std::mutex open_files_mutex;
std::multiset<std::string> open_files;

void CountOpen(const std::string& file) {
  const std::lock_guard<std::mutex> hold(open_files_mutex);
  open_files.insert(file);
}

void UncountOpen(const std::string& file) {
  const std::lock_guard<std::mutex> hold(open_files_mutex);
  const auto at = open_files.find(file);
  if (at != open_files.end()) open_files.erase(at);
}

bool OpenElsewhere(const std::string& file) {
  const std::lock_guard<std::mutex> hold(open_files_mutex);
  return open_files.count(file) > 1;
}

int Connect(sqlite3* db, void*, int argc, const char* const* argv, sqlite3_vtab** out,
            char** error) {
  auto vt = std::make_unique<VexelTable>();
  vt->db = db;
  try {
    std::string name;
    const OpenOptions options = ParseOptions(argc, argv, name);
    vt->table.emplace(default_engine().open(ResolvePath(db, name), options));
    std::error_code ignored;
    vt->file = std::filesystem::weakly_canonical(vt->table->path(), ignored).string();
    if (vt->file.empty()) vt->file = vt->table->path().string();
    vt->read_only = options.mode == OpenMode::read_only;
    vt->fields = vt->table->fields();
    vt->tags = ServingTags(*vt->table, vt->fields);
    const std::uint32_t records = vt->table->size();
    for (ServingTag& tag : vt->tags) {
      tag.depth = EstimatedDepth(records, KeyLength(tag, vt->fields[tag.field]));
    }
    std::string schema = "CREATE TABLE x(_recno INTEGER HIDDEN, _deleted INTEGER HIDDEN";
    const std::vector<std::string> names = column_names(vt->fields);
    for (std::size_t i = 0; i < vt->fields.size(); ++i) {
      schema += ", " + quote_identifier(names[i]) + " " + column_type(vt->fields[i]);
    }
    schema += ")";
    const int rc = sqlite3_declare_vtab(db, schema.c_str());
    if (rc != SQLITE_OK) {
      *error = sqlite3_mprintf("vexel: cannot declare the columns: %s", sqlite3_errmsg(db));
      return rc;
    }
  } catch (const Error& e) {
    *error = sqlite3_mprintf("%s", Said(e).c_str());
    return SQLITE_ERROR;
  } catch (const std::exception& e) {
    *error = sqlite3_mprintf("%s", e.what());
    return SQLITE_ERROR;
  }
  CountOpen(vt->file);
  *out = vt.release();
  return SQLITE_OK;
}

int Disconnect(sqlite3_vtab* v) {
  UncountOpen(AsTable(v)->file);
  delete AsTable(v);
  return SQLITE_OK;
}

sqlite3_module MakeModule() {
  sqlite3_module m{};
  m.iVersion = 2;
  m.xCreate = Connect;
  m.xConnect = Connect;
  m.xBestIndex = BestIndex;
  m.xDisconnect = Disconnect;
  m.xDestroy = Disconnect;  // dropping the SQL table leaves the dBASE files alone
  m.xOpen = Open;
  m.xClose = Close;
  m.xFilter = Filter;
  m.xNext = Next;
  m.xEof = Eof;
  m.xColumn = Column;
  m.xRowid = Rowid;
  m.xUpdate = Update;
  m.xBegin = Begin;
  m.xSync = Sync;
  m.xCommit = Finish;
  m.xRollback = Finish;
  m.xRename = Rename;
  return m;
}

const sqlite3_module kModule = MakeModule();

}  // namespace detail

using namespace detail;


std::vector<std::string> column_names(const std::vector<Field>& fields) {
  std::set<std::string> taken = {"_RECNO", "_DELETED"};
  std::vector<std::string> names;
  for (const Field& f : fields) {
    std::string name = f.name;
    for (int n = 2; !taken.insert(Upper(name)).second; ++n) name = f.name + "_" + std::to_string(n);
    names.push_back(name);
  }
  return names;
}

const char* column_type(const Field& field) {
  switch (field.type) {
    case 'N':
    case 'F':
      return field.decimals == 0 ? "INTEGER" : "REAL";
    case 'L':
    case 'I':
    case '+':
      return "INTEGER";
    case 'Y':
    case 'O':
      return "REAL";
    case 'B':  // Visual FoxPro's double; dBASE's binary memo holds bytes
      return field.binary ? "TEXT" : "REAL";
    default:
      return "TEXT";
  }
}

std::optional<FieldKey> key_field(const TagInfo& tag, const std::vector<Field>& fields) {
  std::string key = Upper(Trim(tag.key));
  FieldKey out;
  if (key.size() > 7 && key.compare(0, 5, "UPPER") == 0) {
    const std::string rest = Trim(std::string_view(key).substr(5));
    if (rest.size() < 2 || rest.front() != '(' || rest.back() != ')') return std::nullopt;
    key = Trim(std::string_view(rest).substr(1, rest.size() - 2));
    out.upper = true;
  }
  // An alias prefix ("FILMS->TITLE") names this table's field as well.
  if (const std::size_t arrow = key.find("->"); arrow != std::string::npos) {
    key = Trim(std::string_view(key).substr(arrow + 2));
  }
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (Upper(fields[i].name) == key) {
      if (out.upper && fields[i].type != 'C') return std::nullopt;
      out.field = i;
      return out;
    }
  }
  return std::nullopt;
}

std::string quote_identifier(const std::string& name) {
  std::string out = "\"";
  for (char c : name) {
    out += c;
    if (c == '"') out += '"';
  }
  return out + "\"";
}

int register_module(sqlite3* db) {
  return sqlite3_create_module_v2(db, "vexel", &kModule, nullptr, nullptr);
}

}  // namespace vexel::sql
