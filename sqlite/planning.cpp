// The SQLite module's plans: which tag, bounds and order serve a statement (xBestIndex).

#include "sqlite/module.h"

namespace vexel::sql::detail {

// ---------------------------------------------------------------------------------------------
// Planning

struct Candidate {
  int idx_num = kScan;
  std::string description;
  double cost = 0;
  double rows = 0;
  bool unique = false;
  bool order_consumed = false;
  bool omit = false;           // the plan compares its arguments exactly (SQLite need not)
  std::vector<int> arguments;  // constraint positions, in argv order
};

// Whether a walk of the tag can give its field's rows in SQL's order (see the notes at the top
// for what the walk mends). Not: an UPPER key, a field that may hold .NULL. (where its key
// sorts is not where SQL puts NULL), a descending character tag, numbers of more digits than
// a double holds exactly (SQL could tell apart values whose keys tie).
bool GivesSqlOrder(const ServingTag& tag, const Field& field) {
  if (tag.upper || field.nullable) return false;
  switch (tag.key_type) {
    case 'C':
      return field.type == 'C' && !tag.descending;
    case 'N':
      return (field.type == 'N' || field.type == 'F') && field.length <= 15;
    case 'D':
      return field.type == 'D';
    default:
      return false;
  }
}

bool BinaryCollation(sqlite3_index_info* info, int i) {
  const char* collation = sqlite3_vtab_collation(info, i);
  return collation == nullptr || sqlite3_stricmp(collation, "BINARY") == 0;
}

// The pattern of a LIKE or GLOB constraint when SQLite knows it while planning.
std::optional<std::string> PatternOf(sqlite3_index_info* info, int i) {
  sqlite3_value* v = nullptr;
  if (sqlite3_vtab_rhs_value(info, i, &v) != SQLITE_OK || v == nullptr) return std::nullopt;
  if (sqlite3_value_type(v) != SQLITE_TEXT) return std::nullopt;
  return ValueText(v);
}

void ConsiderTag(const VexelTable& vt, sqlite3_index_info* info, std::size_t tag_index,
                 bool with_deleted, std::vector<Candidate>& out) {
  const ServingTag& tag = vt.tags[tag_index];
  if (tag.undeleted_only && with_deleted) return;
  const int column = kFirstField + static_cast<int>(tag.field);
  const double records = std::max<double>(1, vt.table->size());
  const int base = (with_deleted ? kWithDeleted : 0) | static_cast<int>(tag_index << kTagShift);
  const bool text_key = tag.key_type == 'C';
  const Field& field = vt.fields[tag.field];
  const bool order_matches = info->nOrderBy == 1 && info->aOrderBy[0].iColumn == column &&
                             GivesSqlOrder(tag, field) &&
                             info->aOrderBy[0].desc == (tag.descending ? 1 : 0);
  // A range of a number field is compared here, exactly: SQLite reads no column for it.
  const bool exact_numbers = tag.key_type == 'N' && (field.type == 'N' || field.type == 'F');
  // A walk reads one record per key at a random place: twice a sequential read.
  const auto cost_of = [&](double rows) { return tag.depth + 2 * rows; };
  const std::string label = "tag " + tag.name;

  int lower = -1, upper = -1;
  for (int i = 0; i < info->nConstraint; ++i) {
    const auto& c = info->aConstraint[i];
    if (!c.usable || c.iColumn != column) continue;
    const bool exact_collation = !text_key || BinaryCollation(info, i);
    switch (c.op) {
      case SQLITE_INDEX_CONSTRAINT_EQ: {
        if (!exact_collation && !tag.upper) break;
        const bool in = sqlite3_vtab_in(info, i, -1) != 0;
        if (in) sqlite3_vtab_in(info, i, 1);  // all the values at once, in xFilter
        const double per_key = std::min(records, 10.0);
        const double rows = in ? 4 * per_key : per_key;
        Candidate k;
        k.idx_num = base | (in ? kIn : kEqual);
        k.description = label + (in ? " (IN)" : " (=)");
        k.rows = rows;
        k.cost = (in ? 4 : 1) * cost_of(per_key) + (tag.upper ? 1 : 0);
        k.order_consumed = order_matches && !in;
        k.arguments = {i};
        out.push_back(k);
        break;
      }
      case SQLITE_INDEX_CONSTRAINT_GT:
      case SQLITE_INDEX_CONSTRAINT_GE:
        // An UPPER key orders letters apart from SQL's binary order: it serves no range.
        if (!tag.upper && exact_collation && lower < 0) lower = i;
        break;
      case SQLITE_INDEX_CONSTRAINT_LT:
      case SQLITE_INDEX_CONSTRAINT_LE:
        if (!tag.upper && exact_collation && upper < 0) upper = i;
        break;
      case SQLITE_INDEX_CONSTRAINT_LIKE:
      case SQLITE_INDEX_CONSTRAINT_GLOB: {
        if (!text_key) break;
        const bool glob = c.op == SQLITE_INDEX_CONSTRAINT_GLOB;
        const auto pattern = PatternOf(info, i);
        std::size_t usable = 3;  // a bound parameter: a short prefix is likely
        if (pattern) usable = CharCount(PatternPrefix(tag, *pattern, glob));
        if (usable == 0) break;
        const double rows =
            std::max(1.0, records / std::pow(8.0, std::min<std::size_t>(usable, 6)));
        Candidate k;
        k.idx_num = base | (glob ? kGlobPrefix : kLikePrefix);
        k.description = label + (glob ? " (GLOB prefix)" : " (LIKE prefix)");
        k.rows = rows;
        k.cost = cost_of(rows) + (pattern ? 0 : 1);
        k.order_consumed = order_matches;
        k.arguments = {i};
        out.push_back(k);
        break;
      }
      default:
        break;
    }
  }
  if (lower >= 0 || upper >= 0) {
    Candidate k;
    const double rows = records / (lower >= 0 && upper >= 0 ? 16 : 4);
    k.idx_num = base | kRange | (lower >= 0 ? kHasLower : 0) | (upper >= 0 ? kHasUpper : 0);
    if (exact_numbers) {
      k.omit = true;
      k.idx_num |= kExact;
      if (lower >= 0 && info->aConstraint[lower].op == SQLITE_INDEX_CONSTRAINT_GT) {
        k.idx_num |= kLowerStrict;
      }
      if (upper >= 0 && info->aConstraint[upper].op == SQLITE_INDEX_CONSTRAINT_LT) {
        k.idx_num |= kUpperStrict;
      }
    }
    k.description = label + " (range)";
    k.rows = rows;
    k.cost = cost_of(rows);
    k.order_consumed = order_matches;
    if (lower >= 0) k.arguments.push_back(lower);
    if (upper >= 0) k.arguments.push_back(upper);
    out.push_back(k);
  }
  if (order_matches) {
    Candidate k;
    k.idx_num = base | kTagOrder;
    k.description = label + " (order)";
    k.rows = records;
    // The whole tag: its leaves in sequence, about what reading the table through costs,
    // and SQLite's sort is saved.
    k.cost = tag.depth + records;
    k.order_consumed = true;
    out.push_back(k);
  }
}

int BestIndex(sqlite3_vtab* v, sqlite3_index_info* info) {
  VexelTable& vt = *AsTable(v);
  return Guarded(v, [&] {
    // Deleted records come back only when the query reads or constrains _deleted. An UPDATE
    // reads every column (the new row is built from the old one), so a query that reads
    // every column asks for them by a constraint only: UPDATE t SET YEAR = 0 leaves deleted
    // records alone.
    const std::size_t columns = vt.fields.size() + kFirstField;
    const sqlite3_uint64 every_column = columns >= 64 ? ~0ULL : (1ULL << columns) - 1;
    bool with_deleted = (info->colUsed & (1ULL << kDeletedColumn)) != 0 &&
                        (info->colUsed & every_column) != every_column;
    for (int i = 0; i < info->nConstraint; ++i) {
      if (info->aConstraint[i].iColumn == kDeletedColumn) with_deleted = true;
    }
    const double records = std::max<double>(1, vt.table->size());
    std::vector<Candidate> candidates;
    Candidate scan;
    scan.idx_num = kScan | (with_deleted ? kWithDeleted : 0);
    scan.description = "natural order";
    scan.rows = records;
    scan.cost = records + 1;
    candidates.push_back(scan);
    for (int i = 0; i < info->nConstraint; ++i) {
      const auto& c = info->aConstraint[i];
      if (c.usable && c.op == SQLITE_INDEX_CONSTRAINT_EQ &&
          (c.iColumn == -1 || c.iColumn == kRecnoColumn)) {
        Candidate k;
        k.idx_num = kRecno | (with_deleted ? kWithDeleted : 0);
        k.description = "_recno (=)";
        k.rows = 1;
        k.cost = 1;
        k.unique = true;
        k.order_consumed = info->nOrderBy == 0;
        k.arguments = {i};
        candidates.push_back(k);
        break;
      }
    }
    int recno_lower = -1, recno_upper = -1;
    for (int i = 0; i < info->nConstraint; ++i) {
      const auto& c = info->aConstraint[i];
      if (!c.usable || (c.iColumn != -1 && c.iColumn != kRecnoColumn)) continue;
      if ((c.op == SQLITE_INDEX_CONSTRAINT_GT || c.op == SQLITE_INDEX_CONSTRAINT_GE) &&
          recno_lower < 0) {
        recno_lower = i;
      }
      if ((c.op == SQLITE_INDEX_CONSTRAINT_LT || c.op == SQLITE_INDEX_CONSTRAINT_LE) &&
          recno_upper < 0) {
        recno_upper = i;
      }
    }
    if (recno_lower >= 0 || recno_upper >= 0) {
      // Records read by number from the first to the last: a part of a read through.
      Candidate k;
      k.rows = records / (recno_lower >= 0 && recno_upper >= 0 ? 16 : 4);
      k.idx_num = kRecnoRange | (recno_lower >= 0 ? kHasLower : 0) |
                  (recno_upper >= 0 ? kHasUpper : 0) | (with_deleted ? kWithDeleted : 0);
      k.description = "_recno (range)";
      k.cost = k.rows + 1;
      k.order_consumed =
          info->nOrderBy == 1 && !info->aOrderBy[0].desc &&
          (info->aOrderBy[0].iColumn == -1 || info->aOrderBy[0].iColumn == kRecnoColumn);
      if (recno_lower >= 0) k.arguments.push_back(recno_lower);
      if (recno_upper >= 0) k.arguments.push_back(recno_upper);
      candidates.push_back(k);
    }
    for (std::size_t t = 0; t < vt.tags.size(); ++t) {
      ConsiderTag(vt, info, t, with_deleted, candidates);
    }
    // Natural order is record number order: ORDER BY _recno or rowid ascending comes free.
    if (info->nOrderBy == 1 && !info->aOrderBy[0].desc &&
        (info->aOrderBy[0].iColumn == -1 || info->aOrderBy[0].iColumn == kRecnoColumn)) {
      candidates[0].order_consumed = true;
    }
    // SQLite sees only the plan chosen here: one that leaves ORDER BY to SQLite is weighed
    // with the sort it then needs.
    const auto weight = [&](const Candidate& k) {
      const bool sorts = info->nOrderBy > 0 && !k.order_consumed;
      return k.cost + (sorts ? k.rows * std::log2(k.rows + 2) / 4 : 0);
    };
    const Candidate* best = &candidates[0];
    for (const Candidate& k : candidates) {
      if (weight(k) < weight(*best)) best = &k;
    }
    info->idxNum = best->idx_num | (best->order_consumed ? kOrdered : 0);
    std::string description = best->description;
    if (with_deleted) description += ", deleted included";
    info->idxStr = sqlite3_mprintf("%s", description.c_str());
    info->needToFreeIdxStr = 1;
    info->estimatedCost = best->cost;
    info->estimatedRows = static_cast<sqlite3_int64>(std::ceil(best->rows));
    info->orderByConsumed = best->order_consumed ? 1 : 0;
    if (best->unique) info->idxFlags |= SQLITE_INDEX_SCAN_UNIQUE;
    int argv_index = 1;
    for (int i : best->arguments) {
      info->aConstraintUsage[i].argvIndex = argv_index++;
      // A record number and a range of numbers are matched exactly; SQLite checks every other
      // comparison again.
      info->aConstraintUsage[i].omit = (best->idx_num & kKindMask) == kRecno || best->omit ? 1 : 0;
    }
    return SQLITE_OK;
  });
}

}  // namespace vexel::sql::detail
