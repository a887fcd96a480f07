// vxdbf's index commands on a table and index written byte by byte: tags, dump --tag, seek and
// the production index in info.
#include "tools/vxdbf/index_commands.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <sstream>

#include "engine/startup/engine_startup.h"
#include "engine/workarea/locks.h"
#include "engine/workarea/navigation.h"
#include "platform/os/codepage.h"
#include "platform/os/system.h"
#include "tests/engine/index/index_fixture.h"
#include "tests/support/child_process.h"
#include "tests/tools/vxdbf/run_vxdbf.h"

namespace vx::tool {
namespace {

using test::Row;

class IndexCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitEngine();
    const std::vector<Row> rows = {{"DELTA", 4}, {"ALPHA", 1}, {"CHARLY", 3, true}, {"BRAVO", 2}};
    table_ = dir_.File("T.DBF");
    test::WriteBytes(table_, test::TableBytes(rows));
    test::WriteBytes(dir_.File("T.MDX"), test::BuildMdx("T", test::RowTags(rows, true)));
  }
  std::string table_;
  test::TempDir dir_;
};

TEST_F(IndexCommandsTest, TagsListsEveryTag) {
  const Result r = Vxdbf({"tags", table_, "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.substr(0, r.out.find("},") + 1),
            "[{\"name\":\"CODE\",\"key\":\"CODE\",\"for\":\".NOT. DELETED()\",\"type\":\"C\","
            "\"length\":6,\"unique\":false,\"descending\":false,\"root\":10,\"depth\":1,"
            "\"keys\":3}");
  EXPECT_NE(r.out.find("\"name\":\"RCODE\""), std::string::npos);
  EXPECT_NE(r.out.find("\"descending\":true"), std::string::npos);
  const Result text = Vxdbf({"tags", table_});
  EXPECT_EQ(text.out.substr(0, text.out.find('\n')), "CODE       C   6  root 10, depth 1, 3 keys");
  EXPECT_EQ(Vxdbf({"tags", dir_.File("NONE.DBF")}).status, 1);  // a missing file, as in info
}

TEST_F(IndexCommandsTest, DumpWalksATagAndSeekFindsKeys) {
  const Result dump = Vxdbf({"dump", table_, "--tag", "rcode"});
  ASSERT_EQ(dump.status, 0) << dump.err;
  EXPECT_EQ(dump.out, "CODE,NUM\r\nDELTA,4\r\nBRAVO,2\r\nALPHA,1\r\n");
  EXPECT_EQ(Vxdbf({"list", table_, "NUM", "--tag", "NUM"}).out,
            "_recno,NUM\r\n2,1\r\n4,2\r\n1,4\r\n");
  EXPECT_EQ(Vxdbf({"seek", table_, "--tag", "CODE", "BR"}).out, "4\n");
  const Result missing = Vxdbf({"seek", table_, "--tag", "CODE", "BX"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(Vxdbf({"seek", table_, "--tag", "CODE", "BX", "--soft"}).out, "1\n");
  // Past the last key of the order even a soft seek stands on nothing: no output, exit 1.
  for (const auto& [tag, key] : {std::pair{"CODE", "ZZZ"}, {"NUM", "99"}, {"RCODE", "AAA"}}) {
    const Result beyond = Vxdbf({"seek", table_, "--tag", tag, key, "--soft"});
    EXPECT_EQ(beyond.status, 1) << tag;
    EXPECT_EQ(beyond.out, "") << tag;
  }
  EXPECT_EQ(Vxdbf({"seek", table_, "--tag", "CODE", "ALP", "--exact"}).status, 1);
  EXPECT_EQ(Vxdbf({"seek", table_, "--tag", "NUM", "2"}).out, "4\n");
  EXPECT_EQ(Vxdbf({"seek", table_, "--tag", "NOPE", "2"}).status, 2);
  EXPECT_FALSE(os::FileExists(dir_.File("T.@S@")));
}

TEST_F(IndexCommandsTest, InfoCountsTheProductionIndexTags) {
  EXPECT_NE(Vxdbf({"info", table_}).out.find("Production index: yes, 3 tags\n"), std::string::npos);
  EXPECT_NE(Vxdbf({"info", table_, "--json"})
                .out.find("\"production_index\":true,"
                          "\"index_tags\":3"),
            std::string::npos);
}

TEST_F(IndexCommandsTest, EditingCommandsKeepEveryTagCurrent) {
  ASSERT_EQ(Vxdbf({"append", table_}, "CODE,NUM\r\nAAA,9\r\nZULU,-3\r\n").status, 0);
  ASSERT_EQ(Vxdbf({"set", table_, "1", "CODE=ECHO", "NUM=5"}).status, 0);
  ASSERT_EQ(Vxdbf({"delete", table_, "2"}).status, 0);
  ASSERT_EQ(Vxdbf({"recall", table_, "3"}).status, 0);
  // Every tag holds the live records only (.NOT. DELETED()).
  EXPECT_EQ(Vxdbf({"dump", table_, "--tag", "CODE"}).out,
            "CODE,NUM\r\nAAA,9\r\nBRAVO,2\r\nCHARLY,3\r\nECHO,5\r\nZULU,-3\r\n");
  EXPECT_EQ(Vxdbf({"dump", table_, "--tag", "RCODE"}).out,
            "CODE,NUM\r\nZULU,-3\r\nECHO,5\r\nCHARLY,3\r\nBRAVO,2\r\nAAA,9\r\n");
  EXPECT_EQ(Vxdbf({"list", table_, "NUM", "--tag", "NUM"}).out,
            "_recno,NUM\r\n6,-3\r\n4,2\r\n3,3\r\n1,5\r\n5,9\r\n");
  EXPECT_EQ(Vxdbf({"seek", table_, "--tag", "CODE", "ZULU"}).out, "6\n");
}

}  // namespace
}  // namespace vx::tool

