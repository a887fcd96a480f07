// A Visual FoxPro table with a structural .CDX through the library: the tags listed, walked in
// their order (record by record and in blocks, whole and over key ranges), searched; the same
// through the inspection functions vxdbf uses; the check comparing every tag with the records;
// a tag in another collation walked but not searched, and edits that would change it refused;
// every tag kept current over many random edits, as Perl's XBase::Index reads them, a candidate
// tag refusing a second record's key, and a write that fails half way taking the edit back.
// The .CDX files come from the independent test writer (tests/support/cdx_writer) over sizes
// that give one leaf and trees of several levels.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>
#include <vexel/block.hpp>
#include <vexel/indexing.hpp>
#include <vexel/inspect.hpp>
#include <vexel/vexel.hpp>

#include "tests/support/cdx_writer.h"
#include "tests/support/fault_injection.h"
#include "tests/support/perl_index.h"
#include "tests/support/temp_dir.h"

namespace {

struct Row {
  std::string name;
  double amount = 0;
  int year = 2000;
};

// Julian day number of a date (the calendar the keys count in).
double DayNumber(int y, int m, int d) {
  const int a = (14 - m) / 12;
  const int yy = y + 4800 - a;
  const int mm = m + 12 * a - 3;
  return d + (153 * mm + 2) / 5 + 365 * yy + yy / 4 - yy / 100 + yy / 400 - 32045;
}

class CdxTest : public ::testing::Test {
 protected:
  // A Visual FoxPro table (NAME C(12), AMT N(8,2), DAY D) whose header names a structural .CDX.
  std::string Table(int records) {
    rows_.clear();
    for (int i = 0; i < records; ++i) {
      rows_.push_back({(i % 3 ? "ann" : "Bob") + std::to_string(i * 37 % 101),
                       (i * 53 % 200) / 4.0 - 10, 1990 + i * 7 % 30});
    }
    const int reclen = 1 + 12 + 8 + 8;
    const int header = 32 + 32 * 3 + 1 + 263;
    std::vector<unsigned char> t(static_cast<std::size_t>(header + reclen * records + 1), 0);
    t[0] = 0x30;
    t[1] = 126;
    t[2] = 1;
    t[3] = 1;
    for (int i = 0; i < 4; ++i) t[4 + static_cast<std::size_t>(i)] = static_cast<unsigned char>(records >> (8 * i));
    t[8] = static_cast<unsigned char>(header);
    t[9] = static_cast<unsigned char>(header >> 8);
    t[10] = static_cast<unsigned char>(reclen);
    t[28] = 0x01;  // a structural .CDX
    t[29] = 0x03;
    const auto field = [&](int i, const char* name, char type, int offset, int length, int decimals) {
      unsigned char* f = &t[32 + 32 * static_cast<std::size_t>(i)];
      std::memcpy(f, name, std::strlen(name));
      f[11] = static_cast<unsigned char>(type);
      f[12] = static_cast<unsigned char>(offset);
      f[16] = static_cast<unsigned char>(length);
      f[17] = static_cast<unsigned char>(decimals);
    };
    field(0, "NAME", 'C', 1, 12, 0);
    field(1, "AMT", 'N', 13, 8, 2);
    field(2, "DAY", 'D', 21, 8, 0);
    t[32 + 32 * 3] = 0x0D;
    for (int r = 0; r < records; ++r) {
      char* rec = reinterpret_cast<char*>(&t[static_cast<std::size_t>(header + reclen * r)]);
      const Row& row = rows_[static_cast<std::size_t>(r)];
      char text[32];
      std::snprintf(text, sizeof text, " %-12s%8.2f%04d0315", row.name.c_str(), row.amount, row.year);
      std::memcpy(rec, text, static_cast<std::size_t>(reclen));
    }
    t.back() = 0x1A;
    const std::string path = dir_.File("fox.dbf");
    vx::test::WriteBytes(path, t);
    return path;
  }
  static std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  }
  // The tags: NAME (UPPER(NAME)), AMOUNT (AMT, descending), DAY (a date), POSITIVE (NAME FOR
  // AMT > 0, unique), each with `per_leaf` keys a leaf (0: as many as fit).
  void WriteCdx(int per_leaf, const std::string& collation = {}) {
    std::vector<vx::test::CdxTagShape> shapes(4);
    shapes[0].name = "NAME";
    shapes[0].key_expression = "UPPER(NAME)";
    shapes[0].key_length = 12;
    shapes[0].collation = collation;
    shapes[1].name = "AMOUNT";
    shapes[1].key_expression = "AMT";
    shapes[1].key_length = 8;
    shapes[1].numeric = true;
    shapes[1].descending = true;
    shapes[2].name = "DAY";
    shapes[2].key_expression = "DAY";
    shapes[2].key_length = 8;
    shapes[2].numeric = true;
    shapes[3].name = "POSITIVE";
    shapes[3].key_expression = "NAME";
    shapes[3].for_expression = "AMT > 0";
    shapes[3].key_length = 12;
    shapes[3].unique = true;
    for (std::size_t i = 0; i < rows_.size(); ++i) {
      const auto record = static_cast<std::uint32_t>(i + 1);
      std::string name = rows_[i].name;
      name.resize(12, ' ');
      shapes[0].items.emplace_back(Upper(name), record);
      shapes[1].items.emplace_back(vx::test::CdxNumber(rows_[i].amount), record);
      shapes[2].items.emplace_back(vx::test::CdxNumber(DayNumber(rows_[i].year, 3, 15)), record);
      bool there = false;
      for (const auto& it : shapes[3].items) there = there || it.first == name;
      if (rows_[i].amount > 0 && !there) shapes[3].items.emplace_back(name, record);
    }
    for (auto& s : shapes) {
      s.keys_per_leaf = per_leaf;
      s.keys_per_branch = per_leaf > 0 ? 3 : 0;
    }
    vx::test::WriteBytes(dir_.File("fox.cdx"), vx::test::BuildCdx(shapes));
  }
  // Record numbers in the order of a key (ties by record number).
  template <class Key>
  std::vector<std::uint32_t> OrderBy(Key key, bool descending) const {
    std::vector<std::uint32_t> out;
    for (std::size_t i = 0; i < rows_.size(); ++i) out.push_back(static_cast<std::uint32_t>(i + 1));
    std::stable_sort(out.begin(), out.end(), [&](std::uint32_t a, std::uint32_t b) {
      const auto ka = key(rows_[a - 1]);
      const auto kb = key(rows_[b - 1]);
      return descending ? kb < ka : ka < kb;
    });
    return out;
  }
  static std::vector<std::uint32_t> Walked(vexel::Cursor cursor) {
    std::vector<std::uint32_t> out;
    while (cursor.next()) out.push_back(cursor.record().recno());
    return out;
  }
  static std::vector<std::uint32_t> WalkedInBlocks(vexel::Cursor cursor) {
    std::vector<std::uint32_t> out;
    vexel::RecordBlock block;
    while (cursor.next(block, 7) > 0) {
      for (std::size_t i = 0; i < block.size(); ++i) out.push_back(block.recno(i));
    }
    return out;
  }

