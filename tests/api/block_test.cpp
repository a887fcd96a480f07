// Record blocks against the record-at-a-time reads: every cursor kind, block size and open mode
// on a table of awkward values (and find against seek and read), every corpus table, a table that
// grows between blocks (in this process and another), a record another program holds, and the
// errors.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <vexel/indexing.hpp>
#include <vexel/inspect.hpp>
#include <vexel/maintenance.hpp>
#include <vexel/vexel.hpp>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

using vexel::Date;
using vexel::Value;

// Every row of `block` equals Table::read of its record, value by value and text by text, and
// every column decoder agrees with the values.
void ExpectBlockMatchesReads(const vexel::Table& t, const vexel::RecordBlock& block,
                             const std::string& where) {
  const std::vector<vexel::Field>& fields = t.fields();
  for (std::size_t row = 0; row < block.size(); ++row) {
    const vexel::Record r = t.read(block.recno(row));
    const std::string at = where + " record " + std::to_string(r.recno());
    EXPECT_EQ(block.deleted(row), r.deleted()) << at;
    const vexel::Record whole = block.record(row);
    EXPECT_EQ(whole.recno(), r.recno()) << at;
    for (std::size_t f = 0; f < fields.size(); ++f) {
      EXPECT_EQ(block.value(row, f), r[f]) << at << " field " << fields[f].name;
      EXPECT_EQ(block.text(row, f), r.text(f)) << at << " field " << fields[f].name;
      EXPECT_EQ(whole[f], r[f]) << at << " field " << fields[f].name;
    }
  }
  const std::size_t n = block.size();
  for (std::size_t f = 0; f < fields.size(); ++f) {
    const std::string at = where + " column " + fields[f].name;
    std::vector<std::uint8_t> blank(n), flags(n);
    std::string joined;
    std::vector<std::size_t> ends;
    block.texts(f, joined, ends);
    ASSERT_EQ(ends.size(), n) << at;
    std::vector<Value> values;
    block.values(f, values);
    ASSERT_EQ(values.size(), n) << at;
    for (std::size_t row = 0; row < n; ++row) EXPECT_EQ(values[row], block.value(row, f)) << at;
    for (std::size_t row = 0; row < n; ++row) {
      const std::size_t start = row == 0 ? 0 : ends[row - 1];
      const Value v = block.value(row, f);
      const auto* s = std::get_if<std::string>(&v);
      EXPECT_EQ(joined.substr(start, ends[row] - start), s ? *s : block.text(row, f)) << at;
    }
    const char type = fields[f].type;
    if (type == 'N' || type == 'F') {
      std::vector<double> reals(n);
      block.numbers(f, reals.data(), blank.data());
      std::vector<std::int64_t> wholes(n);
      const bool all_whole = block.whole_numbers(f, wholes.data(), nullptr);
      bool any_real = false;
      for (std::size_t row = 0; row < n; ++row) {
        const Value v = block.value(row, f);
        EXPECT_EQ(blank[row] == 1, std::holds_alternative<std::monostate>(v)) << at;
        if (const auto* i = std::get_if<std::int64_t>(&v)) {
          EXPECT_EQ(reals[row], static_cast<double>(*i)) << at;
          EXPECT_TRUE(!all_whole || wholes[row] == *i) << at;
        } else if (const auto* d = std::get_if<double>(&v)) {
          EXPECT_EQ(reals[row], *d) << at;
          // A field with decimals reads its whole values as doubles too: still whole here.
          any_real = any_real || *d != std::floor(*d) || std::fabs(*d) > 9.2e18;
        } else {
          EXPECT_TRUE(std::isnan(reals[row])) << at;
        }
      }
      EXPECT_FALSE(any_real && all_whole) << at;
    } else if (type == 'D') {
      std::vector<std::int64_t> days(n);
      block.days(f, days.data(), blank.data());
      for (std::size_t row = 0; row < n; ++row) {
        const Value v = block.value(row, f);
        const auto* d = std::get_if<Date>(&v);
        EXPECT_EQ(blank[row] == 1, d == nullptr) << at;
        const std::int64_t want = d == nullptr ? std::numeric_limits<std::int64_t>::min()
                                  : *d == Date{1970, 1, 1} ? 0
                                  : *d == Date{2000, 3, 1} ? 11017
                                                           : days[row];
        EXPECT_EQ(days[row], want) << at;
      }
    } else if (type == 'L') {
      block.logicals(f, flags.data(), blank.data());
      for (std::size_t row = 0; row < n; ++row) {
        const Value v = block.value(row, f);
        const auto* b = std::get_if<bool>(&v);
        EXPECT_EQ(blank[row] == 1, b == nullptr) << at;
        EXPECT_EQ(flags[row] == 1, b != nullptr && *b) << at;
      }
    }
  }
}