namespace vx::tool {
namespace {

class BuildCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitEngine();
    for (int i = 0; i < 40; ++i) {
      rows_.push_back({std::string(1, static_cast<char>('A' + (i * 7) % 26)) + std::to_string(i),
                       (i * 37) % 50, i % 9 == 0});
    }
    table_ = dir_.File("T.DBF");
    test::WriteBytes(table_, test::TableBytes(rows_));
    // Small leaves: trees of three levels.
    test::WriteBytes(dir_.File("T.MDX"), test::BuildMdx("T", test::RowTags(rows_, true, 3)));
  }
  std::vector<test::Row> rows_;
  std::string table_;
  test::TempDir dir_;
};

TEST_F(BuildCommandsTest, CheckPassesOnSoundIndexesAndNamesEachDamage) {
  const Result clean = Vxdbf({"check", table_});
  ASSERT_EQ(clean.status, 0) << clean.out << clean.err;
  EXPECT_EQ(clean.out, "No problems found (3 tags)\n");
  const std::vector<unsigned char> mdx = test::ReadBytes(dir_.File("T.MDX"));
  const std::vector<unsigned char> dbf = test::ReadBytes(table_);
  const std::uint32_t root = test::RootPageOf(mdx, 1);
  const std::uint32_t child = GetLe32(mdx.data() + root * 512 + 8);
  const std::uint32_t leaf = GetLe32(mdx.data() + child * 512 + 8);
  const struct {
    const char* name;
    bool table;
    std::size_t offset;
    std::string bytes;
    const char* problem;
  } cases[] = {
      {"record changed", true, 97 + 12 + 1, "ZZ", "record 2: its key is missing"},
      {"count above capacity", false, root * 512, "\xC8", "above the capacity"},
      {"keys swapped", false, leaf * 512 + 12, "ZZZZZZ", "lower than the key before it"},
      {"branch key", false, child * 512 + 12, "A     ", "is not the highest key of its child"},
      {"node outside", false, child * 512 + 8, "\xFF\xFF\x00\x00", "outside the file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<unsigned char> damaged = c.table ? dbf : mdx;
    std::copy(c.bytes.begin(), c.bytes.end(), damaged.begin() + static_cast<long>(c.offset));
    test::WriteBytes(c.table ? table_ : dir_.File("T.MDX"), damaged);
    const Result r = Vxdbf({"check", table_});
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.out.find(c.problem), std::string::npos) << r.out;
    // Nothing changed.
    EXPECT_EQ(test::ReadBytes(c.table ? table_ : dir_.File("T.MDX")), damaged);
    const Result json = Vxdbf({"check", table_, "--json"});
    EXPECT_EQ(json.out.rfind("{\"ok\":false,\"problems\":[{\"where\":", 0), 0u) << json.out;
    if (!c.table) {
      // --repair rebuilds from the definitions and keeps the old file.
      EXPECT_EQ(Vxdbf({"check", table_, "--repair"}).status, 4);
      EXPECT_EQ(test::ReadBytes(dir_.File("T.MDX.bak")), damaged);
      EXPECT_EQ(Vxdbf({"check", table_}).status, 0);
    }
    test::WriteBytes(table_, dbf);
    test::WriteBytes(dir_.File("T.MDX"), mdx);
  }
}

