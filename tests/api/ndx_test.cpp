// dBASE III .NDX files through the library: two files kept current over many random appends,
// updates, deletions and recalls, then read key for key by Perl's XBase::Index (an independent
// reader, used only as a check; the test skips without it); two processes appending at once;
// and the guard: a stale .NDX refuses the edit, and check --repair mends it.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>
#include <vexel/edit.hpp>
#include <vexel/indexing.hpp>
#include <vexel/inspect.hpp>
#include <vexel/maintenance.hpp>
#include <vexel/vexel.hpp>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

struct Row {
  std::string name;
  double amount = 0;
};

class NdxTest : public ::testing::Test {
 protected:
  std::string Table(int records) {
    const std::string path = dir_.File("people.dbf");
    vexel::CreateOptions create;
    create.version = 0x83;
    vexel::Table t =
        vexel::create(path, {{"NAME", 'C', 12, 0}, {"AMT", 'N', 9, 2}}, create);
    for (int i = 0; i < records; ++i) {
      rows_.push_back({Name(i * 37 % 101), (i * 53 % 200) / 4.0 - 10});
      t.append({{"NAME", rows_.back().name}, {"AMT", rows_.back().amount}});
    }
    t.close();
    vexel::build_ndx(path, "names", "UPPER(NAME)");
    vexel::build_ndx(path, "amounts.ndx", "AMT");
    return path;
  }
  static std::string Name(int n) { return (n % 3 ? "ann" : "Bob") + std::to_string(n); }
  // The items in the order the index's key rules give: key, then record number.
  std::vector<std::pair<std::string, int>> ExpectedNames() const {
    std::vector<std::pair<std::string, int>> out;
    for (std::size_t i = 0; i < rows_.size(); ++i) {
      std::string key = rows_[i].name;
      for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      key.resize(12, ' ');
      out.emplace_back(key, static_cast<int>(i + 1));
    }
    std::sort(out.begin(), out.end());
    return out;
  }
  std::vector<std::pair<double, int>> ExpectedAmounts() const {
    std::vector<std::pair<double, int>> out;
    for (std::size_t i = 0; i < rows_.size(); ++i) {
      out.emplace_back(rows_[i].amount, static_cast<int>(i + 1));
    }
    std::sort(out.begin(), out.end());
    return out;
  }
  // Perl's reading of an .NDX: "key<TAB>record" lines; false when Perl failed.
  bool PerlReads(const std::string& ndx, std::vector<std::pair<std::string, int>>& out) {
    const std::string listing = dir_.File("perl.txt");
    const std::string command =
        "perl -MXBase::Index -e '$i = XBase::Index->new($ARGV[0]) or die XBase::Index->errstr;"
        " $i->prepare_select; while (my ($k, $r) = $i->fetch) { print \"$k\\t$r\\n\" }' " +
        ndx + " > " + listing;
    if (std::system(command.c_str()) != 0) return false;
    std::FILE* f = std::fopen(listing.c_str(), "r");
    if (f == nullptr) return false;
    char line[256];
    while (std::fgets(line, sizeof line, f) != nullptr) {
      std::string text(line);
      const std::size_t tab = text.rfind('\t');
      out.emplace_back(text.substr(0, tab), std::atoi(text.c_str() + tab + 1));
    }
    std::fclose(f);
    return true;
  }
  void ExpectPerlAgrees() {
    std::vector<std::pair<std::string, int>> names;
    std::vector<std::pair<std::string, int>> amounts;
    ASSERT_TRUE(PerlReads(dir_.File("names.NDX"), names));
    ASSERT_TRUE(PerlReads(dir_.File("amounts.ndx"), amounts));
    EXPECT_EQ(names, ExpectedNames());
    const auto expected = ExpectedAmounts();
    ASSERT_EQ(amounts.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
      EXPECT_NEAR(std::atof(amounts[i].first.c_str()), expected[i].first, 1e-9) << i;
      EXPECT_EQ(amounts[i].second, expected[i].second) << i;
    }
  }
  static bool PerlHasXBase() { return std::system("perl -MXBase::Index -e 1 2>/dev/null") == 0; }

  vx::test::TempDir dir_;
  std::vector<Row> rows_;
};