  vx::test::TempDir dir_;
  std::vector<Row> rows_;
};

// Over sizes that give a single leaf and trees of several levels: the library's tags, orders
// and seeks, and the inspection functions, read what the records give.
TEST_F(CdxTest, TagsOrdersAndSeeksReadTheIndex) {
  struct Size {
    int records;
    int per_leaf;
  };
  for (const Size size : {Size{1, 0}, Size{12, 0}, Size{60, 3}, Size{700, 0}}) {
    SCOPED_TRACE("records " + std::to_string(size.records));
    const std::string path = Table(size.records);
    WriteCdx(size.per_leaf);
    const auto by_name = OrderBy([](const Row& r) { return Upper(r.name); }, false);
    const auto by_amount = OrderBy([](const Row& r) { return r.amount; }, true);
    const auto by_year = OrderBy([](const Row& r) { return r.year; }, false);
    {
      vexel::OpenOptions read;
      read.mode = vexel::OpenMode::read_only;
      vexel::Table t = vexel::open(path, read);
      const std::vector<vexel::TagInfo> tags = t.tags();
      ASSERT_EQ(tags.size(), 4u);
      EXPECT_EQ(tags[0].name, "AMOUNT");
      EXPECT_TRUE(tags[0].descending);
      EXPECT_EQ(tags[0].key_type, 'N');
      EXPECT_EQ(tags[1].key_type, 'D');
      EXPECT_EQ(tags[3].name, "POSITIVE");
      EXPECT_TRUE(tags[3].unique);
      EXPECT_EQ(tags[3].for_expr, "AMT > 0");
      EXPECT_EQ(Walked(t.order("name")), by_name);
      EXPECT_EQ(WalkedInBlocks(t.order("NAME")), by_name);
      EXPECT_EQ(Walked(t.order("AMOUNT")), by_amount);
      EXPECT_EQ(WalkedInBlocks(t.order("DAY")), by_year);
      // A range: from a key (soft) to the last key not after `to`.
      std::vector<std::uint32_t> range;
      for (std::uint32_t r : by_amount) {
        const double a = rows_[r - 1].amount;
        if (a <= 20 && a >= 0) range.push_back(r);
      }
      EXPECT_EQ(Walked(t.order("AMOUNT", 20.0, 0.0)), range);
      EXPECT_EQ(WalkedInBlocks(t.order("AMOUNT", 20.0, 0.0)), range);
      std::vector<std::uint32_t> bobs;
      for (std::uint32_t r : by_name) {
        if (Upper(rows_[r - 1].name).rfind("BOB", 0) == 0) bobs.push_back(r);
      }
      EXPECT_EQ(Walked(t.order("NAME", std::string("BOB"), std::string("BOB"))), bobs);
      // Seeks: each record's key finds the first record of that key.
      for (std::size_t i = 0; i < rows_.size(); i += 1 + rows_.size() / 20) {
        const Row& row = rows_[i];
        const auto first_name = std::find_if(by_name.begin(), by_name.end(), [&](std::uint32_t r) {
          return Upper(rows_[r - 1].name) == Upper(row.name);
        });
        EXPECT_EQ(t.seek("NAME", Upper(row.name)), *first_name);
        const auto record = t.find("AMOUNT", row.amount);
        ASSERT_TRUE(record.has_value());
        EXPECT_EQ(std::get<double>((*record)["AMT"]), row.amount);
        EXPECT_TRUE(t.seek("DAY", vexel::Date{row.year, 3, 15}).has_value());
      }
      EXPECT_FALSE(t.seek("NAME", std::string("ZZZ")).has_value());
      EXPECT_FALSE(t.seek("AMOUNT", 1e9).has_value());
      // Soft, in a descending tag: the next key in the tag's order is the next lower one.
      const auto soft = t.seek("AMOUNT", 1e9, vexel::SeekMode::soft);
      ASSERT_TRUE(soft.has_value());
      EXPECT_EQ(*soft, by_amount.front());
      EXPECT_THROW(t.seek("NOSUCH", std::string("A")), vexel::InputError);
      EXPECT_THROW(t.order("NOSUCH"), vexel::InputError);
    }
    // The inspection functions vxdbf's tags and dump use, and a reader's seek.
    const std::vector<vexel::TagSummary> summary = vexel::summarize_tags(path);
    ASSERT_EQ(summary.size(), 4u);
    for (const vexel::TagSummary& s : summary) {
      EXPECT_TRUE(s.damage.empty()) << s.damage;
      const std::size_t positive = static_cast<std::size_t>(std::count_if(
          rows_.begin(), rows_.end(), [](const Row& r) { return r.amount > 0; }));
      if (s.name == "POSITIVE") {
        EXPECT_LE(s.keys, static_cast<std::int64_t>(positive));
      } else {
        EXPECT_EQ(s.keys, static_cast<std::int64_t>(rows_.size())) << s.name;
      }
    }
    const vexel::Table reader = vexel::open(path, {.mode = vexel::OpenMode::read_only});
    EXPECT_EQ(reader.seek("NAME", Upper(rows_[0].name), vexel::SeekMode::prefix),
              std::optional<std::uint32_t>(by_name[static_cast<std::size_t>(
                  std::find_if(by_name.begin(), by_name.end(),
                               [&](std::uint32_t r) { return Upper(rows_[r - 1].name) == Upper(rows_[0].name); }) -
                  by_name.begin())]));
    EXPECT_THROW(reader.seek("AMOUNT", std::string("abc")), vexel::InputError);
    // The same tags read from another .CDX named in place of the structural one.
    std::filesystem::copy_file(dir_.File("fox.cdx"), dir_.File("copy.cdx"));
    const vexel::Table other =
        vexel::open(path, {.mode = vexel::OpenMode::read_only, .index = "copy.cdx"});
    EXPECT_EQ(other.tags().size(), reader.tags().size());
    EXPECT_EQ(other.seek("NAME", Upper(rows_[0].name), vexel::SeekMode::prefix),
              reader.seek("NAME", Upper(rows_[0].name), vexel::SeekMode::prefix));
    std::remove(dir_.File("copy.cdx").c_str());
    std::vector<std::uint32_t> dumped;
    vexel::RecordWalk walk;
    walk.tag = "amount";
    walk.keys = true;
    vexel::read_stored(path, walk, {},
                       {nullptr, [&](const vexel::StoredRecord& r) { dumped.push_back(r.recno); }});
    EXPECT_EQ(dumped, by_amount);
    // Every tag agrees with the records.
    const vexel::TableCheck check = vexel::check_table(path);
    EXPECT_TRUE(check.ok);
    for (const auto& f : check.table) ADD_FAILURE() << f.where << ": " << f.what;
  }
}

