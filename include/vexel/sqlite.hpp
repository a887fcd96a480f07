#pragma once
// The `vexel` SQLite module: live dBASE tables behind SQL through the public vexel API. This
// header registers the module with a connection, for programs built in this tree that link the
// module (vx_sqlite_module: vxdbf); it is not installed. The loadable
// extension vexel_sqlite.so does the same from its entry point. What a tag can serve and how
// a table's fields map to SQL columns live here too, so that the copy into plain SQLite tables
// declares the same columns and indexes.

#include <optional>
#include <string>
#include <vector>
#include <vexel/vexel.hpp>

struct sqlite3;

namespace vexel::sql {

// Registers the module "vexel" with `db`. Answers an SQLite result code.
int register_module(sqlite3* db);

// The SQL declaration of one field's column: TEXT, INTEGER or REAL.
const char* column_type(const Field& field);

// A tag whose key is one field, plain or as UPPER(field): the only keys whose order SQL
// comparisons on a column can use.
struct FieldKey {
  std::size_t field = 0;  // index into Table::fields()
  bool upper = false;     // the key is UPPER(field)
};
// The field a tag's key names, or nothing for any other key. FOR conditions are not looked at.
std::optional<FieldKey> key_field(const TagInfo& tag, const std::vector<Field>& fields);

// The SQL column names of a table's fields, in order: the field names, except that a name
// already taken (a field named twice, in any case, or _recno or _deleted) gets "_2", "_3", ...
std::vector<std::string> column_names(const std::vector<Field>& fields);

// An identifier quoted for SQL ("NAME", inner quotes doubled).
std::string quote_identifier(const std::string& name);

}  // namespace vexel::sql