// The first edit of a tag reads it against every record: a live record whose item the tag
// lacks (the first, one in the middle, the last) refuses the edit, naming the record, and
// nothing is written.
TEST_F(BuildCommandsTest, AnEditRefusesATagThatLacksARecordsItemWhereverItIs) {
  const std::vector<unsigned char> dbf = test::ReadBytes(table_);
  for (const std::uint32_t missing : {2u, 20u, 40u}) {
    SCOPED_TRACE(missing);
    std::vector<test::TagShape> tags = test::RowTags(rows_, true, 3);
    std::erase_if(tags[0].items, [&](const auto& item) { return item.second == missing; });
    test::WriteBytes(dir_.File("T.MDX"), test::BuildMdx("T", tags));
    const std::vector<unsigned char> mdx = test::ReadBytes(dir_.File("T.MDX"));
    const Result r = Vxdbf({"set", table_, "5", "CODE=QQ"});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("[tag: CODE] record " + std::to_string(missing) + ": its key is missing"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(test::ReadBytes(table_), dbf);
    EXPECT_EQ(test::ReadBytes(dir_.File("T.MDX")), mdx);
  }
}

TEST_F(BuildCommandsTest, RepairRebuildsOnlyTheTagsThatFailed) {
  const auto others = [&] {
    return Vxdbf({"dump", table_, "--tag", "RCODE", "--recno"}).out +
           Vxdbf({"list", table_, "NUM", "--tag", "NUM"}).out;
  };
  const std::string before = others();
  std::vector<unsigned char> damaged = test::ReadBytes(dir_.File("T.MDX"));
  const std::uint32_t root = test::RootPageOf(damaged, 1);
  const std::uint32_t child = GetLe32(damaged.data() + root * 512 + 8);
  const std::uint32_t leaf = GetLe32(damaged.data() + child * 512 + 8);
  std::memcpy(damaged.data() + leaf * 512 + 12, "ZZZZZZ", 6);  // tag CODE out of order
  test::WriteBytes(dir_.File("T.MDX"), damaged);
  const Result repair = Vxdbf({"check", table_, "--repair"});
  EXPECT_EQ(repair.status, 4);
  EXPECT_EQ(repair.err, "vxdbf: rebuilt tag(s) CODE of " + dir_.File("T.MDX") +
                            "; the old file is " + dir_.File("T.MDX.bak") + "\n");
  EXPECT_EQ(test::ReadBytes(dir_.File("T.MDX.bak")), damaged);
  // The other tags' pages are as they were (the new tree follows them), their sequences too,
  // and the tags keep their numbers.
  const std::vector<unsigned char> repaired = test::ReadBytes(dir_.File("T.MDX"));
  ASSERT_GT(repaired.size(), damaged.size());
  EXPECT_TRUE(std::equal(damaged.begin() + 2048, damaged.end(), repaired.begin() + 2048));
  EXPECT_EQ(others(), before);
  std::string names;
  std::istringstream tags(Vxdbf({"tags", table_}).out);
  for (std::string line; std::getline(tags, line);) {
    if (line[0] != ' ') names += line.substr(0, line.find(' ')) + " ";
  }
  EXPECT_EQ(names, "CODE NUM RCODE ");
  EXPECT_EQ(Vxdbf({"check", table_}).out, "No problems found (3 tags)\n");
  // A tag whose header cannot be read has no definition to build from: the index is written
  // again from the other tags' definitions, and the repair says what it left out.
  std::vector<unsigned char> lost = repaired;
  PutLe32(lost.data() + 512 + 2 * 32, 0x7FFF);
  test::WriteBytes(dir_.File("T.MDX"), lost);
  const Result fallback = Vxdbf({"check", table_, "--repair"});
  EXPECT_EQ(fallback.status, 4);
  EXPECT_NE(fallback.err.find("vxdbf: not repaired: tag NUM: its definition cannot be read; "
                              "the whole index was written again without it\n"),
            std::string::npos)
      << fallback.err;
  EXPECT_EQ(test::ReadBytes(dir_.File("T.MDX.bak")), lost);
  EXPECT_EQ(Vxdbf({"check", table_}).out, "No problems found (2 tags)\n");
}

// An append stopped between writing its record and counting it leaves a whole record past the
// header's count: programs sharing the table count it, no tag holds it. Check says so; repair
// counts it in the header and gives it its keys. Half a record is an append still being
// written, or a damaged end, and counts for nothing.
TEST_F(BuildCommandsTest, RecordsPastTheHeadersCountAreCheckedAndCountedByRepair) {
  std::vector<unsigned char> bytes = test::ReadBytes(table_);
  ASSERT_EQ(bytes.back(), 0x1A);
  bytes.pop_back();
  const std::string record = " ZULU     77";  // deletion flag, CODE C 6, NUM N 5
  ASSERT_EQ(record.size(), 12u);
  std::vector<unsigned char> half = bytes;
  half.insert(half.end(), record.begin(), record.begin() + 6);
  test::WriteBytes(table_, half);
  EXPECT_EQ(Vxdbf({"check", table_}).status, 0);
  bytes.insert(bytes.end(), record.begin(), record.end());
  test::WriteBytes(table_, bytes);
  const Result check = Vxdbf({"check", table_});
  EXPECT_EQ(check.status, 4);
  EXPECT_NE(check.out.find("table records: the file holds 1 whole record(s) past the header's "
                           "count of 40 (an append that did not finish); programs sharing the "
                           "table count them\n"),
            std::string::npos)
      << check.out;
  for (const char* tag : {"CODE", "NUM", "RCODE"}) {
    EXPECT_NE(check.out.find("tag " + std::string(tag) + ": record 41: its key is missing"),
              std::string::npos)
        << check.out;
  }
  const Result repair = Vxdbf({"check", table_, "--repair"});
  EXPECT_EQ(repair.status, 4);
  EXPECT_NE(repair.err.find("the header now counts the 1 record(s) past its old count"),
            std::string::npos)
      << repair.err;
  EXPECT_EQ(test::ReadBytes(table_)[4], 41);
  const Result after = Vxdbf({"check", table_});
  EXPECT_EQ(after.status, 0) << after.out;
  EXPECT_EQ(Vxdbf({"seek", table_, "--tag", "CODE", "ZULU"}).out, "41\n");
}

// After repair has counted records an append left uncounted, the next append goes after them:
// neither is written over, and every tag finds all three.
// A tag that cannot be built leaves no index file behind on a table that had none, and the
// table's header does not start claiming one.
TEST_F(BuildCommandsTest, AFailedIndexCommandLeavesTheTableWithoutAnIndex) {
  std::vector<unsigned char> table = test::ReadBytes(table_);
  table[28] = 0;
  const std::string plain = dir_.File("N.DBF");
  test::WriteBytes(plain, table);
  const Result bad = Vxdbf({"index", plain, "--tag", "BAD", "--key", "UPPER(NOPE)"});
  EXPECT_NE(bad.status, 0);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("N.MDX")));
  EXPECT_EQ(test::ReadBytes(plain), table);
  EXPECT_EQ(Vxdbf({"check", plain}).status, 0);
  // And on a table with an index, the old one stays byte for byte.
  const auto index = test::ReadBytes(dir_.File("T.MDX"));
  const auto indexed = test::ReadBytes(table_);
  EXPECT_NE(Vxdbf({"index", table_, "--tag", "BAD", "--key", "UPPER(NOPE)"}).status, 0);
  EXPECT_EQ(test::ReadBytes(dir_.File("T.MDX")), index);
  EXPECT_EQ(test::ReadBytes(table_), indexed);
}

