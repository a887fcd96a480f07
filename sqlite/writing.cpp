// The SQLite module's writes: INSERT, UPDATE and DELETE, and the appends one statement shares.

#include "sqlite/module.h"

namespace vexel::sql::detail {

// ---------------------------------------------------------------------------------------------
// Writing

// The record number an INSERT or UPDATE names, if any (NULL: none).
std::optional<std::int64_t> RowNumber(sqlite3_value* v) {
  if (sqlite3_value_type(v) == SQLITE_NULL) return std::nullopt;
  return sqlite3_value_int64(v);
}

std::optional<bool> DeletedMark(sqlite3_value* v) {
  if (sqlite3_value_type(v) == SQLITE_NULL || sqlite3_value_nochange(v)) return std::nullopt;
  const int numeric = sqlite3_value_numeric_type(v);
  if (numeric != SQLITE_INTEGER || (sqlite3_value_int64(v) != 0 && sqlite3_value_int64(v) != 1)) {
    throw ConstraintError{"_deleted: " + Shown(v) + " is not 0 or 1"};
  }
  return sqlite3_value_int64(v) == 1;
}

// Whether an INSERT's row may join the rows its statement appended before under one append
// lock and update bracket (the keys put in together, as AppendLock::begin_batch does): only
// while nothing can pause between the rows and the statement's end lets them go. The
// statement must be a transaction of its own (autocommit: xSync comes as soon as it has run;
// inside BEGIN .. COMMIT the statements between would hold other programs' readers), return no
// rows (with RETURNING the caller steps through them at its own pace before the end), and the
// file must be open through no other table of this process (its reads in the same statement
// would wait for the bracket this one holds).
bool MayBatch(const VexelTable& vt) {
  if (vt.appending) return true;
  if (sqlite3_get_autocommit(vt.db) == 0) return false;
  for (sqlite3_stmt* s = sqlite3_next_stmt(vt.db, nullptr); s != nullptr;
       s = sqlite3_next_stmt(vt.db, s)) {
    if (sqlite3_stmt_busy(s) != 0 && sqlite3_stmt_readonly(s) == 0 && sqlite3_column_count(s) > 0) {
      return false;
    }
  }
  return !OpenElsewhere(vt.file);
}

// Writes what the statement's batch of appends holds back and lets the append lock and the
// update bracket go; raises when a write failed (the batch's rows since the bracket was last
// let go were then taken back).
void EndAppends(VexelTable& vt) {
  if (!vt.appending) return;
  AppendLock lock = std::move(*vt.appending);
  vt.appending.reset();
  lock.release();
}

// INSERT appends under the append lock (the rows of one statement together, see MayBatch);
// UPDATE takes the record's lock, reads the record again under it and writes only the fields
// whose value changes; DELETE sets the deletion mark (the record stays in the file until the
// table is packed, as in dBASE).
int Write(VexelTable& vt, int argc, sqlite3_value** argv, sqlite3_int64* rowid) {
  sqlite3_vtab* v = &vt;
  if (vt.read_only) {
    SetMessage(v, "vexel: " + vt.table->path().string() + " is open read-only (mode=read_only)");
    return SQLITE_READONLY;
  }
  Table& table = *vt.table;
  const bool insert = argc > 1 && sqlite3_value_type(argv[0]) == SQLITE_NULL;
  // Rows appended before are on the disk with their keys before a record is changed.
  if (!insert) EndAppends(vt);
  if (argc == 1) {
    const std::int64_t recno = sqlite3_value_int64(argv[0]);
    if (recno < 1 || recno > table.size()) return SQLITE_OK;
    table.remove(static_cast<std::uint32_t>(recno));
    return SQLITE_OK;
  }
  const std::size_t columns = static_cast<std::size_t>(argc - 2);
  const auto column = [&](int c) { return argv[2 + c]; };
  if (columns != vt.fields.size() + kFirstField) return SQLITE_ERROR;
  if (insert) {
    if (RowNumber(argv[1]) || RowNumber(column(kRecnoColumn))) {
      throw ConstraintError{
          "_recno: a new record's number is its place at the end of the table; leave "
          "_recno and rowid out of an INSERT"};
    }
    Assignments values;
    for (std::size_t i = 0; i < vt.fields.size(); ++i) {
      sqlite3_value* value = column(kFirstField + static_cast<int>(i));
      if (sqlite3_value_type(value) == SQLITE_NULL) continue;
      values.emplace_back(vt.fields[i].name, FieldValue(vt.fields[i], value));
    }
    const std::optional<bool> deleted = DeletedMark(column(kDeletedColumn));
    if (!deleted.value_or(false) && MayBatch(vt)) {
      if (!vt.appending) {
        vt.appending.emplace(table.lock_append());
        vt.appending->begin_batch();
      }
      *rowid = vt.appending->append(values);
      return SQLITE_OK;
    }
    // A row appended deleted is marked on the disk, where the rows before it go first.
    EndAppends(vt);
    const std::uint32_t recno = table.append(values);
    if (deleted.value_or(false)) table.remove(recno);
    *rowid = recno;
    return SQLITE_OK;
  }
  const std::int64_t old_recno = sqlite3_value_int64(argv[0]);
  const auto new_recno = RowNumber(argv[1]);
  const auto named_recno = RowNumber(column(kRecnoColumn));
  if ((new_recno && *new_recno != old_recno) || (named_recno && *named_recno != old_recno)) {
    throw ConstraintError{"_recno: a record's number is its place in the file and cannot change"};
  }
  if (old_recno < 1 || old_recno > table.size()) return SQLITE_OK;
  // Values first, so that a refused one leaves the record unlocked and unchanged.
  std::vector<std::pair<std::size_t, Value>> assigned;
  for (std::size_t i = 0; i < vt.fields.size(); ++i) {
    sqlite3_value* value = column(kFirstField + static_cast<int>(i));
    if (sqlite3_value_nochange(value)) continue;
    assigned.emplace_back(i, FieldValue(vt.fields[i], value));
  }
  const std::optional<bool> deleted = DeletedMark(column(kDeletedColumn));
  RecordLock lock = table.lock(static_cast<std::uint32_t>(old_recno));
  const Record current = lock.record();
  bool changed = false;
  for (const auto& [i, value] : assigned) {
    if (current[i] == value) continue;  // unchanged: its stored text is kept as it is
    lock.set(vt.fields[i].name, value);
    changed = true;
  }
  if (changed) lock.commit();
  if (deleted && *deleted != current.deleted()) {
    if (*deleted) {
      lock.remove();
    } else {
      lock.recall();
    }
  }
  return SQLITE_OK;
}

int Update(sqlite3_vtab* v, int argc, sqlite3_value** argv, sqlite3_int64* rowid) {
  return Guarded(v, [&] {
    try {
      return Write(*AsTable(v), argc, argv, rowid);
    } catch (const LockError&) {
      throw;
    } catch (const Error& e) {
      // The engine refuses a value that does not fit its field with code 220, naming the field.
      if (e.code() == 220) throw ConstraintError{Said(e)};
      throw;
    }
  });
}

int Rename(sqlite3_vtab*, const char*) { return SQLITE_OK; }

// A transaction's end (in autocommit mode, its one statement's): the statement's batch of
// appends is written and its locks let go. A failure here fails the statement.
int Begin(sqlite3_vtab*) { return SQLITE_OK; }

int Sync(sqlite3_vtab* v) {
  return Guarded(v, [&] {
    EndAppends(*AsTable(v));
    return SQLITE_OK;
  });
}

int Finish(sqlite3_vtab* v) { return Sync(v); }

}  // namespace vexel::sql::detail
