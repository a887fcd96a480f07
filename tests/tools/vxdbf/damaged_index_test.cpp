// Edits of a table whose production index is damaged: an index that cannot be read, or a damaged
// way down in a tag the edit changes, refuses the edit before any byte is written; a write that
// fails after the record went out puts the record back. check sees pages that tags share, and
// repair rebuilds what the damaged headers still tell. Every file is built by the test and
// damaged byte by byte.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "engine/index/mdx_format.h"
#include "engine/startup/engine_startup.h"
#include "engine/workarea/work_areas.h"
#include "tests/support/fault_injection.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/vxdbf/run_vxdbf.h"

namespace vx::tool {
namespace {

using Bytes = std::vector<unsigned char>;

std::uint32_t Le32(const Bytes& b, std::size_t at) { return GetLe32(b.data() + at); }
void Put32(Bytes& b, std::size_t at, std::uint32_t v) { PutLe32(b.data() + at, v); }
std::uint32_t HeaderPage(const Bytes& mdx, int tag) { return Le32(mdx, 512 + 32 * tag); }
std::uint32_t RootPage(const Bytes& mdx, int tag) { return Le32(mdx, HeaderPage(mdx, tag) * 512); }

// An edit and its standard input.
struct Edit {
  std::vector<std::string> args;
  std::string input;
};

class DamagedIndexTest : public ::testing::Test {
 protected:
  // T.DBF (NAME C 12, CITY C 10, N N 5) with 20 records and the tags NAME (UPPER(NAME)), CITY
  // (unique), WIDE (100-byte keys: 9 a node, so two levels) and NUM (N).
  void SetUp() override {
    InitEngine();
    table_ = dir_.File("T.DBF");
    ASSERT_EQ(
        Run({"create", table_, "--field", "NAME,C,12", "--field", "CITY,C,10", "--field", "N,N,5"}),
        0);
    std::string rows = "NAME,CITY,N\n";
    for (int i = 0; i < 20; ++i) {
      rows += "n" + std::to_string((i * 7) % 20) + "," + (i % 2 ? "Paris" : "Rome") + "," +
              std::to_string(i) + "\n";
    }
    ASSERT_EQ(Vxdbf({"append", table_}, rows).status, 0);
    ASSERT_EQ(Run({"index", table_, "--tag", "NAME", "--key", "UPPER(NAME)"}), 0);
    ASSERT_EQ(Run({"index", table_, "--tag", "CITY", "--key", "CITY", "--unique"}), 0);
    ASSERT_EQ(Run({"index", table_, "--tag", "WIDE", "--key", "NAME+SPACE(88)"}), 0);
    ASSERT_EQ(Run({"index", table_, "--tag", "NUM", "--key", "N"}), 0);
    ASSERT_EQ(Run({"check", table_}), 0);
    dbf_ = test::ReadBytes(table_);
    mdx_ = test::ReadBytes(Mdx());
  }

  static int Run(const std::vector<std::string>& args) { return Vxdbf(args).status; }
  std::string Mdx() const { return dir_.File("T.MDX"); }
  void Restore(const Bytes& mdx) {
    test::WriteBytes(table_, dbf_);
    test::WriteBytes(Mdx(), mdx);
  }
  // Runs an edit on the files as set up with write `skip` of `file` failing (`times` writes in a
  // row; at `offset` only, when given); `fired` tells how many failed.
  Result WithFailingWrite(const Edit& edit, const char* file, int skip, int& fired, int times = 1,
                          std::uint64_t offset = test::FaultInjection::kAnyOffset) {
    Restore(mdx_);
    test::FaultInjection faults;
    faults.Fail(test::Call::kWrite, file, EIO, skip, times, offset);
    Result r = Vxdbf(edit.args, edit.input);
    fired = faults.fired();
    return r;
  }
  // The four edits: an append (a key in every tag), a set that changes the keys of NAME, WIDE
  // and NUM (the new keys are the highest), and the deletion marks (no key changes).
  std::vector<Edit> Edits() const {
    return {{{"append", table_}, "NAME,CITY,N\nzz,Oslo,77\n"},
            {{"set", table_, "3", "N=99", "NAME=zz"}, ""},
            {{"delete", table_, "3"}, ""},
            {{"recall", table_, "3"}, ""}};
  }