// Random appends, updates of the key fields (one, the other or both) and deletion marks: both
// files stay sound and agree with the table after every thousand edits; at the end Perl reads
// them in the order of a model of the table.
// A Table opened with .NDX files lists each as a tag named by its file name and seeks in it in
// every mode as a model of its keys says, and walks its order; a shared Table's seek sees its
// own edits at once; a key of another type is refused.
TEST_F(NdxTest, ATableSeeksInItsNdxFilesByTheirFileNames) {
  const std::string path = Table(60);
  const std::vector<std::pair<std::string, int>> names = ExpectedNames();
  // The first item at or after `key` (its first key.size() bytes, padded when exact) and
  // whether it is the key sought.
  const auto model = [&](std::string key, vexel::SeekMode mode) -> std::optional<std::uint32_t> {
    if (mode == vexel::SeekMode::exact) key.resize(12, ' ');
    const auto at = std::find_if(names.begin(), names.end(),
                                 [&](const auto& item) { return item.first >= key; });
    if (at == names.end()) return std::nullopt;
    if (mode != vexel::SeekMode::soft && at->first.compare(0, key.size(), key) != 0) {
      return std::nullopt;
    }
    return static_cast<std::uint32_t>(at->second);
  };
  for (const vexel::OpenMode open_mode : {vexel::OpenMode::read_only, vexel::OpenMode::shared}) {
    SCOPED_TRACE(static_cast<int>(open_mode));
    vexel::Table t =
        vexel::open(path, {.mode = open_mode, .ndx_files = {"names", "amounts.ndx"}});
    const std::vector<vexel::TagInfo> tags = t.tags();
    ASSERT_EQ(tags.size(), 2u);
    EXPECT_EQ(std::tie(tags[0].name, tags[0].key, tags[0].key_type),
              std::make_tuple(std::string("names.NDX"), std::string("UPPER(NAME)"), 'C'));
    EXPECT_EQ(std::tie(tags[1].name, tags[1].key_type),
              std::make_tuple(std::string("amounts.ndx"), 'N'));
    const std::string some = names[17].first.substr(0, names[17].first.find(' '));
    const struct {
      std::string key;
      vexel::SeekMode mode;
    } kCases[] = {{some, vexel::SeekMode::exact},     {some.substr(0, 4), vexel::SeekMode::exact},
                  {some.substr(0, 4), vexel::SeekMode::prefix}, {"ANN", vexel::SeekMode::prefix},
                  {"AZ", vexel::SeekMode::prefix},    {"AZ", vexel::SeekMode::soft},
                  {"ZZ", vexel::SeekMode::soft},      {"", vexel::SeekMode::prefix}};
    for (const auto& c : kCases) {
      SCOPED_TRACE(c.key + " mode " + std::to_string(static_cast<int>(c.mode)));
      EXPECT_EQ(t.seek("NAMES.ndx", c.key, c.mode), model(c.key, c.mode));
    }
    // Numbers: the lowest record of an amount; between two amounts a soft seek finds the next.
    const double amount = rows_[9].amount;
    std::uint32_t first = 0;
    double next_higher = 1e9;
    for (std::size_t i = rows_.size(); i-- > 0;) {
      if (rows_[i].amount == amount) first = static_cast<std::uint32_t>(i + 1);
      if (rows_[i].amount > amount + 0.1) next_higher = std::min(next_higher, rows_[i].amount);
    }
    EXPECT_EQ(t.seek("amounts.ndx", amount), first);
    const std::optional<vexel::Record> found =
        t.find("amounts.ndx", amount + 0.1, vexel::SeekMode::soft);
    ASSERT_TRUE(found);
    EXPECT_EQ((*found)["AMT"], vexel::Value(next_higher));
    EXPECT_EQ(t.seek("amounts.ndx", amount + 0.1), std::nullopt);
    EXPECT_THROW(t.seek("amounts.ndx", std::string("abc")), vexel::InputError);
    // Orders: the whole file in its key order, and a range of amounts.
    std::vector<std::uint32_t> walked;
    for (const vexel::Record& r : t.order("names.ndx")) walked.push_back(r.recno());
    std::vector<std::uint32_t> by_name;
    for (const auto& item : names) by_name.push_back(static_cast<std::uint32_t>(item.second));
    EXPECT_EQ(walked, by_name);
    std::multiset<double> in_range;
    for (const vexel::Record& r : t.order("amounts.ndx", 0.0, amount)) {
      in_range.insert(std::get<double>(r["AMT"]));
    }
    std::multiset<double> expected_range;
    for (const Row& row : rows_) {
      if (row.amount >= 0 && row.amount <= amount) expected_range.insert(row.amount);
    }
    EXPECT_EQ(in_range, expected_range);
    if (open_mode == vexel::OpenMode::shared) {
      t.update(5, {{"NAME", "zz top"}});
      EXPECT_EQ(t.seek("names.ndx", std::string("ZZ TOP")), 5u);
    }
  }
}

