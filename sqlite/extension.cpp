// The entry points of the loadable extension vexel_sqlite.so: `.load vexel_sqlite` in the
// sqlite3 shell, load_extension() in SQL, Connection.load_extension() in Python. SQLite looks
// for sqlite3_vexelsqlite_init (from the file name), then sqlite3_extension_init.

#include <sqlite3ext.h>
SQLITE_EXTENSION_INIT1

#include <vexel/sqlite.hpp>

extern "C" {

__attribute__((visibility("default"))) int sqlite3_vexelsqlite_init(
    sqlite3* db, char** error, const sqlite3_api_routines* api) {
  SQLITE_EXTENSION_INIT2(api);
  const int rc = vexel::sql::register_module(db);
  if (rc != SQLITE_OK) *error = sqlite3_mprintf("vexel: cannot register the module");
  return rc;
}

__attribute__((visibility("default"))) int sqlite3_extension_init(sqlite3* db, char** error,
                                                                  const sqlite3_api_routines* api) {
  return sqlite3_vexelsqlite_init(db, error, api);
}
}