  std::string table_;
  Bytes dbf_, mdx_;
  test::TempDir dir_;
};

TEST_F(DamagedIndexTest, AnIndexThatCannotBeReadRefusesEveryEditUnlessIgnoreIndex) {
  Bytes version = mdx_;
  version[0] = 3;
  Bytes node_size = mdx_;
  node_size[20] = 0x29;
  Bytes too_many = mdx_;
  too_many[28] = 48;
  const Bytes cut(mdx_.begin(), mdx_.begin() + 2048);
  const std::vector<std::pair<const char*, Bytes>> damages = {
      {"version", version}, {"node size", node_size}, {"48 tags", too_many}, {"2048 bytes", cut}};
  for (const auto& [name, damaged] : damages) {
    for (const Edit& edit : Edits()) {
      SCOPED_TRACE(edit.args[0] + ", " + name);
      Restore(damaged);
      const Result refused = Vxdbf(edit.args, edit.input);
      EXPECT_EQ(refused.status, 1) << refused.err;
      EXPECT_NE(refused.err.find("nothing was changed"), std::string::npos) << refused.err;
      EXPECT_EQ(test::ReadBytes(table_), dbf_);
      std::vector<std::string> forced = edit.args;
      forced.push_back("--ignore-index");
      const Result done = Vxdbf(forced, edit.input);
      EXPECT_EQ(done.status, 0) << done.err;
      EXPECT_NE(done.err.find("cannot be read"), std::string::npos) << done.err;
    }
  }
}

// A damaged way down in a tag the edit changes: refused with the page named, neither file
// changed. The damage is in NUM (tag 4) or WIDE (tag 3), which every edit below changes.
TEST_F(DamagedIndexTest, ADamagedWayDownRefusesTheEditWithThePageNamed) {
  const std::uint32_t pages = static_cast<std::uint32_t>(mdx_.size() / 512);
  struct Damage {
    const char* name;
    Bytes mdx;
    std::string named;
  };
  std::vector<Damage> damages;
  {
    Bytes b = mdx_;
    Put32(b, HeaderPage(b, 4) * 512, 200);
    damages.push_back({"root past the file", b, "page 200: a node past the end of the file"});
  }
  {
    Bytes b = mdx_;
    Put32(b, HeaderPage(b, 4) * 512, HeaderPage(b, 2));
    damages.push_back({"root on a tag header", b,
                       "page " + std::to_string(HeaderPage(b, 2)) + ": a node on the tag header"});
  }
  {
    Bytes b = mdx_;
    Put32(b, RootPage(b, 4) * 512, 200);
    damages.push_back({"count above the maximum", b,
                       "page " + std::to_string(RootPage(b, 4)) + ": key count 200 above"});
  }
  {
    // WIDE's root (a branch) copied to the end of the file and named as its last child: the
    // highest keys' leaves are one level deeper than the first leaf.
    Bytes b = mdx_;
    const std::uint32_t root = RootPage(b, 3);
    ASSERT_NE(Le32(b, root * 512 + 8 + 1 * 104), 0u);  // a branch of at least two children
    b.insert(b.end(), mdx_.begin() + root * 512, mdx_.begin() + root * 512 + 1024);
    const std::uint32_t count = Le32(b, root * 512);
    Put32(b, root * 512 + 8 + count * 104, pages);
    Put32(b, 32, pages + 2);
    damages.push_back({"leaf at the wrong depth", b, "a leaf at depth 2, the first leaf is at"});
  }
  for (const Damage& d : damages) {
    for (const Edit& edit : {Edits()[0], Edits()[1]}) {
      SCOPED_TRACE(std::string(d.name) + ", " + edit.args[0]);
      Restore(d.mdx);
      const Result refused = Vxdbf(edit.args, edit.input);
      EXPECT_EQ(refused.status, 1);
      EXPECT_NE(refused.err.find(d.named), std::string::npos) << refused.err;
      EXPECT_EQ(test::ReadBytes(table_), dbf_);
      EXPECT_EQ(test::ReadBytes(Mdx()), d.mdx);
    }
  }
}

// Damage off the way an edit goes down, in a tag the edit changes: the first edit reads the
// tags whole and refuses, naming the tag; an edit that changes only sound tags goes ahead.
TEST_F(DamagedIndexTest, DamageOffTheWayDownRefusesEditsOfThatTagOnly) {
  const std::uint32_t pages = static_cast<std::uint32_t>(mdx_.size() / 512);
  struct Damage {
    const char* name;
    Bytes mdx;
    std::string tag;  // the damaged tag
  };
  std::vector<Damage> damages;
  {
    // WIDE's first child pointer names its second leaf: that leaf is reached twice, the first
    // leaf not at all. An append goes down the last child.
    Bytes b = mdx_;
    const std::uint32_t root = RootPage(b, 3);
    Put32(b, root * 512 + 8, Le32(b, root * 512 + 8 + 104));
    damages.push_back({"a leaf reached twice", b, "WIDE"});
  }
  {
    // CITY (unique) holds PARIS twice.
    Bytes b = mdx_;
    const std::uint32_t leaf = RootPage(b, 2) * 512;
    ASSERT_EQ(Le32(b, leaf), 2u);
    std::memcpy(&b[leaf + 8 + 16 + 4], &b[leaf + 8 + 4], 10);
    damages.push_back({"a unique key twice", b, "CITY"});
  }
  {
    // The page counter at NUM's root (the last node, before its tag header): a program
    // allocating at the counter would write over it.
    Bytes b = mdx_;
    ASSERT_EQ(RootPage(b, 4), pages - 4);
    Put32(b, 32, pages - 4);
    damages.push_back({"a node past the page counter", b, "NUM"});
  }
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.name);
    Restore(d.mdx);
    const Result check = Vxdbf({"check", table_});
    EXPECT_EQ(check.status, 4);
    EXPECT_NE(check.out.find("tag " + d.tag + ": "), std::string::npos) << check.out;
    const Result refused = Vxdbf(Edits()[0].args, Edits()[0].input);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("[tag: " + d.tag + "]"), std::string::npos) << refused.err;
    EXPECT_EQ(test::ReadBytes(table_), dbf_);
    EXPECT_EQ(test::ReadBytes(Mdx()), d.mdx);
    // Record 1 (n0, Rome): a new NAME changes NAME and WIDE, a new CITY changes CITY.
    const Result other = Vxdbf({"set", table_, "1", d.tag == "CITY" ? "NAME=n0b" : "CITY=Oslo"});
    EXPECT_EQ(other.status, 0) << other.err;
  }
}