TEST_F(NdxTest, RandomEditsKeepBothFilesCurrentAsPerlReadsThem) {
  const std::string path = Table(200);
  vexel::OpenOptions open;
  open.ndx_files = {"names", dir_.File("amounts.ndx")};
  const unsigned seed = 20241210u;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  {
    vexel::Table t = vexel::open(path, open);
    for (int step = 1; step <= 10000; ++step) {
      const unsigned what = random() % 10;
      const auto recno = static_cast<std::uint32_t>(random() % rows_.size() + 1);
      Row& row = rows_[recno - 1];
      if (what < 3) {
        rows_.push_back({Name(static_cast<int>(random() % 500)),
                         static_cast<double>(random() % 4000) / 4 - 400});
        ASSERT_EQ(t.append({{"NAME", rows_.back().name}, {"AMT", rows_.back().amount}}),
                  rows_.size());
      } else if (what < 5) {
        row.name = Name(static_cast<int>(random() % 500));
        t.update(recno, {{"NAME", row.name}});
      } else if (what < 7) {
        row.amount = static_cast<double>(random() % 4000) / 4 - 400;
        t.update(recno, {{"AMT", row.amount}});
      } else if (what < 8) {
        row = {Name(static_cast<int>(random() % 500)), row.amount + 1};
        t.update(recno, {{"NAME", row.name}, {"AMT", row.amount}});
      } else if (what < 9) {
        t.remove(recno);
      } else {
        t.recall(recno);
      }
      if (step % 2500 == 0) {
        for (const char* ndx : {"names", "amounts"}) {
          const vexel::NdxCheck c = vexel::check_ndx(path, ndx);
          ASSERT_TRUE(c.ok()) << ndx << " after " << step << ": " << c.problems.front();
        }
      }
    }
  }
  if (!PerlHasXBase()) GTEST_SKIP() << "Perl's XBase::Index (libdbd-xbase-perl) is not installed";
  ExpectPerlAgrees();
}

// Two processes append to the table and change records of their own at once, each naming both
// files: every record is in each file once with its key, in order, as Perl reads them.
TEST_F(NdxTest, TwoProcessesAppendingKeepTheFilesSound) {
  const std::string path = Table(5);
  const auto writer = [&](int base) {
    return [&, base](vx::test::Child& child) {
      vexel::OpenOptions open;
      open.ndx_files = {"names", "amounts"};
      open.lock_retries = 255;
      open.lock_wait_ms = 50;
      vexel::Table t = vexel::open(path, open);
      child.Send();
      child.Receive();
      try {
        for (int i = 0; i < 150; ++i) {
          t.append({{"NAME", Name(base + i)}, {"AMT", static_cast<double>(base + i)}});
          // Records of its own, under their record locks: only the index lock keeps the two
          // processes' changes of the files apart.
          const auto own = static_cast<std::uint32_t>(base == 1000 ? 1 + i % 2 : 3 + i % 3);
          t.update(own, {{"NAME", Name(base + 500 + i)}, {"AMT", static_cast<double>(i)}});
        }
      } catch (const std::exception& e) {
        std::fprintf(stderr, "writer %d: %s\n", base, e.what());
        return 1;
      }
      return 0;
    };
  };
  {
    vx::test::Child one(writer(1000));
    vx::test::Child two(writer(2000));
    ASSERT_EQ(one.Receive(), '.');
    ASSERT_EQ(two.Receive(), '.');
    one.Send();
    two.Send();
    ASSERT_EQ(one.Wait(120), 0);
    ASSERT_EQ(two.Wait(120), 0);
  }
  // The model: the records as the table holds them now.
  vexel::Table t = vexel::open(path, {});
  rows_.clear();
  for (const vexel::Record& r : t.scan()) {
    rows_.push_back({r.text("NAME"), std::get<double>(r["AMT"])});
  }
  t.close();
  EXPECT_EQ(rows_.size(), 305u);
  for (const char* ndx : {"names", "amounts"}) {
    const vexel::NdxCheck c = vexel::check_ndx(path, ndx);
    EXPECT_TRUE(c.ok()) << ndx << ": " << (c.ok() ? "" : c.problems.front());
  }
  if (!PerlHasXBase()) GTEST_SKIP() << "Perl's XBase::Index (libdbd-xbase-perl) is not installed";
  ExpectPerlAgrees();
}