// The records a cursor gives one at a time, and the same cursor's records through blocks.
std::vector<std::uint32_t> Recnos(vexel::Cursor c) {
  std::vector<std::uint32_t> out;
  while (c.next()) out.push_back(c.record().recno());
  return out;
}

std::vector<std::uint32_t> BlockRecnos(const vexel::Table& t, vexel::Cursor c, std::size_t size,
                                       const std::string& where) {
  std::vector<std::uint32_t> out;
  vexel::RecordBlock block;
  while (std::size_t n = c.next(block, size)) {
    EXPECT_EQ(n, block.size()) << where;
    EXPECT_LE(n, size) << where;
    ExpectBlockMatchesReads(t, block, where);
    for (std::size_t row = 0; row < n; ++row) out.push_back(block.recno(row));
  }
  EXPECT_EQ(block.size(), 0u) << where;
  EXPECT_EQ(c.next(block, size), 0u) << where << ": a finished cursor stays finished";
  return out;
}

class BlockTest : public ::testing::Test {
 protected:
  std::string Path() { return dir_.File("films.dbf"); }
  vx::test::TempDir dir_;
};

// Awkward values (blanks, a deleted record, memos, a number beyond 64 bits, overflow stars,
// fractions, an invalid date, every logical letter) read the same one record at a time and
// in blocks of every size, through every cursor kind and open mode.
TEST_F(BlockTest, BlocksEqualRecordReadsForEveryCursorSizeAndMode) {
  {
    vexel::Table t = vexel::create(Path(), {{"TITLE", 'C', 12, 0},
                                            {"YEAR", 'N', 4, 0},
                                            {"BIG", 'N', 20, 0},
                                            {"RATING", 'N', 6, 2},
                                            {"SCORE", 'F', 8, 3},
                                            {"SEEN", 'D', 8, 0},
                                            {"COLOR", 'L', 1, 0},
                                            {"PLOT", 'M', 10, 0}});
    const std::vector<vexel::Assignments> rows = {
        {{"TITLE", std::string("Vertigo")},
         {"YEAR", std::int64_t{1958}},
         {"RATING", 8.25},
         {"SCORE", -1.5},
         {"SEEN", Date{1970, 1, 1}},
         {"COLOR", true},
         {"PLOT", std::string("A detective\r\nfollows Madeleine.")}},
        {},  // every field blank
        {{"TITLE", std::string("Amélie")},
         {"RATING", 7.0},
         {"SEEN", Date{2000, 3, 1}},
         {"COLOR", false}},
        {{"TITLE", std::string("Deleted")}, {"YEAR", std::int64_t{1}}},
    };
    for (int round = 0; round < 5; ++round) {
      for (const auto& row : rows) t.append(row);
    }
    t.remove(4);
    t.remove(9);
    t.add_tag({.name = "TITLE", .key = "TITLE", .for_expr = ""});
  }
  // Bytes the library does not write: the overflow mark, a date that is no date, the logical's
  // other letters, numbers beyond 32 bits or with a fraction in a field without decimals.
  {
    std::FILE* f = std::fopen(Path().c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    unsigned char header[12];
    ASSERT_EQ(std::fread(header, 1, 12, f), 12u);
    const long first = header[8] | header[9] << 8;
    const long length = header[10] | header[11] << 8;
    const auto put = [&](long record, long offset, const char* bytes) {
      std::fseek(f, first + (record - 1) * length + offset, SEEK_SET);
      std::fwrite(bytes, 1, std::strlen(bytes), f);
    };
    // Offsets: flag 0, TITLE 1, YEAR 13, BIG 17, RATING 37, SCORE 43, SEEN 51, COLOR 59.
    put(2, 13, "****");
    put(2, 51, "20230230");
    put(2, 59, "y");
    put(6, 59, "N");
    put(7, 59, "?");
    put(10, 37, "  1e02");
    put(1, 17, "98765432109876543210");  // beyond 64 bits: a double
    put(3, 17, "-9000000000000000000");
    put(5, 17, "        -12.5");
    std::fclose(f);
  }
  for (const vexel::OpenMode mode :
       {vexel::OpenMode::shared, vexel::OpenMode::exclusive, vexel::OpenMode::read_only}) {
    vexel::Table t = vexel::open(Path(), {.mode = mode});
    for (const std::size_t size :
         {std::size_t{1}, std::size_t{3}, std::size_t{7}, std::size_t{1000}}) {
      const std::string where =
          "mode " + std::to_string(static_cast<int>(mode)) + " size " + std::to_string(size);
      EXPECT_EQ(BlockRecnos(t, t.scan(), size, where + " scan"), Recnos(t.scan())) << where;
      EXPECT_EQ(BlockRecnos(t, t.order("TITLE"), size, where + " order"), Recnos(t.order("TITLE")));
      EXPECT_EQ(BlockRecnos(t, t.order("title", Value(std::string("B")), Value(std::string("V"))),
                            size, where + " range"),
                Recnos(t.order("TITLE", Value(std::string("B")), Value(std::string("V")))));
      // Conditions over the record's number, its deletion mark, text, numbers, dates and logicals.
      for (const char* condition :
           {"YEAR > 1000 .AND. .NOT. DELETED()", "MOD(RECNO(), 3) = 1 .OR. 'ert' $ TITLE",
            "SEEN >= {^1999-01-01} .AND. COLOR", "DELETED()"}) {
        EXPECT_EQ(BlockRecnos(t, t.where(condition), size, where + " where " + condition),
                  Recnos(t.where(condition)))
            << condition;
      }
    }
    // A condition's blocks move the table's area: an order walk between them keeps its place.
    {
      vexel::Cursor in_order = t.order("TITLE");
      vexel::Cursor chosen = t.where("MOD(RECNO(), 2) = 0");
      vexel::RecordBlock block;
      std::vector<std::uint32_t> walked, even;
      while (in_order.next()) {
        walked.push_back(in_order.record().recno());
        if (chosen.next(block, 3) > 0) {
          for (std::size_t row = 0; row < block.size(); ++row) even.push_back(block.recno(row));
        }
      }
      EXPECT_EQ(walked, Recnos(t.order("TITLE")));
      EXPECT_EQ(even, Recnos(t.where("MOD(RECNO(), 2) = 0")));
    }
    // Blocks and single steps mix: the walk goes on from where either left it.
    vexel::Cursor c = t.order("TITLE");
    vexel::RecordBlock block;
    std::vector<std::uint32_t> mixed;
    for (int i = 0; i < 4; ++i) {
      if (c.next()) mixed.push_back(c.record().recno());
      t.read(1);  // moves the table's area under the cursor
      if (c.next(block, 2) > 0) {
        for (std::size_t row = 0; row < block.size(); ++row) mixed.push_back(block.recno(row));
      }
      EXPECT_THROW(c.record(), vexel::Error);  // a block leaves no current record
    }
    while (c.next(block, 5) > 0) {
      for (std::size_t row = 0; row < block.size(); ++row) mixed.push_back(block.recno(row));
    }
    EXPECT_EQ(mixed, Recnos(t.order("TITLE")));
    // find answers the record seek finds, in every mode, between reads in file order.
    using Mode = vexel::SeekMode;
    for (const auto& [key, how] :
         std::vector<std::pair<std::string, Mode>>{{"Vertigo", Mode::exact},
                                                   {"Vert", Mode::prefix},
                                                   {"Vert", Mode::exact},
                                                   {"B", Mode::soft},
                                                   {"zzz", Mode::soft},
                                                   {"Amélie", Mode::exact}}) {
      const auto n = t.seek("TITLE", Value(key), how);
      EXPECT_EQ(t.read(2).recno(), 2u);
      const std::optional<vexel::Record> r = t.find("title", Value(key), how);
      ASSERT_EQ(r.has_value(), n.has_value()) << key;
      if (!r) continue;
      const vexel::Record want = t.read(*n);
      EXPECT_EQ(r->recno(), *n) << key;
      for (std::size_t f = 0; f < want.size(); ++f) EXPECT_EQ((*r)[f], want[f]) << key;
    }
  }
}

// Misuse is an Error with a code, never a crash; memo reads need the table open.
TEST_F(BlockTest, MisuseIsAnErrorWithACode) {
  vexel::RecordBlock block;
  {
    vexel::Table t = vexel::create(Path(), {{"N", 'N', 3, 0}, {"C", 'C', 3, 0}, {"M", 'M', 10, 0}});
    t.append({{"N", std::int64_t{5}}, {"M", std::string("memo")}});
    vexel::Cursor c = t.scan();
    ASSERT_EQ(c.next(block, 10), 1u);
    EXPECT_EQ(block.value(0, 2), Value(std::string("memo")));
    const auto code = [](auto&& call) {
      try {
        call();
      } catch (const vexel::Error& e) {
        return e.code();
      }
      return 0;
    };
    std::int64_t whole[1];
    std::uint8_t flag[1];
    double real[1];
    EXPECT_EQ(code([&] { block.value(1, 0); }), 220);                       // no such row
    EXPECT_EQ(code([&] { block.value(0, 3); }), 220);                       // no such field
    EXPECT_EQ(code([&] { block.whole_numbers(1, whole, nullptr); }), 220);  // C, not a number
    EXPECT_EQ(code([&] { block.numbers(2, real, nullptr); }), 220);
    EXPECT_EQ(code([&] { block.days(0, whole, nullptr); }), 220);
    EXPECT_EQ(code([&] { block.logicals(0, flag, nullptr); }), 220);
    EXPECT_EQ(block.stored(0, 1), "   ");
    t.close();
    EXPECT_EQ(code([&] { block.value(0, 2); }), 215);  // the memo file went with the table
    EXPECT_EQ(code([&] { c.next(block, 1); }), 215);
  }
  EXPECT_EQ(block.value(0, 0), Value(std::int64_t{5}));  // stored fields outlive the table
}

// Each scan block reads the file again: records appended between blocks, by this process through
// another Table and by another process, are read; a record another program holds locked reads
// as it is on disk.
TEST_F(BlockTest, EachScanBlockSeesTheFileAsItIsNow) {
  {
    vexel::Table t = vexel::create(Path(), {{"TITLE", 'C', 10, 0}});
    for (int i = 1; i <= 4; ++i) t.append({{"TITLE", "F" + std::to_string(i)}});
  }
  vexel::Table t = vexel::open(Path());
  vexel::Table other = vexel::open(Path());
  vx::test::Child child([&](vx::test::Child& self) {
    vexel::Table mine = vexel::open(Path());
    self.Receive();
    mine.append({{"TITLE", std::string("Child")}});
    vexel::RecordLock lock = mine.lock(1);
    lock.set("TITLE", std::string("Unwritten"));
    self.Send('A');
    self.Receive();
    return 0;
  });
  vexel::Cursor c = t.scan();
  vexel::RecordBlock block;
  std::vector<std::string> seen;
  const auto take = [&](std::size_t count) {
    const std::size_t n = c.next(block, count);
    for (std::size_t row = 0; row < n; ++row) seen.push_back(block.text(row, 0));
    return n;
  };
  EXPECT_EQ(take(3), 3u);
  other.append({{"TITLE", std::string("Other")}});
  child.Send();
  ASSERT_EQ(child.Receive(), 'A');
  EXPECT_EQ(take(10), 3u);
  EXPECT_EQ(take(10), 0u);
  EXPECT_EQ(seen, (std::vector<std::string>{"F1", "F2", "F3", "F4", "Other", "Child"}));
  vexel::Cursor again = t.scan();
  ASSERT_EQ(again.next(block, 1), 1u);
  EXPECT_EQ(block.text(0, 0), "F1");  // held, not yet written
  child.Send();
  EXPECT_EQ(child.Wait(), 0);
}

// An order walk in blocks goes on past the last key it took when the index changes between
// blocks: through another Table of this program, through another program, and by the removal
// of the very item it stood on, inside a run of equal keys. Keys put below its place stay
// behind, keys above it are met, and no record comes twice or goes missing.
TEST_F(BlockTest, AnOrderWalkInBlocksGoesOnPastItsLastKeyWhenTheIndexChanges) {
  {
    vexel::Table t = vexel::create(Path(), {{"TITLE", 'C', 10, 0}},
                                   {.open = {.mode = vexel::OpenMode::exclusive}});
    for (int i = 0; i < 40; ++i) t.append({{"TITLE", "K" + std::to_string(i % 4)}});
    t.add_tag({.name = "TITLE", .key = "TITLE", .for_expr = ""});
  }
  vexel::Table t = vexel::open(Path());
  vexel::Table other = vexel::open(Path());
  vx::test::Child child([&](vx::test::Child& self) {
    vexel::Table mine = vexel::open(Path());
    self.Receive();
    mine.append({{"TITLE", std::string("ZChild")}});
    self.Send('A');
    return 0;
  });
  vexel::Cursor c = t.order("TITLE");
  vexel::RecordBlock block;
  std::vector<std::uint32_t> recnos;
  std::vector<std::string> titles;
  const auto take = [&](std::size_t count) {
    const std::size_t n = c.next(block, count);
    for (std::size_t row = 0; row < n; ++row) {
      recnos.push_back(block.recno(row));
      titles.push_back(block.text(row, 0));
    }
    return n;
  };
  ASSERT_EQ(take(3), 3u);                  // K0 three times
  other.append({{"TITLE", "A"}});          // record 41, below the walk
  ASSERT_EQ(take(4), 4u);                  // on through the run of K0
  {
    vexel::RecordLock lock = other.lock(recnos.back());  // the item the walk stands on goes
    lock.set("TITLE", std::string("A2"));
    lock.commit();
  }
  ASSERT_EQ(take(5), 5u);                  // the rest of K0, then K1
  other.append({{"TITLE", "K3"}});         // record 42, above the walk
  child.Send();
  ASSERT_EQ(child.Receive(), 'A');         // record 43, ZChild, by another program
  while (take(7) > 0) {
  }
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_TRUE(std::is_sorted(titles.begin(), titles.end()));
  std::vector<std::uint32_t> want;
  for (std::uint32_t n = 1; n <= 40; ++n) want.push_back(n);
  want.push_back(42);
  want.push_back(43);
  std::sort(recnos.begin(), recnos.end());
  EXPECT_EQ(recnos, want);
  EXPECT_EQ(titles.back(), "ZChild");
}

// Order walks in blocks over runs of equal keys that span several leaves, against a model:
// a range of text keys (its end inside a leaf, its start inside a run) and a range of numbers,
// in blocks of several sizes, with another Table appending keys inside and outside the range
// between blocks (records the walk meets past the count it had read). Every record in the range
// comes once, in key order, and no other.
TEST_F(BlockTest, OrderWalksInBlocksTakeEveryItemOfARangeOnceAcrossLeaves) {
  constexpr int kRecords = 3000;
  const auto key = [](int i) {
    char text[8];
    std::snprintf(text, sizeof text, "K%03d", (i * 7) % 97);  // runs of about 31 records
    return std::string(text);
  };
  {
    vexel::Table t = vexel::create(Path(), {{"CODE", 'C', 6, 0}, {"N", 'N', 6, 0}},
                                   {.open = {.mode = vexel::OpenMode::exclusive}});
    std::vector<vexel::Assignments> rows;
    for (int i = 0; i < kRecords; ++i) {
      rows.push_back({{"CODE", key(i)}, {"N", std::int64_t{i % 211}}});
    }
    t.lock_append().append_many(rows);
    t.add_tag({.name = "CODE", .key = "CODE", .for_expr = ""});
    t.add_tag({.name = "N", .key = "N", .for_expr = ""});
  }
  const struct {
    const char* tag;
    Value from, to;
  } kRanges[] = {
      {"CODE", Value(std::string("K013")), Value(std::string("K071"))},
      {"N", Value(std::int64_t{17}), Value(std::int64_t{150})},
  };
  for (const auto& range : kRanges) {
    for (std::size_t size : {1u, 7u, 64u, 1000u}) {
      SCOPED_TRACE(std::string(range.tag) + " in blocks of " + std::to_string(size));
      vexel::Table t = vexel::open(Path());
      vexel::Table other = vexel::open(Path());
      const std::size_t field = range.tag == std::string("CODE") ? 0 : 1;
      std::multimap<Value, std::uint32_t> model;
      {
        vexel::Cursor all = t.scan();
        vexel::RecordBlock rows;
        while (all.next(rows, 4096) > 0) {
          for (std::size_t row = 0; row < rows.size(); ++row) {
            const Value v = rows.value(row, field);
            if (!(v < range.from) && !(range.to < v)) model.emplace(v, rows.recno(row));
          }
        }
      }
      ASSERT_GT(model.size(), 1000u);
      vexel::Cursor c = t.order(range.tag, range.from, range.to);
      vexel::RecordBlock block;
      std::vector<std::pair<Value, std::uint32_t>> seen;
      bool appended = false;
      while (c.next(block, size) > 0) {
        for (std::size_t row = 0; row < block.size(); ++row) {
          seen.emplace_back(block.value(row, field), block.recno(row));
        }
        if (!appended && seen.size() >= 100) {
          appended = true;
          // Two keys at the range's end (the walk meets them) and one at its start, behind the
          // walk by now (it does not).
          for (const Value& v : {range.to, range.to, range.from}) {
            const std::uint32_t n = range.tag == std::string("CODE")
                                        ? other.append({{"CODE", v}, {"N", std::int64_t{999}}})
                                        : other.append({{"CODE", std::string("Z")}, {"N", v}});
            if (v == range.to) model.emplace(v, n);
          }
        }
      }
      EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end(),
                                 [](const auto& a, const auto& b) { return a.first < b.first; }));
      std::vector<std::pair<Value, std::uint32_t>> want(model.begin(), model.end());
      std::sort(want.begin(), want.end());
      std::sort(seen.begin(), seen.end());
      EXPECT_EQ(seen, want);
    }
  }
}