// Items whose keys their records do not have (record numbers swapped in a leaf, a record
// changed behind the index's back): an edit that changes such a tag is refused with the tag
// named and nothing written; one that changes only sound tags goes ahead. A unique tag that
// lacks a key because the record that held it changed is no damage.
TEST_F(DamagedIndexTest, KeysThatDoNotMatchTheirRecordsRefuseEditsOfThatTag) {
  const std::size_t header = dbf_[8] | dbf_[9] << 8;
  const std::size_t length = dbf_[10] | dbf_[11] << 8;
  // A field of record n (NAME at 1, CITY at 13, N at 23) set in the table's bytes alone.
  const auto with_field = [&](int n, std::size_t at, const std::string& text) {
    Bytes b = dbf_;
    std::memcpy(&b[header + (n - 1) * length + at], text.data(), text.size());
    return b;
  };
  struct Damage {
    const char* name;
    Bytes dbf, mdx;
    const char* tag;       // the tag check calls damaged (empty: none)
    Edit changes_it;       // an edit that changes that tag
    Edit changes_another;  // one that changes only sound tags
  };
  Bytes swapped = mdx_;
  const std::uint32_t leaf = RootPage(swapped, 1) * 512;
  ASSERT_GE(Le32(swapped, leaf), 2u);  // NAME's root is a leaf of 16-byte items
  const std::uint32_t first = Le32(swapped, leaf + 8);
  Put32(swapped, leaf + 8, Le32(swapped, leaf + 8 + 16));
  Put32(swapped, leaf + 8 + 16, first);
  const Edit set_n{{"set", table_, "1", "N=55"}, ""};
  const Edit set_name{{"set", table_, "1", "NAME=n0b"}, ""};
  const Edit set_city{{"set", table_, "1", "CITY=Oslo"}, ""};
  const std::vector<Damage> damages = {
      {"record numbers swapped in a leaf", dbf_, swapped, "NAME", set_name, set_n},
      {"a number changed behind the index", with_field(5, 23, "   44"), mdx_, "NUM", set_n,
       set_city},
      {"the unique key's record changed", with_field(2, 13, "Lima      "), mdx_, "CITY", set_city,
       set_n},
      {"a unique key whose record never held it", with_field(4, 13, "Lima      "), mdx_, "",
       set_city, set_n},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.name);
    test::WriteBytes(table_, d.dbf);
    test::WriteBytes(Mdx(), d.mdx);
    const Result check = Vxdbf({"check", table_});
    if (*d.tag == 0) {
      EXPECT_EQ(check.status, 0) << check.out;
      const Result done = Vxdbf(d.changes_it.args);
      EXPECT_EQ(done.status, 0) << done.err;
      continue;
    }
    EXPECT_EQ(check.status, 4);
    EXPECT_NE(check.out.find("tag " + std::string(d.tag) + ": "), std::string::npos) << check.out;
    for (const Edit& edit : {Edits()[0], d.changes_it}) {
      SCOPED_TRACE(edit.args[0]);
      const Result refused = Vxdbf(edit.args, edit.input);
      EXPECT_EQ(refused.status, 1);
      EXPECT_NE(refused.err.find("[tag: " + std::string(d.tag) + "]"), std::string::npos)
          << refused.err;
      EXPECT_EQ(test::ReadBytes(table_), d.dbf);
      EXPECT_EQ(test::ReadBytes(Mdx()), d.mdx);
    }
    const Result other = Vxdbf(d.changes_another.args);
    EXPECT_EQ(other.status, 0) << other.err;
  }
}