TEST_F(BuildCommandsTest, AppendsAfterARepairedCountFollowTheRecoveredRecords) {
  std::vector<unsigned char> bytes = test::ReadBytes(table_);
  bytes.pop_back();  // the end marker
  for (const std::string record : {" YANKEE   61", " XRAY     62"}) {
    bytes.insert(bytes.end(), record.begin(), record.end());
  }
  test::WriteBytes(table_, bytes);
  ASSERT_EQ(Vxdbf({"check", table_, "--repair"}).status, 4);
  ASSERT_EQ(Vxdbf({"append", table_}, "CODE,NUM\nWHISKY,63\n").status, 0);
  const auto after = test::ReadBytes(table_);
  EXPECT_EQ(after[4], 43);
  EXPECT_EQ(after.size(), 97 + 43 * 12 + 1u);
  EXPECT_EQ(Vxdbf({"check", table_}).status, 0);
  for (const auto& [code, record] :
       {std::pair{"YANKEE", "41"}, std::pair{"XRAY", "42"}, std::pair{"WHISKY", "43"}}) {
    EXPECT_EQ(Vxdbf({"seek", table_, "--tag", "CODE", code}).out, std::string(record) + "\n");
    EXPECT_EQ(Vxdbf({"seek", table_, "--tag", "RCODE", code}).out, std::string(record) + "\n");
  }
  EXPECT_EQ(Vxdbf({"seek", table_, "--tag", "NUM", "62"}).out, "42\n");
}

// Repairing the middle tag leaves every tag-table entry where it was: the same names in the same
// entries, each entry naming a header of its own tag, and the name tree rebuilt over them.
TEST_F(BuildCommandsTest, RepairOfTheMiddleTagKeepsTheTagTableInItsOrder) {
  std::vector<unsigned char> damaged = test::ReadBytes(dir_.File("T.MDX"));
  const std::uint32_t root = test::RootPageOf(damaged, 2);
  damaged[std::size_t{root} * 512] = 0xC8;  // tag NUM: a count above capacity
  test::WriteBytes(dir_.File("T.MDX"), damaged);
  ASSERT_EQ(Vxdbf({"check", table_, "--repair"}).status, 4);
  const auto f = test::ReadBytes(dir_.File("T.MDX"));
  ASSERT_EQ(f[28], 3);
  const char* names[] = {"CODE", "NUM", "RCODE"};
  const char* keys[] = {"CODE", "NUM", "CODE"};
  for (int i = 1; i <= 3; ++i) {
    SCOPED_TRACE(names[i - 1]);
    const std::size_t entry = 512 + 32 * static_cast<std::size_t>(i);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(f.data() + entry + 4)), names[i - 1]);
    const std::size_t header = std::size_t{GetLe32(f.data() + entry)} * 512;
    ASSERT_LT(header + 24, f.size());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(f.data() + header + 24)), keys[i - 1]);
    EXPECT_EQ(f[entry + 19], 2);
  }
  EXPECT_GT(GetLe32(f.data() + 512 + 64), GetLe32(f.data() + 512 + 96)) << "NUM was rebuilt";
  // The name tree: CODE at the root, NUM to its right, RCODE to NUM's right.
  EXPECT_EQ(f[512 + 17], 1);
  EXPECT_EQ(f[512 + 32 + 17], 2);
  EXPECT_EQ(f[512 + 64 + 18], 1);
  EXPECT_EQ(f[512 + 64 + 17], 3);
  EXPECT_EQ(f[512 + 96 + 18], 2);
  EXPECT_EQ(Vxdbf({"check", table_}).out, "No problems found (3 tags)\n");
}

TEST_F(BuildCommandsTest, AProgramKilledWhileAppendingLeavesWhatRepairRestores) {
  const std::vector<unsigned char> mdx = test::ReadBytes(dir_.File("T.MDX"));
  const std::vector<unsigned char> dbf = test::ReadBytes(table_);
  for (const int delay_ms : {3, 10, 30}) {
    SCOPED_TRACE(delay_ms);
    test::WriteBytes(table_, dbf);
    test::WriteBytes(dir_.File("T.MDX"), mdx);
    test::Child writer([this](test::Child& self) {
      InitEngine();
      Use(table_);
      if (!SetIndexTo()) return 1;
      self.Send();
      // Keys that land everywhere, so that leaves and branches keep splitting.
      for (int i = 0;; ++i) {
        if (!ALock()) continue;
        ClearRecord();
        char* code = FieldAddress(1);
        const std::string text = std::to_string((i * 7919) % 100000);
        code[0] = static_cast<char>(text.size());
        std::memcpy(code + 1, text.data(), text.size());
        Append();
        Unlock();
      }
    });
    ASSERT_EQ(writer.Receive(), '.');
    os::SleepMs(delay_ms);
    ::kill(writer.Pid(), SIGKILL);
    writer.Wait();
    const Result first = Vxdbf({"check", table_});
    ASSERT_TRUE(first.status == 0 || first.status == 4) << first.out << first.err;
    if (first.status == 4) {
      const Result repair = Vxdbf({"check", table_, "--repair"});
      EXPECT_EQ(repair.status, 4) << repair.err;
    }
    const Result after = Vxdbf({"check", table_});
    EXPECT_EQ(after.status, 0) << after.out;
    std::remove((dir_.File("T.@S@")).c_str());
  }
}

