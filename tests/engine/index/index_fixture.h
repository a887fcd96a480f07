#pragma once
// Test support for the index engine: a folder with a small table (CODE C 6, NUM N 5) written
// byte by byte and its .MDX made by the test writer; the engine started, every area closed and
// the switches restored afterwards.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "engine/foundation/errors.h"
#include "engine/index/key_codec.h"
#include "engine/index/orders.h"
#include "engine/index/semaphore.h"
#include "engine/startup/engine_startup.h"
#include "engine/workarea/locks.h"
#include "engine/workarea/work_areas.h"
#include "tests/support/mdx_writer.h"
#include "tests/support/temp_dir.h"

namespace vx::test {

struct Row {
  std::string code;  // 6 characters at most
  int num = 0;
  bool deleted = false;
};

// A dBASE III table of rows with the production-index flag set.
inline std::vector<unsigned char> TableBytes(const std::vector<Row>& rows) {
  std::vector<unsigned char> f(97, 0);
  f[0] = 0x03;
  f[1] = 124;
  f[2] = 1;
  f[3] = 1;
  const auto n = static_cast<std::uint32_t>(rows.size());
  for (int i = 0; i < 4; ++i) f[4 + i] = static_cast<unsigned char>(n >> (8 * i));
  f[8] = 97;
  f[10] = 12;
  f[28] = 1;
  const auto field = [&](int at, const char* name, char type, int length) {
    std::copy(name, name + std::char_traits<char>::length(name), f.begin() + at);
    f[at + 11] = static_cast<unsigned char>(type);
    f[at + 16] = static_cast<unsigned char>(length);
  };
  field(32, "CODE", 'C', 6);
  field(64, "NUM", 'N', 5);
  f[96] = 0x0D;
  for (const Row& r : rows) {
    char record[13];
    std::snprintf(record, sizeof record, "%c%-6.6s%5d", r.deleted ? '*' : ' ', r.code.c_str(),
                  r.num);
    f.insert(f.end(), record, record + 12);
  }
  f.push_back(0x1A);
  return f;
}

// A FOR condition of every tag and the rows it keeps.
struct RowCondition {
  std::string expression;               // empty: no condition
  bool (*holds)(const Row&) = nullptr;  // null: every row
};
inline const RowCondition kEveryRow{};
inline const RowCondition kLiveRows{".NOT. DELETED()", [](const Row& r) { return !r.deleted; }};
// A condition that new rows fail as often as they meet it.
inline const RowCondition kLiveRowsFromZero{"NUM >= 0 .AND. .NOT. DELETED()",
                                            [](const Row& r) { return r.num >= 0 && !r.deleted; }};

// Tags CODE (C 6), NUM (N, packed) and RCODE (C 6 descending) over the rows that meet
// `condition`, which every tag gets as its FOR condition.
inline std::vector<TagShape> RowTags(const std::vector<Row>& rows, const RowCondition& condition,
                                     int per_leaf = 3) {
  std::multimap<std::string, std::uint32_t> by_code;
  std::vector<std::pair<double, std::uint32_t>> by_num;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (condition.holds != nullptr && !condition.holds(rows[i])) continue;
    std::string code = rows[i].code;
    code.resize(6, ' ');
    by_code.emplace(code, static_cast<std::uint32_t>(i + 1));
    by_num.emplace_back(rows[i].num, static_cast<std::uint32_t>(i + 1));
  }
  std::stable_sort(by_num.begin(), by_num.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  const auto make_tag = [&](const char* name, char type, int length, bool descending) {
    TagShape t;
    t.name = name;
    t.key_expression = type == 'N' ? "NUM" : "CODE";
    t.for_expression = condition.expression;
    t.type = type;
    t.key_length = length;
    t.descending = descending;
    return t;
  };
  TagShape code = make_tag("CODE", 'C', 6, false);
  TagShape num = make_tag("NUM", 'N', 12, false);
  TagShape rcode = make_tag("RCODE", 'C', 6, true);
  for (TagShape* t : {&code, &num, &rcode}) t->keys_per_leaf = per_leaf;
  for (const auto& [k, r] : by_code) code.items.emplace_back(k, r);
  for (auto it = by_code.rbegin(); it != by_code.rend(); ++it) {
    rcode.items.emplace_back(it->first, it->second);
  }
  for (const auto& [v, r] : by_num) {
    const PackedDecimal p = DoubleToPacked(v, 0);
    num.items.emplace_back(std::string(p.begin(), p.end()), r);
  }
  return {code, num, rcode};
}

// The same; `for_live` gives every tag the condition .NOT. DELETED() and leaves deleted rows out.
inline std::vector<TagShape> RowTags(const std::vector<Row>& rows, bool for_live = false,
                                     int per_leaf = 3) {
  return RowTags(rows, for_live ? kLiveRows : kEveryRow, per_leaf);
}

class IndexTest : public ::testing::Test {
 protected:
  void SetUp() override { InitEngine(); }
  void TearDown() override {
    {
      QuietErrors quiet;
      CloseAll();
    }
    SharingEnabled = true;
    UseShareMode = 66;
    OpenModeOverride = 65535;
    KeyPadding = false;
    SoftSeek = false;
    SemaphoreWaitSeconds = 100;
    SemaphoreDirectory->clear();
    EngineErrorCode = 0;
    LastErrorCode = 0;
    LastErrorMessage->clear();
  }

  // Writes T.DBF and T.MDX from rows and answers the table's path.
  std::string MakeIndexedTable(const std::vector<Row>& rows, bool for_live = false,
                               int per_leaf = 3) {
    return MakeIndexedTable(rows, for_live ? kLiveRows : kEveryRow, per_leaf);
  }
  std::string MakeIndexedTable(const std::vector<Row>& rows, const RowCondition& condition,
                               int per_leaf = 3) {
    WriteBytes(dir_.File("T.DBF"), TableBytes(rows));
    WriteBytes(dir_.File("T.MDX"), BuildMdx("T", RowTags(rows, condition, per_leaf)));
    return dir_.File("T.DBF");
  }

  template <typename F>
  std::uint16_t CodeOf(F&& command) {
    QuietErrors quiet;
    EngineErrorCode = 0;
    command();
    return EngineErrorCode;
  }

  // The CODE field of the current record (trimmed).
  static std::string Code() {
    TableRecord* t = SelectedTable();
    std::string code(t->record.data() + 1, 6);
    while (!code.empty() && code.back() == ' ') code.pop_back();
    return code;
  }

  TempDir dir_;
};

}  // namespace vx::test