// A file cut short: NUM's root lies past the end, below the header's page counter. Splits in
// the sound tags take new pages at the counter, not at the end of the file where NUM still
// names its root: check finds nothing it did not find before.
TEST_F(DamagedIndexTest, SplitsInACutFileDoNotTakeTheCutPages) {
  Bytes cut = mdx_;
  const auto pages = static_cast<std::uint32_t>(mdx_.size() / 512);
  Put32(cut, HeaderPage(cut, 4) * 512, pages);
  Put32(cut, 32, pages + 2);
  Restore(cut);
  const Result before = Vxdbf({"check", table_});
  ASSERT_EQ(before.status, 4);
  ASSERT_NE(before.out.find("tag NUM: page " + std::to_string(pages)), std::string::npos)
      << before.out;
  for (int record = 1; record <= 12; ++record) {
    // The highest keys of NAME and WIDE: WIDE's last leaf fills and splits.
    const std::string name = "zz" + std::to_string(10 + record);
    ASSERT_EQ(Vxdbf({"set", table_, std::to_string(record), "NAME=" + name}).status, 0);
  }
  EXPECT_GT(test::ReadBytes(Mdx()).size(), mdx_.size());
  // The cut pages read as zeros now (an empty root): a problem may go, none may come.
  const Result after = Vxdbf({"check", table_});
  std::istringstream lines(after.out);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_NE(before.out.find(line + "\n"), std::string::npos) << line;
  }
}

// A failed write of the index after the record went out: the tags already changed get their
// items back and the record is put back, so that check finds the files as they were. Every write
// of each edit fails once, in turn.
TEST_F(DamagedIndexTest, AFailedIndexWriteAfterTheRecordPutsTheRecordBack) {
  for (const Edit& edit : {Edits()[0], Edits()[1]}) {
    int failures = 0;
    for (int skip = 0;; ++skip) {
      SCOPED_TRACE(edit.args[0] + ", write " + std::to_string(skip));
      int fired = 0;
      const Result r = WithFailingWrite(edit, "T.MDX", skip, fired);
      if (fired == 0) {
        EXPECT_EQ(r.status, 0) << r.err;
        break;
      }
      ++failures;
      EXPECT_EQ(r.status, 1) << r.err;
      EXPECT_NE(r.err.find("the record was put back as it was"), std::string::npos) << r.err;
      EXPECT_EQ(test::ReadBytes(table_), dbf_);
      if (r.err.find("may be damaged") == std::string::npos) {
        const Result check = Vxdbf({"check", table_});
        EXPECT_EQ(check.status, 0) << check.out;
      }
    }
    EXPECT_GT(failures, 0);
  }
  // The record's own write failing writes nothing at all.
  test::FaultInjection faults;
  const std::uint64_t record3 = 32 + 3 * 32 + 1 + 2 * 28;
  faults.Fail(test::Call::kWrite, "T.DBF", EIO, 0, 1, record3);
  Restore(mdx_);
  EXPECT_EQ(Vxdbf(Edits()[1].args).status, 1);
  EXPECT_EQ(faults.fired(), 1);
  EXPECT_EQ(test::ReadBytes(Mdx()), mdx_);
}