TEST_F(BuildCommandsTest, CheckAcceptsEveryCorpusIndexTheEngineOpens) {
  namespace fs = std::filesystem;
  const fs::path corpus = test::CorpusDir();
  if (corpus.empty()) GTEST_SKIP() << "the shared corpus folder (../shared/corpus) is absent";
  int passed = 0;
  int copies = 0;
  for (const test::CorpusIndex& found : test::CorpusIndexes()) {
    const std::string rel = fs::relative(found.index, corpus).generic_string();
    SCOPED_TRACE(rel);
    const std::string copy = test::CopyTableFiles(
        found.table, fs::path(dir_.File("")) / ("c" + std::to_string(++copies)));
    const Result r = Vxdbf({"check", copy});
    if (rel == "cimc-pcs7/meldeom/MELDOM.MDX") {
      // One tag's writer compares signed bytes: sound in that order, and said so.
      EXPECT_EQ(r.status, 0) << r.out;
      EXPECT_EQ(r.out.find("tag NAME_TAG: note: keys in its writer's own order, signed bytes"), 0u)
          << r.out;
    } else if (r.status != 1) {  // 1: a table the engine refuses (pinned by the reading tests)
      EXPECT_EQ(r.status, 0) << r.out;
      ++passed;
    }
  }
  EXPECT_EQ(passed, 28);  // with a level 7 table, whose index is noted as not checked
}

TEST_F(BuildCommandsTest, ATagInItsWritersSignedByteOrderIsSoundAndEditsOfItsKeysAreRefused) {
  // Half the codes begin with a byte above 127; the writer of CODE and RCODE compared signed
  // bytes, so those keys come first (last in RCODE).
  std::vector<test::Row> rows;
  for (int i = 0; i < 40; ++i) {
    const char lead = i % 2 == 0 ? static_cast<char>(0xC0 + i % 7) : static_cast<char>('A' + i % 7);
    rows.push_back({std::string(1, lead) + std::to_string(i), i, false});
  }
  std::vector<test::TagShape> tags = test::RowTags(rows, true, 3);
  const auto signed_less = [](const auto& a, const auto& b) {
    return CompareSignedCharKeys(reinterpret_cast<const std::uint8_t*>(a.first.data()),
                                 reinterpret_cast<const std::uint8_t*>(b.first.data()), 6) < 0;
  };
  std::stable_sort(tags[0].items.begin(), tags[0].items.end(), signed_less);
  std::stable_sort(tags[2].items.rbegin(), tags[2].items.rend(), signed_less);
  test::WriteBytes(table_, test::TableBytes(rows));
  test::WriteBytes(dir_.File("T.MDX"), test::BuildMdx("T", tags));

  const Result check = Vxdbf({"check", table_});
  EXPECT_EQ(check.status, 0) << check.out;
  EXPECT_NE(check.out.find("tag CODE: note: keys in its writer's own order, signed bytes"),
            std::string::npos)
      << check.out;
  EXPECT_NE(check.out.find("tag RCODE: note:"), std::string::npos) << check.out;
  EXPECT_EQ(check.out.find("tag NUM"), std::string::npos) << check.out;

  // Edits that would change CODE's keys are refused before anything is written, by the index
  // engine (as for every other program on the library): status 1.
  const std::vector<unsigned char> before = test::ReadBytes(table_);
  const std::vector<unsigned char> index_before = test::ReadBytes(dir_.File("T.MDX"));
  for (const std::vector<std::string>& edit : std::vector<std::vector<std::string>>{
           {"set", table_, "2", "CODE=XYZ"}, {"delete", table_, "2"}}) {
    const Result refused = Vxdbf(edit);
    EXPECT_EQ(refused.status, 1) << edit[0];
    EXPECT_NE(refused.err.find("tag CODE of "), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find("reindex would reorder the tag in byte order for every program"),
              std::string::npos)
        << refused.err;
  }
  EXPECT_EQ(Vxdbf({"append", table_}, "CODE,NUM\nQ,7\n").status, 1);
  EXPECT_EQ(test::ReadBytes(table_), before);
  EXPECT_EQ(test::ReadBytes(dir_.File("T.MDX")), index_before);
  // Recalling a record that is not deleted changes no key.
  EXPECT_EQ(Vxdbf({"recall", table_, "2"}).status, 0);
  EXPECT_EQ(test::ReadBytes(dir_.File("T.MDX")), index_before);
  // A field no key or condition names is free to change.
  EXPECT_EQ(Vxdbf({"set", table_, "2", "NUM=5"}).status, 0);

  const std::vector<unsigned char> index_unforced = test::ReadBytes(dir_.File("T.MDX"));
  const Result forced = Vxdbf({"set", table_, "2", "CODE=XYZ", "--ignore-index"});
  EXPECT_EQ(forced.status, 0) << forced.err;
  EXPECT_NE(forced.err.find("warning: tag CODE"), std::string::npos) << forced.err;
  EXPECT_NE(forced.err.find("which is now stale: reindex rebuilds it"), std::string::npos);
  EXPECT_EQ(test::ReadBytes(dir_.File("T.MDX")), index_unforced);
  EXPECT_EQ(Vxdbf({"check", table_}).status, 4);  // record 2's new key is missing
  // Rebuilt, the tags are in byte order: no note, and the edits go through.
  ASSERT_EQ(Vxdbf({"reindex", table_}).status, 0);
  const Result after = Vxdbf({"check", table_});
  EXPECT_EQ(after.status, 0) << after.out;
  EXPECT_EQ(after.out.find("note"), std::string::npos) << after.out;
  EXPECT_EQ(Vxdbf({"delete", table_, "3"}).status, 0);
}