// A batch append (AppendLock::append_many) holds the index's update bracket for many rows,
// letting it go every 50 ms. Another program seeking and walking
// the tag meanwhile finds every key with its record (the record's field holds that key), the
// keys of the table before the batch always, and in the end every row once.
TEST_F(BlockTest, AnotherProgramFindsNoKeyOfABatchAppendWithoutItsRecord) {
  constexpr int kBefore = 200;
  constexpr int kRows = 20000;
  const auto code = [](int i) {
    char text[16];
    std::snprintf(text, sizeof text, "C%06d", (i * 7919) % 1000003);
    return std::string(text);
  };
  {
    vexel::Table t = vexel::create(Path(), {{"CODE", 'C', 10, 0}, {"N", 'N', 8, 0}},
                                   {.open = {.mode = vexel::OpenMode::exclusive}});
    for (int i = 0; i < kBefore; ++i) t.append({{"CODE", code(i)}, {"N", std::int64_t{i}}});
    t.add_tag({.name = "CODE", .key = "CODE", .for_expr = ""});
    t.add_tag({.name = "N", .key = "N", .for_expr = ""});
  }
  const std::string done = Path() + ".done";
  vx::test::Child reader([&](vx::test::Child& self) {
    try {
      vexel::Table t = vexel::open(Path(), {.lock_retries = 1000, .lock_wait_ms = 10});
      self.Send('R');
      std::mt19937 random(5);
      for (bool last = false; !last;) {
        last = std::filesystem::exists(done);
        // Seeks: a key found names a record that holds it; the keys from before are found.
        for (int k = 0; k < 50; ++k) {
          const int i = static_cast<int>(random() % (kBefore + kRows));
          const auto n = t.seek("CODE", Value(code(i)), vexel::SeekMode::exact);
          if ((i < kBefore || last) && !n) return 2;
          if (n && std::get<std::string>(t.read(*n)["CODE"]) != code(i)) return 3;
        }
        // A walk of the other tag in blocks: every item's record is there and holds its key.
        vexel::Cursor walk = t.order("N");
        vexel::RecordBlock block;
        std::int64_t previous = -1, items = 0;
        while (walk.next(block, 512) > 0) {
          for (std::size_t row = 0; row < block.size(); ++row) {
            const std::int64_t n = std::get<std::int64_t>(block.value(row, 1));
            if (n <= previous || n != static_cast<std::int64_t>(block.recno(row)) - 1) return 4;
            previous = n;
            ++items;
          }
        }
        if (items < kBefore || (last && items != kBefore + kRows)) return 5;
      }
    } catch (const std::exception& e) {
      std::fprintf(stderr, "reader: %s\n", e.what());
      return 6;
    }
    return 0;
  });
  ASSERT_EQ(reader.Receive(), 'R');
  {
    vexel::Table t = vexel::open(Path());
    std::vector<vexel::Assignments> rows;
    for (int i = kBefore; i < kBefore + kRows; ++i) {
      rows.push_back({{"CODE", code(i)}, {"N", std::int64_t{i}}});
    }
    vexel::AppendLock lock = t.lock_append();
    EXPECT_EQ(lock.append_many(rows), static_cast<std::uint32_t>(kBefore + 1));
  }
  std::ofstream(done) << "done";
  EXPECT_EQ(reader.Wait(), 0);
  const vexel::TableCheck report =
      vexel::check_table(Path(), false, {.mode = vexel::OpenMode::exclusive});
  EXPECT_TRUE(report.ok) << (report.findings().empty() ? "" : report.findings().front().what);
}