// A batch of appends (one vxdbf append of many rows) writes its keys when it ends, sorted,
// each changed page once. A write of the index failing then (every write in turn, and once with
// the put-back failing too), or the write of the waiting records: every record of the batch is
// taken back and the index holds what it held, byte for byte; where the put-back failed the
// message says so and --repair mends the index. Without a fault the unique tag keeps the first
// of equal keys, as appends one by one do.
TEST_F(DamagedIndexTest, AFailedWriteAtABatchsEndTakesBackItsRecords) {
  std::string rows = "NAME,CITY,N\n";
  for (int i = 0; i < 60; ++i) {
    rows += "b" + std::to_string((i * 37) % 60) + "," + (i % 3 ? "Oslo" : "Lima") + "," +
            std::to_string(100 + i) + "\n";
  }
  Restore(mdx_);
  ASSERT_EQ(Vxdbf({"append", table_}, rows).status, 0);
  EXPECT_EQ(Run({"check", table_}), 0);
  // Records 21 (Lima) and 22 (Oslo) came first among the batch's equal cities.
  EXPECT_EQ(Vxdbf({"seek", table_, "--tag", "CITY", "Lima"}).out, "21\n");
  EXPECT_EQ(Vxdbf({"seek", table_, "--tag", "CITY", "Oslo"}).out, "22\n");

  struct Fault {
    const char* file;
    int times;  // 2: the put-back of the index fails too
    std::uint64_t offset = test::FaultInjection::kAnyOffset;
  };
  // The batch's records wait behind and go to the disk in one write, at record 21.
  const std::uint64_t record21 = 32 + 3 * 32 + 1 + 20 * 28;
  for (const Fault& fault :
       {Fault{"T.MDX", 1}, Fault{"T.MDX", 2}, Fault{"T.DBF", 1, record21}}) {
    int failures = 0;
    for (int skip = 0;; ++skip) {
      SCOPED_TRACE(std::string(fault.file) + " x" + std::to_string(fault.times) + ", write " +
                   std::to_string(skip));
      int fired = 0;
      const Result r =
          WithFailingWrite({{"append", table_}, rows}, fault.file, skip, fired, fault.times,
                           fault.offset);
      if (fired == 0) {
        EXPECT_EQ(r.status, 0) << r.err;
        break;
      }
      ++failures;
      EXPECT_EQ(r.status, 1) << r.err;
      // A run slower than the bracket's hold (50 ms: sanitizers, a loaded machine) lets the
      // bracket go between rows: the rows written before that stay, as the message says, and
      // only the rest are taken back.
      if (r.err.find("rows before it were appended") != std::string::npos) {
        if (r.err.find("may be damaged") != std::string::npos) {
          Vxdbf({"check", table_, "--repair"});
        }
        EXPECT_EQ(Run({"check", table_}), 0) << r.err;
        Restore(mdx_);
        continue;
      }
      EXPECT_EQ(test::ReadBytes(table_), dbf_);
      EXPECT_NE(r.err.find("no row was appended"), std::string::npos) << r.err;
      if (r.err.find("may be damaged") == std::string::npos) {
        EXPECT_EQ(test::ReadBytes(Mdx()), mdx_);
      } else {
        EXPECT_EQ(fault.times, 2) << r.err;
        Vxdbf({"check", table_, "--repair"});
      }
      EXPECT_EQ(Run({"check", table_}), 0);
    }
    EXPECT_GT(failures, 0);
  }
}