// An edit made without naming a file leaves it stale; the next edit that names it is refused
// before anything is written, the check reports it, and the repair rebuilds it; pack builds
// the files it is given again.
TEST_F(NdxTest, AStaleFileRefusesEditsUntilRepaired) {
  const std::string path = Table(30);
  vexel::set_fields(path, 3, {{"NAME", "zz top"}});
  vexel::OpenOptions open;
  open.ndx_files = {"names"};
  {
    vexel::Table t = vexel::open(path, open);
    try {
      t.update(4, {{"NAME", "changed"}});
      ADD_FAILURE() << "the edit was not refused";
    } catch (const vexel::Error& e) {
      EXPECT_EQ(e.code(), 222);
      EXPECT_NE(std::string(e.what()).find("does not agree"), std::string::npos) << e.what();
    }
    EXPECT_EQ(t.read(4).text("NAME"), rows_[3].name);
  }
  vexel::NdxCheck found = vexel::check_ndx(path, "names");
  EXPECT_FALSE(found.ok());
  EXPECT_EQ(found.key, "UPPER(NAME)");
  found = vexel::check_ndx(path, "names", true);
  EXPECT_TRUE(found.rebuilt);
  EXPECT_TRUE(vexel::check_ndx(path, "names").ok());
  vexel::Table t = vexel::open(path, open);
  t.update(4, {{"NAME", "changed"}});
  rows_[2].name = "zz top";
  rows_[3].name = "changed";
  t.close();
  EXPECT_TRUE(vexel::check_ndx(path, "names").ok());
  // pack builds the files it is given again after the records move.
  {
    vexel::Table u = vexel::open(path, open);
    u.remove(1);
  }
  vexel::OpenOptions pack;
  pack.ndx_files = {"names"};
  EXPECT_EQ(vexel::pack_table(path, {}, pack).removed, 1u);
  EXPECT_TRUE(vexel::check_ndx(path, "names").ok());
  rows_.erase(rows_.begin());
  // The library walks and searches the file.
  const vexel::Table reader =
      vexel::open(path, {.mode = vexel::OpenMode::read_only, .ndx_files = {"names"}});
  EXPECT_EQ(reader.seek("names.ndx", std::string("ZZ"), vexel::SeekMode::prefix), 2u);
  EXPECT_EQ(reader.seek("NAMES.NDX", std::string("ZY"), vexel::SeekMode::prefix), std::nullopt);
  const std::vector<vexel::TagSummary> s = vexel::summarize_tags(path, "names.ndx");
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].keys, 29);
  EXPECT_EQ(s[0].key, "UPPER(NAME)");
  // A walk in the file's order that meets damage fails, rather than giving the records before it.
  std::vector<unsigned char> bytes = vx::test::ReadBytes(dir_.File("names.NDX"));
  bytes[512] = 200;  // the first leaf counts more keys than a node holds
  vx::test::WriteBytes(dir_.File("names.NDX"), bytes);
  vexel::RecordWalk walk;
  walk.index = "names.ndx";
  std::size_t walked = 0;
  EXPECT_THROW(vexel::read_stored(path, walk, {},
                                  {nullptr, [&](const vexel::StoredRecord&) { ++walked; }}),
               vexel::Error);
  EXPECT_EQ(walked, 0u);
}

}  // namespace