// Records this Table appended under the append lock it still holds (an exclusive table without
// an index keeps them back to write together) are in the next scan block.
TEST_F(BlockTest, AScanBlockSeesTheRowsItsOwnHeldAppendLockAdded) {
  vexel::Table t = vexel::create(Path(), {{"TITLE", 'C', 10, 0}},
                                 {.open = {.mode = vexel::OpenMode::exclusive}});
  vexel::AppendLock appending = t.lock_append();
  for (int i = 1; i <= 3; ++i) appending.append({{"TITLE", "F" + std::to_string(i)}});
  vexel::RecordBlock block;
  vexel::Cursor c = t.scan();
  ASSERT_EQ(c.next(block, 10), 3u);
  EXPECT_EQ(block.text(2, 0), "F3");
}

// .NULL. reads as null in blocks in every nullable field, the first one (null flag bit 0)
// included, while the same field's values and the fields beside it read as stored.
TEST_F(BlockTest, NullMarksOfEveryNullableFieldReadAsNullInBlocks) {
  vexel::Field first{"FIRST", 'C', 5, 0};
  first.nullable = true;
  vexel::Field second{"SECOND", 'N', 5, 0};
  second.nullable = true;
  vexel::create_table(Path(), {first, second, {"PLAIN", 'C', 3, 0}}, {.version = 0x30});
  vexel::Table t = vexel::open(Path());
  t.append({{"FIRST", std::string("a")}, {"SECOND", std::int64_t{7}}, {"PLAIN", std::string("x")}});
  t.append({{"FIRST", Value{}}, {"SECOND", Value{}}, {"PLAIN", std::string("y")}});
  vexel::RecordBlock block;
  vexel::Cursor c = t.scan();
  ASSERT_EQ(c.next(block, 10), 2u);
  ExpectBlockMatchesReads(t, block, "nullable");
  EXPECT_EQ(block.value(0, 0), Value(std::string("a")));
  for (std::size_t f : {0u, 1u}) {
    EXPECT_EQ(block.value(1, f), Value{}) << f;
    EXPECT_TRUE(block.record(1).is_null(f)) << f;
  }
  EXPECT_EQ(block.value(1, 2), Value(std::string("y")));
}