// Two tag-table entries naming one tag header, a node reached from two tags, a node on a tag
// header's page: check names each; the edit is refused.
TEST_F(DamagedIndexTest, CheckSeesPagesThatTagsShare) {
  struct Damage {
    const char* name;
    Bytes mdx;
    std::string found;
  };
  std::vector<Damage> damages;
  {
    Bytes b = mdx_;
    Put32(b, 512 + 32 * 4, HeaderPage(b, 2));
    damages.push_back({"one header, two entries", b,
                       "tag NUM: its tag header (page " + std::to_string(HeaderPage(b, 2)) +
                           ") is the tag header of tag CITY"});
  }
  {
    Bytes b = mdx_;
    Put32(b, HeaderPage(b, 4) * 512, RootPage(b, 2));
    damages.push_back({"one root, two tags", b, "node also reached from tag CITY"});
  }
  {
    Bytes b = mdx_;
    Put32(b, HeaderPage(b, 4) * 512, HeaderPage(b, 1));
    damages.push_back({"a root on a tag header", b, "a tree node on the tag header of tag NAME"});
  }
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.name);
    Restore(d.mdx);
    const Result found = Vxdbf({"check", table_});
    EXPECT_EQ(found.status, 4);
    EXPECT_NE(found.out.find(d.found), std::string::npos) << found.out;
    EXPECT_EQ(Vxdbf(Edits()[0].args, Edits()[0].input).status, 1);
    EXPECT_EQ(test::ReadBytes(table_), dbf_);
  }
}

// Repair builds a tag again from what its damaged header still tells (its expressions), under
// its own name and number; a tag with no readable definition is dropped and named; when no tag
// can be built the old file stays, as the reader would refuse an index without tags.
TEST_F(DamagedIndexTest, RepairRebuildsFromWhatSurvives) {
  Bytes key_length = mdx_;
  key_length[HeaderPage(key_length, 2) * 512 + 12] = 41;  // CITY: 10 -> 41
  Restore(key_length);
  Result repaired = Vxdbf({"check", table_, "--repair"});
  EXPECT_EQ(repaired.status, 4);
  EXPECT_NE(repaired.err.find("rebuilt tag(s) CITY"), std::string::npos) << repaired.err;
  EXPECT_EQ(Run({"check", table_}), 0);
  Result tags = Vxdbf({"tags", table_});
  EXPECT_NE(tags.out.find("CITY       C  10 unique"), std::string::npos) << tags.out;
  EXPECT_LT(tags.out.find("NAME"), tags.out.find("CITY"));
  EXPECT_LT(tags.out.find("CITY"), tags.out.find("WIDE"));

  Bytes lost = mdx_;
  Put32(lost, 512 + 32 * 3, 5000);  // WIDE's header page lies past the file
  Restore(lost);
  repaired = Vxdbf({"check", table_, "--repair"});
  EXPECT_NE(repaired.err.find("not repaired: tag WIDE: its definition cannot be read"),
            std::string::npos)
      << repaired.err;
  EXPECT_EQ(Run({"check", table_}), 0);
  tags = Vxdbf({"tags", table_});
  EXPECT_EQ(tags.out.find("WIDE"), std::string::npos) << tags.out;
  EXPECT_NE(tags.out.find("NUM"), std::string::npos) << tags.out;

  // A file header the reader refuses: the tags behind it are built into a new file.
  for (const auto& [offset, value] : {std::pair<int, int>{0, 3}, {20, 0x29}, {26, 0}}) {
    SCOPED_TRACE(offset);
    Bytes header = mdx_;
    header[offset] = static_cast<unsigned char>(value);
    Restore(header);
    repaired = Vxdbf({"check", table_, "--repair"});
    EXPECT_NE(repaired.err.find("rebuilt tag(s) NAME, CITY, WIDE, NUM"), std::string::npos)
        << repaired.err;
    EXPECT_EQ(Run({"check", table_}), 0);
  }

  Bytes nothing = mdx_;
  for (int tag = 1; tag <= 4; ++tag) Put32(nothing, 512 + 32 * tag, 5000 + tag * 2);
  Restore(nothing);
  repaired = Vxdbf({"check", table_, "--repair"});
  EXPECT_NE(repaired.err.find("no tag's definition can be read"), std::string::npos)
      << repaired.err;
  EXPECT_EQ(test::ReadBytes(Mdx()), nothing);
  EXPECT_FALSE(std::filesystem::exists(Mdx() + ".bak")) << "a copy of an index left as it was";
}

