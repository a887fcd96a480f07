// The SQLite module's cursors: the walks of a plan and the columns of their rows.

#include "sqlite/module.h"

namespace vexel::sql::detail {

enum class Step { emit, skip, stop };

// ---------------------------------------------------------------------------------------------
// Cursors

int Open(sqlite3_vtab*, sqlite3_vtab_cursor** out) {
  auto* c = new (std::nothrow) VexelCursor();
  if (c == nullptr) return SQLITE_NOMEM;
  *out = c;
  return SQLITE_OK;
}

int Close(sqlite3_vtab_cursor* c) {
  delete AsCursor(c);
  return SQLITE_OK;
}


// = on a character tag: the walk holds every key that begins with the text, the equal ones
// first (blank padding sorts below every printable character); the first key that goes on with
// a printable character ends it. Control characters sort below the padding: skipped, not ended.
Step EqualityStep(const VexelCursor& c, std::size_t row) {
  if (!c.current_key || !c.current_key->exact_text) return Step::emit;
  const auto* key = std::get_if<std::string>(&c.current_key->value);
  if (key == nullptr) return Step::emit;
  const std::string field = c.block.text(row, c.tag->field);
  const std::string text = c.tag->upper ? Upper(field) : field;
  if (text == *key) return Step::emit;
  if (text.size() > key->size() && text.compare(0, key->size(), *key) == 0) {
    return static_cast<unsigned char>(text[key->size()]) < 0x20 ? Step::skip : Step::stop;
  }
  return Step::skip;
}

// A walk over a tag from `from` to `to` (inclusive). An empty text is no starting key: the
// walk starts at the tag's first key (where the engine's seek of an empty key lands too).
Cursor TagWalk(const Table& table, const ServingTag& tag, std::optional<Value> from,
               std::optional<Value> to) {
  if (from) {
    if (const auto* text = std::get_if<std::string>(&*from); text != nullptr && text->empty()) {
      from.reset();
    }
  }
  return table.order(tag.name, std::move(from), std::move(to));
}

// Starts the walk for the next key of = or IN; false when none is left.
bool StartNextKey(VexelTable& vt, VexelCursor& c) {
  while (c.next_key < c.keys.size()) {
    c.current_key = c.keys[c.next_key++];
    c.walk.emplace(TagWalk(*vt.table, *c.tag, c.current_key->value, c.current_key->value));
    c.block_records = 0;
    return true;
  }
  c.walk.reset();
  return false;
}

// Number field i of the block, decoded a whole column at a time when first asked.
const VexelCursor::NumberColumn& Numbers(const VexelCursor& c, std::size_t i) {
  if (c.numbers.size() <= i) c.numbers.resize(i + 1);
  VexelCursor::NumberColumn& n = c.numbers[i];
  if (!n.ready) {
    const std::size_t rows = c.block.size();
    n.blank.resize(rows);
    n.wholes.resize(rows);
    n.whole = c.block.whole_numbers(i, n.wholes.data(), n.blank.data());
    if (!n.whole) {
      n.reals.resize(rows);
      c.block.numbers(i, n.reals.data(), n.blank.data());
    }
    n.ready = true;
  }
  return n;
}

// Whether field i of the block row is NULL in SQL.
bool BlankAt(const VexelCursor& c, std::size_t i, std::size_t row) {
  const char type = c.block.fields()[i].type;
  if (type == 'N' || type == 'F') return Numbers(c, i).blank[row] != 0;
  return std::holds_alternative<std::monostate>(c.block.value(row, i));
}

// SQLite's comparison of an integer with a real number (sqlite3IntFloatCompare).
int CompareWholeReal(std::int64_t i, double r) {
  if (r < -9223372036854775808.0) return 1;
  if (r >= 9223372036854775808.0) return -1;
  const auto y = static_cast<std::int64_t>(r);
  if (i < y) return -1;
  if (i > y) return 1;
  const auto s = static_cast<double>(i);
  return s < r ? -1 : s > r ? 1 : 0;
}

// Whether a number (whole w, or else r) meets every bound as SQLite compares: a number is below
// every text and blob.
bool NumberMeetsBounds(const VexelCursor& c, bool whole, std::int64_t w, double r) {
  for (const VexelCursor::Bound& b : c.bounds) {
    int order = -1;  // the value against the bound
    if (b.type == SQLITE_INTEGER) {
      order = whole ? (w < b.whole ? -1 : w > b.whole ? 1 : 0) : -CompareWholeReal(b.whole, r);
    } else if (b.type == SQLITE_FLOAT) {
      order = whole ? CompareWholeReal(w, b.real) : (r < b.real ? -1 : r > b.real ? 1 : 0);
    }
    const bool meets = b.op == SQLITE_INDEX_CONSTRAINT_GT   ? order > 0
                       : b.op == SQLITE_INDEX_CONSTRAINT_GE ? order >= 0
                       : b.op == SQLITE_INDEX_CONSTRAINT_LT ? order < 0
                                                            : order <= 0;
    if (!meets) return false;
  }
  return true;
}

// The value of number field i of the block row as Column gives it; false for NULL.
bool NumberAt(const VexelCursor& c, std::size_t i, std::size_t row, bool& whole, std::int64_t& w,
              double& r) {
  const Value v = c.block.value(row, i);
  if (const auto* x = std::get_if<std::int64_t>(&v)) {
    whole = true;
    w = *x;
    return true;
  }
  if (const auto* d = std::get_if<double>(&v)) {
    whole = false;
    r = *d;
    return true;
  }
  return false;
}

// Whether number field i of the block row, as Column gives it to SQLite, meets every bound as
// SQLite compares: NULL meets none.
bool MeetsBounds(const VexelCursor& c, std::size_t i, std::size_t row) {
  if (c.block_meets) return true;
  const VexelCursor::NumberColumn& n = Numbers(c, i);
  if (n.blank[row]) return false;
  bool whole = n.whole;
  std::int64_t w = whole ? n.wholes[row] : 0;
  double r = 0;
  if (!whole && !NumberAt(c, i, row, whole, w, r)) return false;
  return NumberMeetsBounds(c, whole, w, r);
}

// A range walk gives its rows in the tag's order, which is the order of their numbers, blank
// numbers (NULL in SQL) keyed as 0: when the block's first and last rows meet the bounds and 0
// does not lie between them, every row between meets them too.
bool BlockMeetsBounds(const VexelCursor& c, std::size_t i) {
  const std::size_t rows = c.block.size();
  if (rows == 0) return false;
  bool whole[2] = {};
  std::int64_t w[2] = {};
  double r[2] = {};
  double value[2] = {};
  for (int end = 0; end < 2; ++end) {
    const std::size_t row = end == 0 ? 0 : rows - 1;
    if (!NumberAt(c, i, row, whole[end], w[end], r[end]) ||
        !NumberMeetsBounds(c, whole[end], w[end], r[end])) {
      return false;
    }
    value[end] = whole[end] ? static_cast<double>(w[end]) : r[end];
  }
  return std::min(value[0], value[1]) > 0 || std::max(value[0], value[1]) < 0;
}

// The first walk of the phases still to make (see VexelCursor::Phase); false when none is left.
bool StartNextPhase(VexelTable& vt, VexelCursor& c) {
  if (c.next_phase >= c.phases.size()) return false;
  const VexelCursor::Phase& p = c.phases[c.next_phase++];
  // Blank values are found by reading the table through: their keys are not SQL's order.
  c.walk.emplace(p.blanks ? vt.table->scan() : vt.table->order(c.tag->name));
  c.blanks_only = p.blanks;
  c.no_blanks = !p.blanks;
  c.block_records = 0;
  return true;
}

// Where no later row of a character tag's walk can sort before `text` in SQL: every later key
// is at least the key of this row under the tag's order, and so at least, in SQL, the text up
// to its first byte outside printable ASCII, trailing blanks removed.
std::string_view FloorOfLaterRows(std::string_view text) {
  std::size_t end = 0;
  while (end < text.size()) {
    const auto b = static_cast<unsigned char>(text[end]);
    if (b < 0x20 || b >= 0x80) break;
    ++end;
  }
  while (end > 0 && text[end - 1] == ' ') --end;
  return text.substr(0, end);
}

bool Clean(std::string_view text) { return FloorOfLaterRows(text).size() == text.size(); }

// Releases the held rows that sort at or below `floor` (all with no floor), in SQL's order.
void Release(VexelCursor& c, const std::string* floor) {
  const auto above = [](const std::pair<std::string, std::uint32_t>& a,
                        const std::pair<std::string, std::uint32_t>& b) { return a > b; };
  while (!c.held.empty() && (floor == nullptr || c.held.front().first <= *floor)) {
    std::pop_heap(c.held.begin(), c.held.end(), above);
    c.released.push_back(c.held.back().second);
    c.held.pop_back();
  }
}

// Puts the cursor on the next released row, read again by its number; false when none is left.
bool NextReleased(VexelTable& vt, VexelCursor& c) {
  while (c.next_released < c.released.size()) {
    c.held_row.emplace(vt.table->read(c.released[c.next_released++]));
    if (c.with_deleted || !c.held_row->deleted()) {
      c.row = &*c.held_row;
      return true;
    }
  }
  c.released.clear();
  c.next_released = 0;
  return false;
}

// Moves to the next row the plan returns.
void Advance(VexelTable& vt, VexelCursor& c) {
  c.row = nullptr;
  if (c.on_block) ++c.block_row;
  c.on_block = false;
  if (c.sql_text_order && NextReleased(vt, c)) {
    c.eof = false;
    return;
  }
  if (c.kind == kRecnoRange) {
    while (c.next_recno != 0 && c.next_recno <= c.last_recno) {
      c.direct.emplace(vt.table->read(c.next_recno++));
      if (c.with_deleted || !c.direct->deleted()) {
        c.row = &*c.direct;
        break;
      }
    }
    c.eof = c.row == nullptr;
    return;
  }
  if (c.direct) {
    if (c.direct_pending) {
      c.direct_pending = false;
      if (c.with_deleted || !c.direct->deleted()) c.row = &*c.direct;
    }
    c.eof = c.row == nullptr;
    return;
  }
  while (c.walk) {
    if (c.block_row >= c.block.size()) {
      // A scan reads big blocks, and so does a walk between two keys (it stops at the last);
      // another tag walk starts small (a point query reads one record and the one past it) and
      // takes more each time.
      c.block_records = c.kind == kScan || c.closed_range ? kScanBlock
                        : c.block_records == 0            ? kFirstTagBlock
                                                          : std::min(c.block_records * 2, kScanBlock);
      c.block_row = 0;
      c.block_meets = false;
      for (VexelCursor::NumberColumn& n : c.numbers) n.ready = false;
      if (c.walk->next(c.block, c.block_records) == 0) {
        if ((c.kind == kEqual || c.kind == kIn) && StartNextKey(vt, c)) continue;
        if (StartNextPhase(vt, c)) continue;
        c.walk.reset();
        if (c.sql_text_order) {
          Release(c, nullptr);
          NextReleased(vt, c);
        }
        break;
      }
      if (c.kind == kRange && !c.bounds.empty()) c.block_meets = BlockMeetsBounds(c, c.tag->field);
    }
    const std::size_t row = c.block_row;
    if (!c.with_deleted && c.block.deleted(row)) {
      ++c.block_row;
      continue;
    }
    if ((c.blanks_only || c.no_blanks) && BlankAt(c, c.tag->field, row) != c.blanks_only) {
      ++c.block_row;
      continue;
    }
    if (!c.bounds.empty() && !MeetsBounds(c, c.tag->field, row)) {
      ++c.block_row;
      continue;
    }
    if (c.kind == kEqual || c.kind == kIn) {
      const Step step = EqualityStep(c, row);
      if (step == Step::skip) {
        ++c.block_row;
        continue;
      }
      if (step == Step::stop) {
        c.block_row = c.block.size();
        if (StartNextKey(vt, c)) continue;
        break;
      }
      if (c.kind == kIn && !c.seen.insert(c.block.recno(row)).second) {
        ++c.block_row;
        continue;
      }
    }
    if (c.sql_text_order) {
      // A row whose text is plain ASCII comes at once while nothing is held back; any other
      // is held until the walk has passed every key that could sort before it.
      const Value v = c.block.value(row, c.tag->field);
      const auto* text = std::get_if<std::string>(&v);
      const std::string_view t = text != nullptr ? std::string_view(*text) : std::string_view();
      if (!c.held.empty() || !Clean(t)) {
        c.held.emplace_back(std::string(t), c.block.recno(row));
        std::push_heap(c.held.begin(), c.held.end(),
                       [](const auto& a, const auto& b) { return a > b; });
        const std::string floor(FloorOfLaterRows(t));
        Release(c, &floor);
        ++c.block_row;
        if (NextReleased(vt, c)) break;
        continue;
      }
    }
    c.on_block = true;
    break;
  }
  c.eof = !c.OnRow();
}

int Filter(sqlite3_vtab_cursor* cursor, int idx_num, const char*, int argc, sqlite3_value** argv) {
  VexelCursor& c = *AsCursor(cursor);
  VexelTable& vt = *AsTable(cursor->pVtab);
  return Guarded(cursor->pVtab, [&] {
    // A read of the table in the statement that appends to it sees the rows appended so far.
    EndAppends(vt);
    c.walk.reset();
    c.direct.reset();
    c.keys.clear();
    c.next_key = 0;
    c.current_key.reset();
    c.seen.clear();
    c.row = nullptr;
    c.on_block = false;
    c.block = RecordBlock();
    c.numbers.clear();
    c.block_row = 0;
    c.block_records = 0;
    c.eof = true;
    c.bounds.clear();
    c.phases.clear();
    c.next_phase = 0;
    c.blanks_only = c.no_blanks = false;
    c.held.clear();
    c.released.clear();
    c.next_released = 0;
    c.held_row.reset();
    c.kind = idx_num & kKindMask;
    c.closed_range = c.kind == kRange && (idx_num & kHasLower) && (idx_num & kHasUpper);
    c.with_deleted = (idx_num & kWithDeleted) != 0;
    const std::size_t tag_index = static_cast<std::size_t>(idx_num >> kTagShift);
    const bool tag_plan = c.kind >= kEqual && c.kind <= kTagOrder;
    c.tag = tag_plan && tag_index < vt.tags.size() ? &vt.tags[tag_index] : nullptr;
    if (tag_plan && c.tag == nullptr) c.kind = kScan;
    const Field* field = c.tag != nullptr ? &vt.fields[c.tag->field] : nullptr;
    // ORDER BY left to a character tag's walk: rows in SQL's order of their texts (one key
    // gives one text, so = and IN need nothing more).
    c.sql_text_order = (idx_num & kOrdered) != 0 && c.tag != nullptr && c.tag->key_type == 'C' &&
                       c.kind != kEqual && c.kind != kIn;

    switch (c.kind) {
      case kRecno: {
        if (argc < 1) break;
        const int numeric = sqlite3_value_numeric_type(argv[0]);
        if (numeric != SQLITE_INTEGER && numeric != SQLITE_FLOAT) break;
        const double d = sqlite3_value_double(argv[0]);
        if (d != std::floor(d) || d < 1 || d > vt.table->size()) break;
        c.direct.emplace(vt.table->read(static_cast<std::uint32_t>(d)));
        c.direct_pending = true;
        break;
      }
      case kRecnoRange: {
        // Bounds that are no number leave the range open on that side; SQLite compares again.
        double first = 1, last = vt.table->size();
        int arg = 0;
        const auto bound = [&](double& out, bool lower) {
          if (arg >= argc) return;
          sqlite3_value* v = argv[arg++];
          const int numeric = sqlite3_value_numeric_type(v);
          if (numeric != SQLITE_INTEGER && numeric != SQLITE_FLOAT) return;
          const double d = sqlite3_value_double(v);
          out = lower ? std::max(out, std::ceil(d)) : std::min(out, std::floor(d));
        };
        if (idx_num & kHasLower) bound(first, true);
        if (idx_num & kHasUpper) bound(last, false);
        c.next_recno = 0;
        if (first <= last) {
          c.next_recno = static_cast<std::uint32_t>(first);
          c.last_recno = static_cast<std::uint32_t>(last);
        }
        break;
      }
      case kEqual:
      case kIn: {
        // Each value becomes its key at once: SQLite reuses the value of an IN list's walk.
        bool whole_tag = false;
        const auto take = [&](sqlite3_value* value) {
          const KeyChoice choice = ChooseKey(*c.tag, *field, value, true);
          if (choice.none) return;
          if (!choice.key) whole_tag = true;
          if (!whole_tag) c.keys.push_back(*choice.key);
        };
        if (c.kind == kEqual) {
          if (argc >= 1) take(argv[0]);
        } else if (argc >= 1) {
          sqlite3_value* each = nullptr;
          for (int rc = sqlite3_vtab_in_first(argv[0], &each); rc == SQLITE_OK && each != nullptr;
               rc = sqlite3_vtab_in_next(argv[0], &each)) {
            take(each);
          }
        }
        if (whole_tag) {
          // A value the tag cannot be positioned for: SQLite compares every row.
          c.keys.clear();
          c.kind = kTagOrder;
          c.walk.emplace(vt.table->order(c.tag->name));
          break;
        }
        StartNextKey(vt, c);
        break;
      }
      case kRange: {
        int arg = 0;
        std::optional<Value> lower, upper;
        bool none = false;
        const auto bound = [&](std::optional<Value>& out) {
          if (arg >= argc) return;
          const KeyChoice choice = ChooseKey(*c.tag, *field, argv[arg++], false);
          none = none || choice.none;
          if (choice.key) out = choice.key->value;
        };
        if (idx_num & kHasLower) bound(lower);
        if (idx_num & kHasUpper) bound(upper);
        if (none) break;
        if (idx_num & kExact) {
          // The bounds as SQLite compares them with a number column: a value that reads as a
          // number is one; other text (and a blob) is above every number.
          arg = 0;
          const auto exact = [&](bool is_lower, bool strict) {
            if (arg >= argc) return;
            sqlite3_value* v = argv[arg++];
            VexelCursor::Bound b;
            b.op = is_lower ? (strict ? SQLITE_INDEX_CONSTRAINT_GT : SQLITE_INDEX_CONSTRAINT_GE)
                            : (strict ? SQLITE_INDEX_CONSTRAINT_LT : SQLITE_INDEX_CONSTRAINT_LE);
            b.type = sqlite3_value_numeric_type(v);
            if (b.type == SQLITE_INTEGER) {
              b.whole = sqlite3_value_int64(v);
            } else if (b.type == SQLITE_FLOAT) {
              b.real = sqlite3_value_double(v);
              if (std::isnan(b.real)) none = true;
            } else if (b.type == SQLITE_NULL) {
              none = true;
            } else {
              b.type = SQLITE_TEXT;
              if (is_lower) none = true;  // no number is above a text
              return;                     // every number is below it
            }
            c.bounds.push_back(b);
          };
          if (idx_num & kHasLower) exact(true, (idx_num & kLowerStrict) != 0);
          if (idx_num & kHasUpper) exact(false, (idx_num & kUpperStrict) != 0);
          if (none) break;
        }
        // A descending tag runs from its largest key: the upper bound is where it starts.
        if (c.tag->descending) std::swap(lower, upper);
        c.walk.emplace(TagWalk(*vt.table, *c.tag, lower, upper));
        break;
      }
      case kLikePrefix:
      case kGlobPrefix: {
        std::string prefix;
        if (argc >= 1 && sqlite3_value_type(argv[0]) == SQLITE_TEXT) {
          prefix = PatternPrefix(*c.tag, ValueText(argv[0]), c.kind == kGlobPrefix);
          if (CharCount(prefix) > static_cast<std::size_t>(field->length)) {
            prefix = FirstChars(prefix, static_cast<std::size_t>(field->length));
          }
        }
        if (prefix.empty() || c.tag->descending) {
          c.walk.emplace(vt.table->order(c.tag->name));
        } else {
          c.walk.emplace(vt.table->order(c.tag->name, Value(prefix), Value(prefix)));
        }
        break;
      }
      case kTagOrder:
        if ((idx_num & kOrdered) != 0 && c.tag->key_type != 'C') {
          // Blank numbers and dates come first in SQL's ascending order, last in descending.
          c.phases = {{!c.tag->descending}, {c.tag->descending}};
          StartNextPhase(vt, c);
          break;
        }
        c.walk.emplace(vt.table->order(c.tag->name));
        break;
      default:
        c.kind = kScan;
        c.walk.emplace(vt.table->scan());
        break;
    }
    Advance(vt, c);
    return SQLITE_OK;
  });
}

int Next(sqlite3_vtab_cursor* cursor) {
  return Guarded(cursor->pVtab, [&] {
    Advance(*AsTable(cursor->pVtab), *AsCursor(cursor));
    return SQLITE_OK;
  });
}

int Eof(sqlite3_vtab_cursor* cursor) { return AsCursor(cursor)->eof ? 1 : 0; }

// Field i (a number field) of the cursor's block row, from the block's decoded column.
void NumberResult(sqlite3_context* ctx, const VexelCursor& c, std::size_t i) {
  const VexelCursor::NumberColumn& n = Numbers(c, i);
  const std::size_t row = c.block_row;
  if (n.blank[row]) {
    sqlite3_result_null(ctx);
  } else if (n.whole) {
    // As the field's value: whole numbers of a field with decimals are REAL.
    if (c.block.fields()[i].decimals > 0) {
      sqlite3_result_double(ctx, static_cast<double>(n.wholes[row]));
    } else {
      sqlite3_result_int64(ctx, n.wholes[row]);
    }
  } else {
    // A column with a fraction or a number beyond 64 bits somewhere: each value as the field
    // gives it (whole values of a field without decimals stay INTEGER).
    ResultValue(ctx, c.block.fields()[i], c.block.value(row, i));
  }
}

int Column(sqlite3_vtab_cursor* cursor, sqlite3_context* ctx, int column) {
  const VexelCursor& c = *AsCursor(cursor);
  const VexelTable& vt = *AsTable(cursor->pVtab);
  return Guarded(cursor->pVtab, [&] {
    if (!c.OnRow()) return SQLITE_OK;
    const std::size_t i = static_cast<std::size_t>(column - kFirstField);
    if (c.on_block && column >= kFirstField && i < vt.fields.size() &&
        (vt.fields[i].type == 'N' || vt.fields[i].type == 'F') && sqlite3_vtab_nochange(ctx) == 0) {
      NumberResult(ctx, c, i);
      return SQLITE_OK;
    }
    if (column == kRecnoColumn) {
      sqlite3_result_int64(ctx, c.Recno());
    } else if (column == kDeletedColumn) {
      sqlite3_result_int(ctx, c.Deleted() ? 1 : 0);
    } else if (sqlite3_vtab_nochange(ctx) == 0) {
      // (During an UPDATE the columns it does not assign are left unread.)
      if (i < vt.fields.size()) ResultValue(ctx, vt.fields[i], c.FieldValue(i));
    }
    return SQLITE_OK;
  });
}

int Rowid(sqlite3_vtab_cursor* cursor, sqlite3_int64* rowid) {
  const VexelCursor& c = *AsCursor(cursor);
  *rowid = c.OnRow() ? c.Recno() : 0;
  return SQLITE_OK;
}

}  // namespace vexel::sql::detail