// The bytes other programs leave in number fields read as one number (or none) through every
// door: Table::read, blocks, and the stored walk `vxdbf dump` prints.
TEST_F(BlockTest, EveryDoorReadsTheSameNumberFromTheSameBytes) {
  const struct {
    std::string stored;  // 12 bytes, the width of the field
    Value value;
    const char* dumped;  // the JSON number dump prints, "" for null
  } cases[] = {
      {std::string("1234.   \0\0\0\0", 12), Value(std::int64_t{1234}), "1234"},
      {std::string("\0\0      42  ", 12), Value(std::int64_t{42}), "42"},
      {"          +7", Value(std::int64_t{7}), "7"},
      {"       -.5  ", Value(-0.5), "-0.5"},
      {"       12.50", Value(12.5), "12.50"},
      {"      1.5e02", Value(150.0), "1.5e02"},
      {"     1.5e400", Value{}, ""},
      {"************", Value{}, ""},
      {"        1 2 ", Value{}, ""},
      {"          - ", Value{}, ""},
  };
  {
    vexel::Table t = vexel::create(Path(), {{"N", 'N', 12, 0}});
    for (std::size_t i = 0; i < std::size(cases); ++i) t.append({});
  }
  {
    std::FILE* f = std::fopen(Path().c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    unsigned char header[12];
    ASSERT_EQ(std::fread(header, 1, 12, f), 12u);
    const long first = header[8] | header[9] << 8;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
      std::fseek(f, first + static_cast<long>(i) * 13 + 1, SEEK_SET);
      std::fwrite(cases[i].stored.data(), 1, 12, f);
    }
    std::fclose(f);
  }
  std::vector<std::string> dumped;
  vexel::read_stored(Path(), {}, {},
                     {nullptr, [&](const vexel::StoredRecord& r) {
                        dumped.push_back(r.values[0].number);
                      }});
  ASSERT_EQ(dumped.size(), std::size(cases));
  vexel::Table t = vexel::open(Path(), {.mode = vexel::OpenMode::read_only});
  vexel::RecordBlock block;
  vexel::Cursor c = t.scan();
  ASSERT_EQ(c.next(block, 100), std::size(cases));
  ExpectBlockMatchesReads(t, block, "numbers");
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(t.read(static_cast<std::uint32_t>(i + 1))[0], cases[i].value);
    EXPECT_EQ(dumped[i], cases[i].dumped);
  }
}

// Every corpus table the library opens reads the same in blocks as record by record.
TEST(BlockCorpusTest, CorpusTablesReadTheSameInBlocks) {
  const std::filesystem::path corpus = vx::test::CorpusDir();
  if (corpus.empty()) GTEST_SKIP() << "no corpus folder beside the repository and VX_CORPUS_DIR unset";
  int tables = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(corpus)) {
    std::string ext = entry.path().extension().string();
    for (char& ch : ext) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    if (!entry.is_regular_file() || ext != ".DBF") continue;
    std::optional<vexel::Table> t;
    try {
      t.emplace(
          vexel::open(entry.path(), {.mode = vexel::OpenMode::read_only, .ignore_index = true}));
      Recnos(t->scan());
      vexel::Cursor probe = t->scan();
      while (probe.next()) probe.record();
    } catch (const vexel::Error&) {
      continue;  // tables the library does not read record by record either
    }
    ++tables;
    BlockRecnos(*t, t->scan(), 97, entry.path().string());
  }
  EXPECT_GT(tables, 20);
}

}  // namespace