// A repair on a full disk claims no tag it did not mend: a tag counts as rebuilt only when
// check finds it clean afterwards, keys against records included; when none was, the old index
// is back, unchanged, with no backup left beside it. (A rebuild in place may fit in the file's
// free pages; one in a new temporary file cannot.)
TEST_F(DamagedIndexTest, ARepairOnAFullDiskClaimsOnlyWhatItMended) {
  const std::size_t header = dbf_[8] | dbf_[9] << 8;
  const std::size_t length = dbf_[10] | dbf_[11] << 8;
  Bytes changed = dbf_;
  std::memcpy(&changed[header + 4 * length + 23], "   44", 5);  // record 5's N behind NUM's back
  int failures = 0;
  for (const char* full : {".mdx", ".tmp"}) {
    SCOPED_TRACE(full);
    test::WriteBytes(table_, changed);
    test::WriteBytes(Mdx(), mdx_);
    Result repaired;
    {
      test::FaultInjection faults;
      // Room for the backup copy of the index (a temporary file too), none for the rebuild.
      faults.DiskFull(full, std::string(full) == ".tmp" ? mdx_.size() : 0);
      repaired = Vxdbf({"check", table_, "--repair"});
    }
    if (repaired.err.find("rebuilt tag(s) NUM") != std::string::npos) {
      EXPECT_EQ(Run({"check", table_}), 0) << repaired.err;
    } else {
      ++failures;
      EXPECT_NE(repaired.err.find("not repaired: tag NUM: the rebuild failed"), std::string::npos)
          << repaired.err;
      EXPECT_EQ(test::ReadBytes(Mdx()), mdx_);
      EXPECT_FALSE(std::filesystem::exists(Mdx() + ".bak"));
    }
    std::filesystem::remove(Mdx() + ".bak");
  }
  EXPECT_GT(failures, 0) << "no repair met the full disk";
}

// The backup of the index that a repair keeps is copied whole or not at all: a copy cut short
// (a full disk at any point of it) leaves no partial T.MDX.bak, no temporary file, an older
// backup as it was and the index unrepaired and unchanged; a link planted as T.MDX.bak is
// replaced, never written through.
TEST_F(DamagedIndexTest, TheRepairsBackupIsWholeOrNotThere) {
  const std::size_t header = dbf_[8] | dbf_[9] << 8;
  const std::size_t length = dbf_[10] | dbf_[11] << 8;
  Bytes changed = dbf_;
  std::memcpy(&changed[header + 4 * length + 23], "   44", 5);  // record 5's N behind NUM's back
  const Bytes older = {'o', 'l', 'd'};
  for (const std::uint64_t free : {std::uint64_t{0}, std::uint64_t{700}, mdx_.size() - 1}) {
    SCOPED_TRACE(free);
    test::WriteBytes(table_, changed);
    test::WriteBytes(Mdx(), mdx_);
    test::WriteBytes(Mdx() + ".bak", older);
    Result repaired;
    {
      test::FaultInjection faults;
      faults.DiskFull(".tmp", free);
      repaired = Vxdbf({"check", table_, "--repair"});
    }
    EXPECT_NE(repaired.status, 0);
    EXPECT_NE((repaired.out + repaired.err).find("cannot keep the old index as"), std::string::npos)
        << repaired.out << repaired.err;
    EXPECT_EQ(test::ReadBytes(Mdx()), mdx_);
    EXPECT_EQ(test::ReadBytes(Mdx() + ".bak"), older);
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
      EXPECT_NE(entry.path().filename().string().rfind("VX", 0), 0u) << entry.path();
    }
  }
#ifdef _WIN32
  GTEST_SKIP() << "symbolic links need a privilege on Windows";