TEST_F(BuildCommandsTest, IndexAndReindexBuildWhatCheckAccepts) {
  ASSERT_EQ(Vxdbf({"index", table_, "--tag", "BYNUM", "--key", "NUM", "--descending"}).status, 0);
  ASSERT_EQ(
      Vxdbf({"index", table_, "--tag", "CODE", "--key", "CODE", "--unique", "--for", "NUM > 10"})
          .status,
      0);
  const Result tags = Vxdbf({"tags", table_});
  EXPECT_NE(tags.out.find("BYNUM"), std::string::npos) << tags.out;
  EXPECT_EQ(Vxdbf({"check", table_}).out, "No problems found (4 tags)\n");
  EXPECT_EQ(Vxdbf({"list", table_, "NUM", "--tag", "BYNUM"}).out.substr(0, 12), "_recno,NUM\r\n");
  ASSERT_EQ(Vxdbf({"reindex", table_}).status, 0);
  EXPECT_EQ(Vxdbf({"check", table_}).status, 0);
  // A FOR condition that is not logical is a usage error, as every expression error is.
  EXPECT_EQ(Vxdbf({"index", table_, "--tag", "BAD", "--key", "NUM", "--for", "CODE"}).status, 2);
  EXPECT_EQ(Vxdbf({"check", table_}).status, 0);
}

// Keys of 100 bytes (nine a node): counts whose last node of a level would hold a single key
// or child. Every built tree passes check, whose rules include that a branch below the root has
// a key. Edits that empty the first leaves one by one (their keys move to the end), then the
// last ones (back to the front), keep it passing: a branch left with one child evens out with
// the sibling after it, then with the one before it.
TEST_F(BuildCommandsTest, TreesOfLongKeysBuiltOrEditedLeaveNoBranchWithoutAKey) {
  for (const int keys : {10, 91, 901}) {
    SCOPED_TRACE(keys);
    const std::string table = dir_.File("L" + std::to_string(keys) + ".DBF");
    ASSERT_EQ(Vxdbf({"create", table, "--field", "NAME,C,100"}).status, 0);
    std::string csv = "NAME\n";
    for (int i = 0; i < keys; ++i) csv += "name " + std::to_string(100000 + i) + "\n";
    ASSERT_EQ(Vxdbf({"append", table}, csv).status, 0);
    ASSERT_EQ(Vxdbf({"index", table, "--tag", "NAME", "--key", "NAME"}).status, 0);
    EXPECT_EQ(Vxdbf({"check", table}).out, "No problems found (1 tags)\n");
    if (keys != 91) continue;
    for (const char* name : {"NAME=zz", "NAME=aa"}) {
      for (int recno = 1; recno <= 70; ++recno) {
        const Result set = Vxdbf({"set", table, std::to_string(recno), name});
        ASSERT_EQ(set.status, 0) << name << " " << recno << ": " << set.err;
      }
      EXPECT_EQ(Vxdbf({"check", table}).out, "No problems found (1 tags)\n") << name;
    }
  }
}

// A branch below the root with one child and no key (another program's writer left it) is
// damage for check, refuses edits of its tag, and check --repair rebuilds the tag.
TEST_F(BuildCommandsTest, ABranchBelowTheRootWithoutAKeyIsDamage) {
  // Three keys a leaf, four children a branch: 15 keys make five leaves, the fifth alone
  // under a second branch.
  std::vector<test::Row> rows;
  for (int i = 0; i < 15; ++i) rows.push_back({"K" + std::to_string(10 + i), i, false});
  test::WriteBytes(table_, test::TableBytes(rows));
  test::WriteBytes(dir_.File("T.MDX"), test::BuildMdx("T", test::RowTags(rows, false, 3)));
  const Result check = Vxdbf({"check", table_});
  EXPECT_EQ(check.status, 4);
  EXPECT_NE(check.out.find("branch node below the root with no key"), std::string::npos)
      << check.out;
  const std::vector<unsigned char> mdx = test::ReadBytes(dir_.File("T.MDX"));
  const Result edit = Vxdbf({"set", table_, "1", "CODE=ZZ"});
  EXPECT_NE(edit.status, 0);
  EXPECT_NE(edit.err.find("branch node below the root with no key"), std::string::npos)
      << edit.err;
  EXPECT_EQ(test::ReadBytes(dir_.File("T.MDX")), mdx);
  EXPECT_EQ(Vxdbf({"check", table_, "--repair"}).status, 4);
  EXPECT_EQ(Vxdbf({"check", table_}).out, "No problems found (3 tags)\n");
  EXPECT_EQ(Vxdbf({"set", table_, "1", "CODE=ZZ"}).status, 0);
}