// What the index does not agree with is found and named, and mended by writing the .CDX again
// from its tags' definitions; a tag in another collation is walked but not searched; a tag
// that disagrees with the records refuses the edits that would change it.
TEST_F(CdxTest, CheckCollationAndTheEditGuard) {
  const std::string path = Table(40);
  WriteCdx(3, "GENERAL");
  {
    vexel::OpenOptions read;
    read.mode = vexel::OpenMode::read_only;
    vexel::Table t = vexel::open(path, read);
    const std::vector<vexel::TagInfo> tags = t.tags();
    ASSERT_EQ(tags.size(), 4u);
    EXPECT_FALSE(tags[2].searchable);  // NAME
    EXPECT_TRUE(tags[0].searchable);
    EXPECT_EQ(Walked(t.order("NAME")).size(), rows_.size());
    try {
      t.seek("NAME", std::string("ANN"));
      ADD_FAILURE() << "a seek in a GENERAL tag";
    } catch (const vexel::NotSupported& e) {
      EXPECT_NE(std::string(e.what()).find("GENERAL"), std::string::npos) << e.what();
    }
  }
  const vexel::TableCheck collated = vexel::check_table(path);
  EXPECT_TRUE(collated.ok);
  bool noted = false;
  for (const auto& n : collated.notes) noted = noted || n.what.find("GENERAL") != std::string::npos;
  EXPECT_TRUE(noted);
  // Such a tag is not built again in byte order: reindex refuses, naming the collation.
  try {
    vexel::open(path).reindex();
    ADD_FAILURE() << "a GENERAL tag rebuilt";
  } catch (const vexel::Error& e) {
    EXPECT_NE(std::string(e.what()).find("GENERAL collation"), std::string::npos) << e.what();
  }
  // A record changed behind the index's back: its key is found missing and extra.
  WriteCdx(3);
  const std::vector<unsigned char> cdx = vx::test::ReadBytes(dir_.File("fox.cdx"));
  {
    // A leaf that does not read: a walk of its tag fails rather than stopping short.
    std::vector<unsigned char> damaged = cdx;
    const std::uint32_t leaf = vx::test::LastCdxLayout().tag_nodes[0].back();
    damaged[leaf + 2] = 0xF4;
    damaged[leaf + 3] = 1;
    vx::test::WriteBytes(dir_.File("fox.cdx"), damaged);
    vexel::OpenOptions read;
    read.mode = vexel::OpenMode::read_only;
    vexel::Table t = vexel::open(path, read);
    EXPECT_THROW(Walked(t.order("NAME")), vexel::Error);
    EXPECT_THROW(WalkedInBlocks(t.order("NAME")), vexel::Error);
    EXPECT_EQ(Walked(t.order("AMOUNT")).size(), rows_.size());
    vexel::RecordWalk walk;
    walk.tag = "NAME";
    EXPECT_THROW(vexel::read_stored(path, walk, {}, {nullptr, [](const vexel::StoredRecord&) {}}),
                 vexel::Error);
    vx::test::WriteBytes(dir_.File("fox.cdx"), cdx);
  }
  {
    std::vector<unsigned char> table = vx::test::ReadBytes(path);
    table[32 + 32 * 3 + 1 + 263 + 1] = 'Z';
    vx::test::WriteBytes(path, table);
  }
  const vexel::TableCheck stale = vexel::check_table(path, true);
  EXPECT_FALSE(stale.ok);
  bool named = false;
  for (const auto& f : stale.table) {
    named = named || (f.where == "compound index" && f.what.find("tag NAME") != std::string::npos);
  }
  EXPECT_TRUE(named);
  // The repair wrote the .CDX again from its tags' definitions, the old one kept.
  ASSERT_TRUE(stale.repair.has_value());
  EXPECT_EQ(stale.repair->rebuilt,
            (std::vector<std::string>{"AMOUNT", "DAY", "NAME", "POSITIVE"}));
  EXPECT_EQ(vx::test::ReadBytes(dir_.File("fox.cdx.bak")), cdx);
  EXPECT_TRUE(vexel::check_table(path).ok);
  vx::test::WriteBytes(dir_.File("fox.cdx"), cdx);
  // A damaged .CDX: the table still reads, its tags name the damage.
  {
    std::vector<unsigned char> damaged = cdx;
    damaged[12] = 0;  // the directory's key length
    vx::test::WriteBytes(dir_.File("fox.cdx"), damaged);
    vexel::OpenOptions read;
    read.mode = vexel::OpenMode::read_only;
    vexel::Table t = vexel::open(path, read);
    EXPECT_EQ(t.size(), rows_.size());
    EXPECT_FALSE(t.warnings().empty());
    EXPECT_THROW(t.tags(), vexel::Error);
    EXPECT_THROW(vexel::summarize_tags(path), vexel::Error);
    vx::test::WriteBytes(dir_.File("fox.cdx"), cdx);
  }
  // A tag that disagrees with the records refuses the edits that would change it.
  vexel::Table t = vexel::open(path);
  EXPECT_THROW(t.append({{"NAME", std::string("new")}}), vexel::Error);
  EXPECT_EQ(vx::test::ReadBytes(dir_.File("fox.cdx")), cdx);
}