#endif
  // A link where the backup goes: the link is replaced by the copy, its target left alone.
  const std::string elsewhere = dir_.File("elsewhere");
  test::WriteBytes(elsewhere, older);
  std::filesystem::remove(Mdx() + ".bak");
  std::filesystem::create_symlink(elsewhere, Mdx() + ".bak");
  test::WriteBytes(table_, changed);
  test::WriteBytes(Mdx(), mdx_);
  const Result repaired = Vxdbf({"check", table_, "--repair"});
  EXPECT_NE(repaired.err.find("rebuilt tag(s) NUM"), std::string::npos) << repaired.err;
  EXPECT_EQ(test::ReadBytes(elsewhere), older);
  EXPECT_FALSE(std::filesystem::is_symlink(Mdx() + ".bak"));
  EXPECT_EQ(test::ReadBytes(Mdx() + ".bak"), mdx_);
}

// dBASE keeps the first record of a key in a unique tag and does not put the next record with
// that key in when the first one changes: check notes it (reindex restores the key) instead of
// calling the tag damaged. An empty tag whose key type or length does not fit its expression
// fails check, and repair builds it right.
TEST_F(DamagedIndexTest, CheckAgreesWithUniqueTagsAndSeesTheShapeOfEmptyTags) {
  const Result set = Vxdbf({"set", table_, "2", "CITY=Oslo"});  // record 2 held PARIS
  ASSERT_EQ(set.status, 0) << set.err;
  const Result noted = Vxdbf({"check", table_});
  EXPECT_EQ(noted.status, 0) << noted.out;
  EXPECT_NE(noted.out.find("tag CITY: note: record 4: its key is not in the unique tag"),
            std::string::npos)
      << noted.out;
  ASSERT_EQ(Run({"reindex", table_}), 0);
  EXPECT_EQ(Vxdbf({"check", table_}).out, "No problems found (4 tags)\n");

  ASSERT_EQ(Run({"create", dir_.File("E.DBF"), "--field", "NAME,C,12"}), 0);
  ASSERT_EQ(Run({"index", dir_.File("E.DBF"), "--tag", "NAME", "--key", "NAME"}), 0);
  const Bytes empty = test::ReadBytes(dir_.File("E.MDX"));
  const std::size_t at = HeaderPage(empty, 1) * 512;
  for (const auto& [offset, value, found] :
       {std::tuple<int, int, const char*>{9, 'D', "key type D does not match"},
        {12, 11, "key length 11, but the key expression gives 12 characters"}}) {
    SCOPED_TRACE(found);
    Bytes b = empty;
    b[at + offset] = static_cast<unsigned char>(value);
    if (offset == 9) b[at + 12] = 8;
    if (offset == 12 || offset == 9) {
      const int item = (b[at + 12] + 4 + 3) / 4 * 4;
      b[at + 18] = static_cast<unsigned char>(item);
      b[at + 14] = static_cast<unsigned char>(1012 / item);
    }
    test::WriteBytes(dir_.File("E.MDX"), b);
    const Result found_it = Vxdbf({"check", dir_.File("E.DBF")});
    EXPECT_EQ(found_it.status, 4);
    EXPECT_NE(found_it.out.find(found), std::string::npos) << found_it.out;
    EXPECT_EQ(Run({"check", dir_.File("E.DBF"), "--repair"}), 4);
    EXPECT_EQ(Run({"check", dir_.File("E.DBF")}), 0);
    EXPECT_EQ(Vxdbf({"append", dir_.File("E.DBF")}, "NAME\nx\n").status, 0);
  }
}

// `tags` lists the tags it can read and names the damaged one (exit 1); `list --tag` on an
// index that cannot be read exits 1 with the engine's error, as dump and seek do.
TEST_F(DamagedIndexTest, TagsNamesTheDamagedTagAndListExitsOneOnAnEngineError) {
  Bytes b = mdx_;
  b[HeaderPage(b, 2) * 512 + 9] = 'X';
  Restore(b);
  const Result tags = Vxdbf({"tags", table_});
  EXPECT_EQ(tags.status, 1);
  EXPECT_NE(tags.out.find("NAME       C  12"), std::string::npos) << tags.out;
  EXPECT_NE(tags.out.find("CITY  damaged: "), std::string::npos) << tags.out;
  EXPECT_NE(tags.out.find("NUM        N  12"), std::string::npos) << tags.out;
  const Result list = Vxdbf({"list", table_, "NAME", "--tag", "NAME"});
  EXPECT_EQ(list.status, 1) << list.err;
  EXPECT_NE(list.err.find("222"), std::string::npos) << list.err;
}

}  // namespace
}  // namespace vx::tool