TEST_F(BuildCommandsTest, KeysOfEveryHighByteAreBuiltSoughtKeptAndCheckedAlike) {
  // An OEM table (850) and an ANSI one (1252): NAME holds each character of the page above 127,
  // NUM its byte. Tags NAME and UPPER(NAME) built, every character sought as typed in UTF-8,
  // every NAME rewritten, and check agrees with the keys after each step.
  for (const int page : {850, 1252}) {
    SCOPED_TRACE("code page " + std::to_string(page));
    const std::string path = dir_.File("H" + std::to_string(page) + ".DBF");
    ASSERT_EQ(Vxdbf({"create", path, "--field", "NAME,C,1", "--field", "NUM,N,3", "--codepage",
                     std::to_string(page)})
                  .status,
              0);
    std::map<int, std::string> typed;  // byte -> its character in UTF-8
    std::string csv = "NAME,NUM\n";
    for (int b = 128; b < 256; ++b) {
      const os::ConvertedText c =
          os::DecodeCodePage(page, std::string(1, static_cast<char>(b)), os::OnFault::kStop);
      if (c.fault != os::TextFault::kNone) continue;  // no character in this page
      typed[b] = c.text;
      csv += "\"" + c.text + "\"," + std::to_string(b) + "\n";
    }
    ASSERT_EQ(Vxdbf({"append", path}, csv).status, 0);
    ASSERT_EQ(Vxdbf({"index", path, "--tag", "NAME", "--key", "NAME"}).status, 0);
    ASSERT_EQ(Vxdbf({"index", path, "--tag", "UNAME", "--key", "UPPER(NAME)"}).status, 0);
    const Result built = Vxdbf({"check", path});
    EXPECT_EQ(built.status, 0) << built.out;
    std::int32_t record = 0;
    for (const auto& [byte, text] : typed) {
      ++record;
      EXPECT_EQ(Vxdbf({"seek", path, "--tag", "NAME", text, "--exact"}).out,
                std::to_string(record) + "\n")
          << byte;
    }
    // Upper case in the table's page: é is 0x82 -> 0x90 in 850, 0xE9 -> 0xC9 in 1252.
    const int lower = page == 850 ? 0x82 : 0xE9;
    const int upper = page == 850 ? 0x90 : 0xC9;
    const Result found = Vxdbf({"seek", path, "--tag", "UNAME", typed[upper]});
    ASSERT_EQ(found.status, 0);
    const auto at = [&](int byte) {
      return std::to_string(std::distance(typed.begin(), typed.find(byte)) + 1) + "\n";
    };
    // Both records have that key: the lower record number (the smaller byte) comes first.
    EXPECT_EQ(found.out, at(std::min(lower, upper)));
    // Every record's NAME changed to the next record's character: maintenance removes and adds
    // the keys the builder and check make.
    record = 0;
    for (auto it = typed.begin(); it != typed.end(); ++it) {
      ++record;
      const auto next = std::next(it) == typed.end() ? typed.begin() : std::next(it);
      ASSERT_EQ(Vxdbf({"set", path, std::to_string(record), "NAME=" + next->second}).status, 0);
    }
    const Result kept = Vxdbf({"check", path});
    EXPECT_EQ(kept.status, 0) << kept.out;
    EXPECT_EQ(Vxdbf({"seek", path, "--tag", "NAME", typed.begin()->second}).out,
              std::to_string(typed.size()) + "\n");
  }
}

TEST_F(BuildCommandsTest, NumericKeysDifferingInTheirLastDigitAreSoughtApart) {
  const std::string path = dir_.File("P.DBF");
  ASSERT_EQ(Vxdbf({"create", path, "--field", "V,N,12,2"}).status, 0);
  ASSERT_EQ(Vxdbf({"append", path}, "V\n123456789.02\n123456789.01\n12345678.9\n").status, 0);
  ASSERT_EQ(Vxdbf({"index", path, "--tag", "V", "--key", "V"}).status, 0);
  EXPECT_EQ(Vxdbf({"seek", path, "--tag", "V", "123456789.02"}).out, "1\n");
  EXPECT_EQ(Vxdbf({"seek", path, "--tag", "V", "123456789.01"}).out, "2\n");
  EXPECT_EQ(Vxdbf({"seek", path, "--tag", "V", "123456789.015"}).status, 1);
  EXPECT_EQ(Vxdbf({"list", path, "V", "--tag", "V"}).out,
            "_recno,V\r\n3,12345678.9\r\n2,123456789.01\r\n1,123456789.02\r\n");
}

}  // namespace
}  // namespace vx::tool