// Random appends, updates of the key fields, deletions and recalls on a table with a 3-tag
// .CDX built by the library (POSITIVE: UPPER(NAME) FOR AMT > 0; ONCE: NAME, unique; AMOUNT:
// AMT, descending): the
// check finds every tag sound and current every 2500 edits, and at the end Perl reads each tag
// in the order a model of the table gives (the unique tag: the record that took each key first
// and still holds it).
TEST_F(CdxTest, RandomEditsKeepEveryTagCurrentAsPerlReadsThem) {
  const std::string path = Table(200);
  // The tags built here, from the records.
  std::remove(dir_.File("fox.cdx").c_str());
  {
    vexel::Table t = vexel::open(path, {.mode = vexel::OpenMode::exclusive});
    t.add_tag({.name = "POSITIVE", .key = "UPPER(NAME)", .for_expr = "AMT > 0"});
    t.add_tag({.name = "ONCE", .key = "NAME", .unique = true});
    t.add_tag({.name = "AMOUNT", .key = "AMT", .descending = true});
  }
  // The unique tag's model: each key's record.
  std::map<std::string, std::uint32_t> holder;
  for (std::size_t i = rows_.size(); i-- > 0;) holder[rows_[i].name] = static_cast<std::uint32_t>(i + 1);
  const auto name_of = [](unsigned n) { return (n % 3 ? "ann" : "Bob") + std::to_string(n); };
  const unsigned seed = 20261210u;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  {
    vexel::Table t = vexel::open(path);
    for (int step = 1; step <= 10000; ++step) {
      const unsigned what = random() % 10;
      const auto recno = static_cast<std::uint32_t>(random() % rows_.size() + 1);
      Row& row = rows_[recno - 1];
      const std::string old_name = row.name;
      if (what < 3) {
        rows_.push_back({name_of(random() % 500), static_cast<double>(random() % 4000) / 4 - 400});
        const auto added = static_cast<std::uint32_t>(rows_.size());
        ASSERT_EQ(t.append({{"NAME", rows_.back().name}, {"AMT", rows_.back().amount}}), added);
        holder.emplace(rows_.back().name, added);
        continue;
      }
      if (what < 5) {
        row.name = name_of(random() % 500);
        t.update(recno, {{"NAME", row.name}});
      } else if (what < 7) {
        row.amount = static_cast<double>(random() % 4000) / 4 - 400;
        t.update(recno, {{"AMT", row.amount}});
      } else if (what < 8) {
        row = {name_of(random() % 500), row.amount + 1, row.year};
        t.update(recno, {{"NAME", row.name}, {"AMT", row.amount}});
      } else if (what < 9) {
        t.remove(recno);
      } else {
        t.recall(recno);
      }
      if (row.name != old_name) {
        const auto it = holder.find(old_name);
        if (it != holder.end() && it->second == recno) holder.erase(it);
        holder.emplace(row.name, recno);
      }
      if (step % 2500 == 0) {
        SCOPED_TRACE("step " + std::to_string(step));
        const vexel::TableCheck c = vexel::check_table(path);
        ASSERT_TRUE(c.ok) << (c.table.empty() ? "" : c.table.front().what);
      }
    }
  }
  if (!vx::test::PerlHasXBase()) GTEST_SKIP() << "Perl's XBase::Index (libdbd-xbase-perl) is not installed";
  using Items = std::vector<std::pair<std::string, std::uint32_t>>;
  Items positive;
  Items once;
  std::vector<std::pair<double, std::uint32_t>> amounts;
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    const auto record = static_cast<std::uint32_t>(i + 1);
    if (rows_[i].amount > 0) positive.emplace_back(Upper(rows_[i].name), record);
    amounts.emplace_back(rows_[i].amount, record);
  }
  for (const auto& [name, record] : holder) once.emplace_back(name, record);
  std::sort(positive.begin(), positive.end());
  std::sort(once.begin(), once.end());
  std::stable_sort(amounts.begin(), amounts.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first || (a.first == b.first && a.second < b.second); });
  Items read;
  ASSERT_TRUE(vx::test::PerlReadsIndex(dir_.File("fox.cdx"), "POSITIVE", "C", dir_.File("perl.txt"), read));
  EXPECT_EQ(read, positive);
  read.clear();
  ASSERT_TRUE(vx::test::PerlReadsIndex(dir_.File("fox.cdx"), "ONCE", "C", dir_.File("perl.txt"), read));
  EXPECT_EQ(read, once);
  read.clear();
  ASSERT_TRUE(vx::test::PerlReadsIndex(dir_.File("fox.cdx"), "AMOUNT", "N", dir_.File("perl.txt"), read));
  ASSERT_EQ(read.size(), amounts.size());
  for (std::size_t i = 0; i < read.size(); ++i) {
    EXPECT_EQ(std::atof(read[i].first.c_str()), amounts[i].first) << i;
    EXPECT_EQ(read[i].second, amounts[i].second) << i;
  }
}

// What an edit may not do to a .CDX, refused before anything is written: a key a candidate tag
// holds for another record, a change of a tag in another collation (naming it; an edit that
// leaves that tag's keys alone goes ahead); and a write of the index that fails half way takes
// the record and the tags changed before it back.
TEST_F(CdxTest, EditsTheIndexCannotTakeAreRefusedOrTakenBack) {
  const std::string path = Table(60);
  std::vector<vx::test::CdxTagShape> shapes(2);
  shapes[0].name = "CODE";
  shapes[0].key_expression = "NAME";
  shapes[0].key_length = 12;
  shapes[0].candidate = true;
  shapes[1].name = "LOCAL";
  shapes[1].key_expression = "UPPER(NAME)";
  shapes[1].key_length = 12;
  shapes[1].collation = "GENERAL";
  // Names made unique for the candidate tag.
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    std::string name = "N" + std::to_string(100 + i);
    rows_[i].name = name;
    name.resize(12, ' ');
    shapes[0].items.emplace_back(name, static_cast<std::uint32_t>(i + 1));
    shapes[1].items.emplace_back(Upper(name), static_cast<std::uint32_t>(i + 1));
  }
  {
    vexel::Table t = vexel::open(path, {.ignore_index = true});
    for (std::size_t i = 0; i < rows_.size(); ++i) {
      t.update(static_cast<std::uint32_t>(i + 1), {{"NAME", rows_[i].name}});
    }
  }
  vx::test::WriteBytes(dir_.File("fox.cdx"), vx::test::BuildCdx(shapes));
  const std::vector<unsigned char> cdx = vx::test::ReadBytes(dir_.File("fox.cdx"));
  const std::vector<unsigned char> table = vx::test::ReadBytes(path);
  vexel::Table t = vexel::open(path);
  const auto refused = [&](const std::function<void()>& edit, const char* says) {
    try {
      edit();
      ADD_FAILURE() << "not refused: " << says;
    } catch (const vexel::Error& e) {
      EXPECT_NE(std::string(e.what()).find(says), std::string::npos) << e.what();
    }
    EXPECT_EQ(vx::test::ReadBytes(dir_.File("fox.cdx")), cdx);
    EXPECT_EQ(vx::test::ReadBytes(path), table);
  };
  refused([&] { t.update(2, {{"NAME", std::string("N100")}}); }, "candidate tag CODE");
  refused([&] { t.append({{"NAME", std::string("N101")}}); }, "candidate tag CODE");
  refused([&] { t.update(2, {{"NAME", std::string("N999")}}); }, "GENERAL collation");
  refused([&] { t.append({{"NAME", std::string("N998")}}); }, "GENERAL collation");
  // The amount is in no tag: the edit goes ahead, the index untouched.
  t.update(2, {{"AMT", 5.5}});
  EXPECT_EQ(vx::test::ReadBytes(dir_.File("fox.cdx")), cdx);
  t.remove(3);
  EXPECT_EQ(vx::test::ReadBytes(dir_.File("fox.cdx")), cdx);
  t.close();
  // Without the GENERAL tag: a write of the .CDX fails at each of an edit's writes in turn.
  shapes.resize(1);
  shapes[0].keys_per_leaf = 4;  // an edit splits leaves and changes branches
  shapes[0].keys_per_branch = 3;
  vx::test::WriteBytes(dir_.File("fox.cdx"), vx::test::BuildCdx(shapes));
  for (int fail_at = 0; fail_at < 8; ++fail_at) {
    SCOPED_TRACE("write " + std::to_string(fail_at + 1));
    const std::vector<unsigned char> records = vx::test::ReadBytes(path);
    vexel::Table u = vexel::open(path);
    // A change taken back puts the same entries back, not always in the same bytes.
    const std::vector<std::uint32_t> before = Walked(u.order("CODE"));
    u.read(1);  // the first edit's whole comparison reads, never writes
    bool failed = false;
    {
      vx::test::FaultInjection faults;
      faults.Fail(vx::test::Call::kWrite, "fox.cdx", 5 /* EIO */, fail_at);
      try {
        u.update(7, {{"NAME", std::string("N1000")}});
      } catch (const vexel::Error& e) {
        failed = true;
        EXPECT_NE(std::string(e.what()).find("put back"), std::string::npos) << e.what();
      }
    }
    if (!failed) break;
    EXPECT_EQ(Walked(u.order("CODE")), before);
    EXPECT_EQ(vx::test::ReadBytes(path), records);
    u.close();
    EXPECT_TRUE(vexel::check_table(path).ok);
  }
  EXPECT_TRUE(vexel::check_table(path).ok);
  vexel::Table v = vexel::open(path);
  EXPECT_EQ(v.seek("CODE", std::string("N1000")), 7u);
  // An append whose key cannot be written: the record is taken back with its keys.
  const std::size_t records = v.size();
  v.close();
  int taken_back = 0;
  for (int fail_at = 0; fail_at < 8; ++fail_at) {
    SCOPED_TRACE("append, write " + std::to_string(fail_at + 1));
    vexel::Table u = vexel::open(path);
    u.read(1);
    bool failed = false;
    {
      vx::test::FaultInjection faults;
      faults.Fail(vx::test::Call::kWrite, "fox.cdx", 5 /* EIO */, fail_at);
      try {
        u.append({{"NAME", std::string("N0500")}});
      } catch (const vexel::Error&) {
        failed = true;
      }
    }
    if (!failed) break;
    ++taken_back;
    EXPECT_EQ(u.size(), records);
    u.close();
    EXPECT_TRUE(vexel::check_table(path).ok);
  }
  EXPECT_GT(taken_back, 0);
  EXPECT_TRUE(vexel::check_table(path).ok);
}

}  // namespace