namespace vx::tool {
namespace {

// A table of each memo kind with three records: memos at blocks 1 and 2 (records 1 and 3),
// none in record 2, and a one-tag production index.
class MemoCheckTest : public ::testing::Test {
 protected:
  void SetUp() override { InitEngine(); }
  std::string Create(const std::string& version) {
    const std::string path = dir_.File("N" + version + ".DBF");
    EXPECT_EQ(Vxdbf({"create", path, "--overwrite", "--version", version, "--field", "NAME,C,8",
                     "--field", "NOTES,M,10"})
                  .status,
              0);
    EXPECT_EQ(Vxdbf({"append", path}, "NAME,NOTES\none,first\ntwo,\nthree,third memo\n").status, 0);
    EXPECT_EQ(Vxdbf({"index", path, "--tag", "NAME", "--key", "NAME"}).status, 0);
    return path;
  }
  static void Patch(std::vector<unsigned char>& bytes, std::size_t at, const std::string& with) {
    std::copy(with.begin(), with.end(), bytes.begin() + static_cast<long>(at));
  }
  test::TempDir dir_;
};

constexpr std::size_t kPointerOf1 = 97 + 9;  // header 97 bytes, records of 19, NOTES at 9
constexpr std::size_t kPointerOf3 = kPointerOf1 + 2 * 19;

TEST_F(MemoCheckTest, CheckNamesEachDamagedMemoPointer) {
  const struct {
    const char* version;
    bool table;  // damage the table (else the memo file)
    std::size_t at;
    std::string bytes;
    std::vector<std::string> problems;
  } cases[] = {
      {"0x83",
       true,
       kPointerOf1,
       "    999999",
       {"record 1, field NOTES: block 999999 lies past the end of the memo file (1536 bytes, "
        "512 per block)"}},
      {"0x8B", true, kPointerOf1, "    999999", {"record 1, field NOTES: block 999999 lies past"}},
      {"0xF5", true, kPointerOf1, "    999999", {"record 1, field NOTES: block 999999 lies past"}},
      {"0x8B",
       true,
       kPointerOf3,
       "      2abc",
       {"record 3, field NOTES: \"2abc\" is not a block number"}},
      {"0x83", true, kPointerOf3, "        -2", {"\"-2\" is not a block number"}},
      // Memo blocks overwritten.
      {"0x83",
       false,
       2 * 512,
       std::string(512, 'x'),
       {"record 3, field NOTES: block 2: the memo has no end marker (0x1A)"}},
      {"0x8B",
       false,
       2 * 512 + 4,
       "\xFF\xFF\xFF\x7F",
       {"record 3, field NOTES: block 2: its block header gives a length that does not fit the "
        "memo file"}},
      {"0x8B", false, 2 * 512, std::string(512, 'x'), {"block 2: the memo has no end marker"}},
      {"0xF5",
       false,
       2 * 512,
       std::string("\0\0\0\x09", 4),
       {"record 3, field NOTES: block 2: its block header gives the record type 9, not picture, "
        "text or object"}},
      {"0xF5",
       false,
       2 * 512 + 4,
       "\x7F\xFF\xFF\xFF",
       {"block 2: its block header gives a length that does not fit"}},
      // A FoxPro block size of 64: blocks 1 and 2 lie in the 512-byte header.
      {"0xF5",
       false,
       6,
       std::string("\0\x40", 2),
       {"record 1, field NOTES: block 1 lies in the memo file's header (memos start at block 8)",
        "record 3, field NOTES: block 2 lies in the memo file's header"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.version) + " " + c.problems.front());
    const std::string table = Create(c.version);
    const std::string memo = dir_.File(std::string("N") + c.version +
                                       (std::string(c.version) == "0xF5" ? ".FPT" : ".DBT"));
    ASSERT_EQ(Vxdbf({"check", table}).out, "No problems found (1 tags)\n");
    const std::string target = c.table ? table : memo;
    std::vector<unsigned char> bytes = test::ReadBytes(target);
    ASSERT_GE(bytes.size(), c.at + c.bytes.size());
    Patch(bytes, c.at, c.bytes);
    test::WriteBytes(target, bytes);
    const Result r = Vxdbf({"check", table});
    EXPECT_EQ(r.status, 4);
    std::size_t lines = 0;
    for (const std::string& problem : c.problems) {
      EXPECT_NE(r.out.find(problem), std::string::npos) << r.out;
    }
    for (char ch : r.out) lines += ch == '\n';
    EXPECT_EQ(lines, c.problems.size()) << r.out;
    const Result json = Vxdbf({"check", table, "--json"});
    EXPECT_EQ(json.out.rfind("{\"ok\":false,\"problems\":[{\"where\":\"record ", 0), 0u)
        << json.out;
    EXPECT_EQ(test::ReadBytes(target), bytes);  // nothing changed
    // Repair rebuilds tags only: the memo damage stays, and says so.
    const Result repair = Vxdbf({"check", table, "--repair"});
    EXPECT_EQ(repair.status, 4);
    EXPECT_NE(repair.err.find("not repaired: " + std::to_string(c.problems.size()) +
                              " memo pointer problem(s)"),
              std::string::npos)
        << repair.err;
    EXPECT_EQ(test::ReadBytes(target), bytes);
  }
}

TEST_F(MemoCheckTest, AMissingMemoFileIsAProblemAndTheIndexIsStillChecked) {
  for (const char* version : {"0x83", "0xF5"}) {
    SCOPED_TRACE(version);
    const std::string table = Create(version);
    const std::string memo =
        dir_.File(std::string("N") + version + (std::string(version) == "0xF5" ? ".FPT" : ".DBT"));
    std::filesystem::remove(memo);
    const Result r = Vxdbf({"check", table});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.out, "memo file: the table has memo fields, but " + memo +
                         " cannot be opened: Error # 2 (File not found)\n");
    // The tag is still checked: a record whose key changed is named.
    std::vector<unsigned char> bytes = test::ReadBytes(table);
    Patch(bytes, 97 + 1, "zulu    ");
    test::WriteBytes(table, bytes);
    EXPECT_NE(Vxdbf({"check", table}).out.find("tag NAME: record 1: its key is missing"),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(memo));
  }
}

TEST_F(MemoCheckTest, AMissingProductionIndexIsAProblemRepairCannotMend) {
  const std::string table = Create("0x83");
  const std::string index = dir_.File("N0x83.MDX");
  ASSERT_TRUE(std::filesystem::remove(index));
  const std::string line =
      "the table header says it has a production index, but " + index + " is missing";
  const Result r = Vxdbf({"check", table});
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.out, "index file: " + line + "\n");
  const Result repair = Vxdbf({"check", table, "--repair"});
  EXPECT_EQ(repair.status, 4);
  EXPECT_NE(repair.err.find("not repaired: " + line), std::string::npos) << repair.err;
  EXPECT_FALSE(std::filesystem::exists(index));
}

TEST_F(MemoCheckTest, ARuinedMemoFileIsCountedNotListedInFull) {
  const std::string table = dir_.File("MANY.DBF");
  ASSERT_EQ(Vxdbf({"create", table, "--version", "0x83", "--field", "NOTES,M,10"}).status, 0);
  std::string rows = "NOTES\n";
  for (int i = 0; i < 150; ++i) rows += "memo " + std::to_string(i) + "\n";
  ASSERT_EQ(Vxdbf({"append", table}, rows).status, 0);
  ASSERT_EQ(Vxdbf({"check", table}).status, 0);
  // Every end marker gone: each memo runs to the end of the file.
  std::vector<unsigned char> memo = test::ReadBytes(dir_.File("MANY.DBT"));
  std::replace(memo.begin() + 512, memo.end(), static_cast<unsigned char>(0x1A),
               static_cast<unsigned char>(' '));
  test::WriteBytes(dir_.File("MANY.DBT"), memo);
  const Result r = Vxdbf({"check", table});
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 101);
  EXPECT_NE(r.out.find("record 100, field NOTES: block 100: the memo has no end marker"),
            std::string::npos);
  EXPECT_EQ(r.out.find("record 101,"), std::string::npos);
  EXPECT_NE(r.out.find("\nmemo pointers: ... and 50 more\n"), std::string::npos) << r.out;
  EXPECT_NE(Vxdbf({"check", table, "--json"}).out.find(",\"memo_problems\":150}"),
            std::string::npos);
}

}  // namespace
}  // namespace vx::tool
