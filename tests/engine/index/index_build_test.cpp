// Building indexes: tags built in memory and through many spilled runs give the same trees,
// equal to a sorted model; unique and FOR tags; bad definitions with their codes while the
// other tags are still built; Reindex keeps the controlling tag; every corpus index rebuilt on
// a copy gives the sequence the other program wrote.
#include "engine/index/index_build.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "engine/index/index_check.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "tests/engine/index/index_fixture.h"
#include "tests/support/fault_injection.h"

namespace vx {
namespace {

using test::Row;

class IndexBuildTest : public test::IndexTest {
 protected:
  void TearDown() override {
    IndexBuildBudget = std::uint64_t{64} << 20;
    IndexBuildFill = 100;
    IndexTest::TearDown();
  }

  // Every tag's (key, record) items of an index file, after checking each tree.
  static std::vector<std::vector<TagItem>> Items(const std::string& path,
                                                 std::vector<std::string>* names = nullptr,
                                                 const std::string& foreign_tag = {}) {
    MdxFile file;
    std::vector<std::vector<TagItem>> all;
    EXPECT_TRUE(file.Open(path, os::kOpenReadOnlyDenyNone));
    for (int tag = 1; tag <= file.header().TagCount(); ++tag) {
      TagHeader header;
      EXPECT_TRUE(file.ReadTagHeader(tag, header));
      TagExpressions expressions;
      CompileTagExpressions(header, expressions);
      std::vector<std::string> problems;
      std::vector<TagItem> items;
      CheckTagTree(file, header,
                   ChooseComparator(header.KeyType(), expressions.result_type, header.Descending()),
                   problems, &items);
      if (file.header().TagName(tag) != foreign_tag) {
        EXPECT_TRUE(problems.empty()) << file.header().TagName(tag) << ": " << problems.front();
      }
      all.push_back(items);
      if (names != nullptr) names->push_back(file.header().TagName(tag));
    }
    return all;
  }
};

// Numeric keys of other writers may count their digits differently; the value bytes agree.
bool SameStoredKey(const std::string& ours, const std::string& theirs) {
  if (ours.size() != theirs.size()) return false;
  if (ours == theirs) return true;
  return ours.size() == 12 && ours[0] == theirs[0] && ((ours[1] ^ theirs[1]) & 0x80) == 0 &&
         ours.compare(2, 10, theirs, 2, 10) == 0;
}

std::vector<Row> RandomRows(int n, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<Row> rows;
  for (int i = 0; i < n; ++i) {
    std::string code(1 + random() % 4, 'A');
    for (char& ch : code) ch = static_cast<char>('A' + random() % 8);
    rows.push_back({code, static_cast<int>(random() % 2000) - 1000, random() % 5 == 0});
  }
  return rows;
}

const std::vector<TagDefinition> kDefinitions = {
    {"CODE", "CODE", "", false, false},
    {"NUM", "NUM", "", false, false},
    {"RCODE", "CODE", "", true, false},
    {"UCODE", "CODE", "", false, true},
    {"LIVE", "CODE", ".NOT. DELETED()", false, false},
    {"NONE", "CODE", "NUM > 5000", false, false},
};

TEST_F(IndexBuildTest, SpilledRunsAndMemoryBuildTheSameSortedTrees) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  const std::vector<Row> rows = RandomRows(6000, seed);
  const std::string table = MakeIndexedTable(rows);
  Use(table + " EXCLUSIVE");
  ASSERT_TRUE(MakeIndex(kDefinitions));
  EXPECT_EQ(LastBuildRuns(), 0);
  const auto in_memory = Items(dir_.File("T.MDX"));
  IndexBuildBudget = 8 * 1024;  // about 570 entries a run
  ASSERT_TRUE(MakeIndex(kDefinitions));
  EXPECT_GE(LastBuildRuns(), 10);
  const auto spilled = Items(dir_.File("T.MDX"));
  ASSERT_EQ(spilled.size(), kDefinitions.size());
  for (std::size_t i = 0; i < spilled.size(); ++i) {
    ASSERT_EQ(spilled[i].size(), in_memory[i].size()) << kDefinitions[i].name;
    for (std::size_t j = 0; j < spilled[i].size(); ++j) {
      ASSERT_EQ(spilled[i][j].key, in_memory[i][j].key);
      ASSERT_EQ(spilled[i][j].record, in_memory[i][j].record);
    }
  }
  // The model: (key, record) ascending; unique keeps the lowest record of each key.
  std::vector<std::pair<std::string, std::uint32_t>> by_code;
  std::vector<std::pair<std::string, std::uint32_t>> live;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    std::string code = rows[i].code;
    code.resize(6, ' ');
    by_code.emplace_back(code, static_cast<std::uint32_t>(i + 1));
    if (!rows[i].deleted) live.emplace_back(code, static_cast<std::uint32_t>(i + 1));
  }
  std::sort(by_code.begin(), by_code.end());
  std::sort(live.begin(), live.end());
  const auto same = [](const std::vector<TagItem>& items,
                       const std::vector<std::pair<std::string, std::uint32_t>>& model) {
    if (items.size() != model.size()) return false;
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (items[i].key != model[i].first || items[i].record != model[i].second) return false;
    }
    return true;
  };
  EXPECT_TRUE(same(spilled[0], by_code));
  EXPECT_TRUE(same(spilled[4], live));
  std::vector<std::pair<std::string, std::uint32_t>> unique;
  for (const auto& item : by_code) {
    if (unique.empty() || unique.back().first != item.first) unique.push_back(item);
  }
  EXPECT_TRUE(same(spilled[3], unique));
  // Descending: keys from high to low, equal keys by record number.
  std::vector<std::pair<std::string, std::uint32_t>> descending = by_code;
  std::stable_sort(descending.begin(), descending.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  EXPECT_TRUE(same(spilled[2], descending));
  std::vector<std::pair<double, std::uint32_t>> by_num;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    by_num.emplace_back(rows[i].num, static_cast<std::uint32_t>(i + 1));
  }
  std::sort(by_num.begin(), by_num.end());
  ASSERT_EQ(spilled[1].size(), by_num.size());
  for (std::size_t i = 0; i < by_num.size(); ++i) {
    ASSERT_EQ(spilled[1][i].record, by_num[i].second) << i;
  }
  // A FOR condition no record meets: an empty tag that navigation treats as empty.
  EXPECT_TRUE(spilled[5].empty());
  ASSERT_TRUE(SetIndexTo());
  ASSERT_TRUE(SetOrderToTag("NONE"));
  GoTop();
  EXPECT_TRUE(dEOF());
  // The built index is maintained like any other.
  ASSERT_TRUE(SetOrderToTag("CODE"));
  ClearRecord();
  std::memcpy(FieldAddress(1),
              "\x01"
              "A     ",
              7);
  Append();
  EXPECT_EQ(EngineErrorCode, 0);
  GoTop();
  EXPECT_EQ(Code(), "A");
}

// The most keys any leaf of each tag holds.
std::vector<int> FullestLeaves(const std::string& path) {
  MdxFile file;
  EXPECT_TRUE(file.Open(path, os::kOpenReadOnlyDenyNone));
  std::vector<int> fullest;
  for (int tag = 1; tag <= file.header().TagCount(); ++tag) {
    TagHeader header;
    EXPECT_TRUE(file.ReadTagHeader(tag, header));
    int most = 0;
    std::vector<std::uint32_t> pages = {header.RootPage()};
    while (!pages.empty()) {
      NodeBytes node{};
      EXPECT_TRUE(file.ReadNode(pages.back(), node, IndexErrorContext{}));
      pages.pop_back();
      const NodeView view(node.data(), header.ItemLength(), header.KeyLength());
      if (view.IsLeaf()) {
        most = std::max(most, view.KeyCount());
      } else {
        for (int i = 0; i <= view.KeyCount(); ++i) pages.push_back(view.Child(i));
      }
    }
    fullest.push_back(most);
  }
  return fullest;
}

// Leaves built partly empty hold the same items in the same order, at most the fill's share of
// a node each (one key at least), and take later edits like any tree: for sizes from an empty
// table to several levels, and fills down to one key a leaf.
TEST_F(IndexBuildTest, AFillSettingLeavesRoomInBuiltLeaves) {
  for (const int size : {0, 1, 40, 3000}) {
    const std::vector<Row> rows = RandomRows(size, 27);
    for (const int fill : {100, 75, 50, 1}) {
      SCOPED_TRACE("size " + std::to_string(size) + ", fill " + std::to_string(fill));
      Use(MakeIndexedTable(rows) + " EXCLUSIVE");
      ASSERT_TRUE(MakeIndex(kDefinitions));
      const auto full = Items(dir_.File("T.MDX"));
      IndexBuildFill = fill;
      ASSERT_TRUE(MakeIndex(kDefinitions));
      IndexBuildFill = 100;
      const auto filled = Items(dir_.File("T.MDX"));
      ASSERT_EQ(filled.size(), full.size());
      for (std::size_t t = 0; t < full.size(); ++t) {
        ASSERT_EQ(filled[t].size(), full[t].size());
        for (std::size_t i = 0; i < full[t].size(); ++i) {
          ASSERT_EQ(filled[t][i].key, full[t][i].key);
          ASSERT_EQ(filled[t][i].record, full[t][i].record);
        }
      }
      const std::vector<int> fullest = FullestLeaves(dir_.File("T.MDX"));
      // CODE (C 6): 101 keys a node; NUM (N): 63.
      EXPECT_LE(fullest[0], std::max(1, (101 * fill + 99) / 100));
      EXPECT_LE(fullest[1], std::max(1, (63 * fill + 99) / 100));
      // Appends and replaces through every tag keep the trees sound.
      ASSERT_TRUE(SetIndexTo());
      for (int i = 0; i < 300; ++i) {
        if (i % 2 == 0 || RecCount() == 0) {
          ClearRecord();
          char* code = FieldAddress(1);
          code[0] = 3;
          std::memcpy(code + 1, ("B" + std::to_string(i % 97) + "      ").data(), 6);
          Append();
        } else {
          GO(1 + (i * 7919) % RecCount());
          char* code = FieldAddress(1);
          code[0] = 2;
          std::memcpy(code + 1, ("Z" + std::to_string(i % 9) + "     ").data(), 6);
          REPLACE();
        }
        ASSERT_EQ(EngineErrorCode, 0) << LastErrorMessage;
      }
      CloseAll();
      for (const auto& items : Items(dir_.File("T.MDX"))) EXPECT_LE(items.size(), size + 300u);
    }
  }
}

TEST_F(IndexBuildTest, BadDefinitionsGetTheirCodesAndLeaveTheOldIndexAsItWas) {
  const std::string table = MakeIndexedTable({{"B", 2}, {"A", 1}});
  const auto index_before = test::ReadBytes(dir_.File("T.MDX"));
  Use(table + " EXCLUSIVE");
  std::string wide = "CODE";
  for (int i = 0; i < 16; ++i) wide += "+CODE";  // 102 characters
  const struct {
    TagDefinition bad;
    std::uint16_t code;
  } cases[] = {
      {{"EMPTY", "", "", false, false}, 351},
      {{"LONG", std::string(221, 'X'), "", false, false}, 300},
      {{"WIDE", wide, "", false, false}, 266},
      {{"NOTLOGIC", "CODE", "NUM", false, false}, 362},
      {{"BADTYPE", "DELETED()", "", false, false}, 254},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bad.name);
    bool built = true;
    EXPECT_EQ(CodeOf([&] {
                built = MakeIndex(
                    {{"CODE", "CODE", "", false, false}, c.bad, {"NUM", "NUM", "", false, false}});
              }),
              c.code)
        << LastErrorMessage;
    EXPECT_FALSE(built);
    EXPECT_EQ(test::ReadBytes(dir_.File("T.MDX")), index_before);
    bool added = true;
    EXPECT_EQ(CodeOf([&] { added = AddIndexTag(c.bad); }), c.code) << LastErrorMessage;
    EXPECT_FALSE(added);
    EXPECT_EQ(test::ReadBytes(dir_.File("T.MDX")), index_before);
  }
  CloseAll();
  // A table without an index keeps none, and its header keeps saying so.
  std::vector<unsigned char> bytes = test::TableBytes({{"Y", 1}});
  bytes[28] = 0;
  test::WriteBytes(dir_.File("N.DBF"), bytes);
  Use(dir_.File("N.DBF") + " EXCLUSIVE");
  EXPECT_EQ(CodeOf([] { AddIndexTag({"BAD", "UPPER(NOPE)", "", false, false}); }), 351);
  EXPECT_EQ(CodeOf([] { MakeIndex({{"BAD", "UPPER(NOPE)", "", false, false}}); }), 351);
  CloseAll();
  EXPECT_FALSE(std::filesystem::exists(dir_.File("N.MDX")));
  EXPECT_EQ(test::ReadBytes(dir_.File("N.DBF")), bytes);
  // No temporary file is left behind.
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    EXPECT_NE(entry.path().extension(), ".TMP") << entry.path();
  }
}

TEST_F(IndexBuildTest, ASharedTableIsReopenedExclusivelyForTheBuildAndSharedAgain) {
  const std::string table = MakeIndexedTable({{"B", 2}, {"A", 1}});
  Use(table);
  ASSERT_TRUE(SetIndexTo());
  ASSERT_TRUE(Reindex());
  EXPECT_FALSE(SelectedTable()->exclusive);
  EXPECT_EQ(OrderCount(), 3);
  ASSERT_TRUE(MakeIndex({{"CODE", "CODE", "", false, false}}));
  EXPECT_FALSE(SelectedTable()->exclusive);
  // Another open of the table (another program, here another work area) keeps the build out.
  Select(2);
  Use(table + " ALIAS OTHER");
  Select(1);
  const auto index_before = test::ReadBytes(dir_.File("T.MDX"));
  EXPECT_EQ(CodeOf([] { MakeIndex(kDefinitions); }), 225);
  EXPECT_NE(LastErrorMessage->find("MakeIndex("), std::string::npos) << LastErrorMessage;
  EXPECT_EQ(CodeOf([] { AddIndexTag(kDefinitions[1]); }), 225);
  EXPECT_FALSE(SelectedTable()->exclusive);
  EXPECT_EQ(test::ReadBytes(dir_.File("T.MDX")), index_before);
}

// Every write of a build fails in turn (the new index's header, its nodes, the sorted runs, the
// tag header, the final header), then the flush, then the disk fills at several
// points: the build reports the fault, and the table, its index and the folder are as before.
TEST_F(IndexBuildTest, AFailedWriteAtAnyStageLeavesTableAndIndexAsTheyWere) {
  const std::vector<Row> rows = RandomRows(3000, 7);
  const std::string table = MakeIndexedTable(rows);
  const auto table_before = test::ReadBytes(table);
  const auto index_before = test::ReadBytes(dir_.File("T.MDX"));
  const auto unchanged = [&](const std::string& what) {
    CloseAll();
    EXPECT_EQ(test::ReadBytes(table), table_before) << what;
    EXPECT_EQ(test::ReadBytes(dir_.File("T.MDX")), index_before) << what;
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
      (void)entry;
      ++files;
    }
    EXPECT_EQ(files, 2) << what;
    Use(table + " EXCLUSIVE");
  };
  IndexBuildBudget = 8 * 1024;  // sorted runs spill to a file of their own
  Use(table + " EXCLUSIVE");
  for (const bool add : {false, true}) {
    const auto build = [&] { return add ? AddIndexTag(kDefinitions[1]) : MakeIndex(kDefinitions); };
    bool built = false;
    int stages = 0;
    for (int skip = 0; !built; ++skip) {
      const std::string what = (add ? "AddIndexTag" : "MakeIndex") + std::string(", write ") +
                               std::to_string(skip + 1) + " fails";
      test::FaultInjection faults;
      faults.Fail(test::Call::kWrite, ".TMP", EIO, skip);
      const std::uint16_t code = CodeOf([&] { built = build(); });
      EXPECT_EQ(code != 0, !built) << what;
      if (built) break;
      ++stages;
      unchanged(what);
      ASSERT_LT(skip, 200) << "the build never succeeds";
    }
    EXPECT_GE(stages, 4);
    // The last build succeeded: start again from the old index.
    CloseAll();
    test::WriteBytes(dir_.File("T.MDX"), index_before);
    Use(table + " EXCLUSIVE");
    // The new index is flushed before it is renamed and closed only afterwards (it is kept open
    // from its creation, never reopened by name), so a failing flush is the last fault that can
    // still leave the old index in place.
    {
      test::FaultInjection faults;
      faults.Fail(test::Call::kFsync, ".TMP", EIO, 0, -1);
      EXPECT_NE(CodeOf(build), 0);
      unchanged("flush fails");
    }
    for (const std::uint64_t free : {0, 1500, 5000, 40000, 100000}) {
      test::FaultInjection faults;
      faults.DiskFull(".TMP", free);
      EXPECT_NE(CodeOf(build), 0);
      unchanged("disk full after " + std::to_string(free) + " bytes");
    }
  }
  // A progress routine that raises (a cancel) leaves the build at once, after the first runs
  // spilled: they go with the rest.
  SetIndexProgress(
      [](void*, int step, int) {
        if (step == 5) throw std::runtime_error("cancelled");
      },
      nullptr, 10);
  EXPECT_THROW(MakeIndex(kDefinitions), std::runtime_error);
  SetIndexProgress(nullptr, nullptr, 0);
  unchanged("cancelled by the progress routine");
}

// A header that counts records up to the limit of record numbers (a crafted one: the file holds
// one record). The largest count whose end-of-file position (count + 1) is still a record
// number opens; an append past it is refused and writes nothing; a build fails cleanly; one
// more is refused at USE.
TEST_F(IndexBuildTest, CountsAtTheLimitOfRecordNumbersAreRefusedCleanly) {
  const std::string table = MakeIndexedTable({{"A", 1}});
  const auto index_before = test::ReadBytes(dir_.File("T.MDX"));
  for (const std::uint32_t count : {0x7FFFFFFEu, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(count);
    std::vector<unsigned char> bytes = test::TableBytes({{"A", 1}});
    for (int i = 0; i < 4; ++i) bytes[4 + i] = static_cast<unsigned char>(count >> (8 * i));
    test::WriteBytes(table, bytes);
    const std::uint16_t opened = CodeOf([&] { Use(table + " EXCLUSIVE"); });
    if (count > static_cast<std::uint32_t>(kMaxRecordCount)) {
      EXPECT_EQ(opened, 210);
      EXPECT_NE(LastErrorMessage->find("Record count is out of range"), std::string::npos);
      continue;
    }
    ASSERT_EQ(opened, 0) << LastErrorMessage;
    EXPECT_EQ(RecCount(), kMaxRecordCount);
    GoEOF();
    EXPECT_EQ(RecNo(), kMaxRecordCount + 1);
    ClearRecord();
    EXPECT_EQ(CodeOf([] { Append(); }), 212);
    EXPECT_NE(LastErrorMessage->find("Table is full"), std::string::npos) << LastErrorMessage;
    EXPECT_NE(CodeOf([] { MakeIndex(kDefinitions); }), 0);
    CloseAll();
    EXPECT_EQ(test::ReadBytes(table), bytes);
    EXPECT_EQ(test::ReadBytes(dir_.File("T.MDX")), index_before);
  }
}

// Each tag's header is one 1024-byte page written right after its tree (whose root is the
// last node written), named by the tag's entry; it holds the definition and nothing past its
// fields. A tag added later gets its header at the new end of the file.
TEST_F(IndexBuildTest, EachTagHeaderIsAPageOfItsOwnRightAfterItsRoot) {
  Use(MakeIndexedTable(RandomRows(500, 3)) + " EXCLUSIVE");
  ASSERT_TRUE(MakeIndex(kDefinitions));
  ASSERT_TRUE(AddIndexTag({"EXTRA", "STR(NUM,5)+CODE", "NUM > 0", true, false}));
  CloseAll();
  const auto f = test::ReadBytes(dir_.File("T.MDX"));
  ASSERT_EQ(f[28], kDefinitions.size() + 1);
  std::uint32_t previous_header = 0;
  for (std::size_t i = 1; i <= kDefinitions.size() + 1; ++i) {
    const TagDefinition def = i <= kDefinitions.size() ? kDefinitions[i - 1]
                                                       : TagDefinition{"EXTRA", "STR(NUM,5)+CODE",
                                                                       "NUM > 0", true, false};
    SCOPED_TRACE(def.name);
    const std::uint32_t page = GetLe32(f.data() + 512 + 32 * i);
    const std::size_t at = std::size_t{page} * 512;
    ASSERT_LE(at + 1024, f.size());
    EXPECT_GT(page, previous_header);
    previous_header = page;
    EXPECT_EQ(GetLe32(f.data() + at) + 2, page) << "the root is the node just before";
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(f.data() + at + 24)), def.key_expression);
    EXPECT_EQ(f[at + 8], 0x10 | (def.descending ? 0x08 : 0) | (def.unique ? 0x40 : 0));
    EXPECT_EQ(f[at + 245], def.for_condition.empty() ? 0 : 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(f.data() + at + 762)), def.for_condition);
    EXPECT_TRUE(std::all_of(f.begin() + static_cast<long>(at + 983),
                            f.begin() + static_cast<long>(at + 1024),
                            [](unsigned char b) { return b == 0; }));
  }
  EXPECT_EQ(std::size_t{previous_header} * 512 + 1024, f.size()) << "the last tag header ends it";
}

TEST_F(IndexBuildTest, ReindexKeepsTheControllingTagAndAddIndexTagReplacesByName) {
  Use(MakeIndexedTable({{"B", 2}, {"A", 3}, {"C", 1}}) + " EXCLUSIVE");
  ASSERT_TRUE(SetIndexTo());
  ASSERT_TRUE(SetOrderToTag("NUM"));
  ASSERT_TRUE(Reindex());
  EXPECT_EQ(OrderTagName(CurrentOrder()), "NUM");
  GoTop();
  EXPECT_EQ(Code(), "C");
  ASSERT_TRUE(AddIndexTag({"NUM", "-NUM", "", false, false}));
  EXPECT_EQ(OrderCount(), 3);
  ASSERT_TRUE(SetOrderToTag("NUM"));
  GoTop();
  EXPECT_EQ(Code(), "A");
  CloseAll();
  // A table without an index gets one, and its header flag.
  test::WriteBytes(dir_.File("U.DBF"), test::TableBytes({{"Y", 1}, {"X", 2}}));
  std::vector<unsigned char> bytes = test::ReadBytes(dir_.File("U.DBF"));
  bytes[28] = 0;
  test::WriteBytes(dir_.File("U.DBF"), bytes);
  Use(dir_.File("U.DBF") + " EXCLUSIVE");
  ASSERT_TRUE(AddIndexTag({"CODE", "CODE", "", false, false}));
  CloseAll();
  EXPECT_EQ(test::ReadBytes(dir_.File("U.DBF"))[28], 1);
}

TEST_F(IndexBuildTest, EveryCorpusIndexRebuiltOnACopyKeepsItsSequence) {
  namespace fs = std::filesystem;
  const fs::path corpus = test::CorpusDir();
  if (corpus.empty()) GTEST_SKIP() << "the shared corpus folder (../shared/corpus) is absent";
  SharingEnabled = false;
  AnsiTables = true;
  int rebuilt = 0;
  int tags = 0;
  int reordered_groups = 0;
  for (const auto& entry : fs::recursive_directory_iterator(corpus)) {
    std::string ext = entry.path().extension().string();
    for (char& ch : ext) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    if (!entry.is_regular_file() || ext != ".MDX") continue;
    fs::path table = entry.path();
    table.replace_extension(".DBF");
    if (!fs::exists(table)) continue;
    const std::string rel = fs::relative(entry.path(), corpus).generic_string();
    SCOPED_TRACE(rel);
    // The table, its memo file and its index, copied under their own names.
    const fs::path copy_dir = fs::path(dir_.File("")) / std::to_string(rebuilt + 100);
    fs::create_directories(copy_dir);
    for (const char* extension : {".DBF", ".DBT", ".dbt", ".FPT", ".MDX"}) {
      fs::path from = table;
      from.replace_extension(extension);
      if (std::string(extension) == ".MDX") from = entry.path();
      // .DBT and .dbt name one file on Windows: the second copy replaces the first.
      if (fs::exists(from)) test::CopyWritable(from, copy_dir / from.filename());
    }
    const std::string copy_table = (copy_dir / table.filename()).string();
    const std::string copy_index = (copy_dir / entry.path().filename()).string();
    std::vector<std::string> names;
    std::vector<std::vector<TagItem>> before;
    {
      QuietErrors quiet;
      MdxFile probe;
      if (!probe.Open(copy_index, os::kOpenReadOnlyDenyNone)) continue;
    }
    // One tag's writer ordered characters above 127 by a collation of its own.
    const std::string foreign = rel == "cimc-pcs7/meldeom/MELDOM.MDX" ? "NAME_TAG" : "";
    before = Items(copy_index, &names, foreign);
    if (CodeOf([&] { Use(copy_table + " EXCLUSIVE"); }) != 0) continue;
    if (CodeOf([&] { SetIndexTo(copy_index); }) != 0) {
      QuietErrors quiet;
      CloseArea();
      continue;
    }
    ASSERT_TRUE(Reindex()) << LastErrorMessage;
    CloseArea();
    std::vector<std::string> after_names;
    const auto after = Items(copy_index, &after_names, foreign);
    ASSERT_EQ(after_names, names);
    for (std::size_t tag = 0; tag < before.size(); ++tag) {
      SCOPED_TRACE(names[tag]);
      if (names[tag] == foreign) continue;
      ASSERT_EQ(after[tag].size(), before[tag].size());
      // The same keys in the same order; equal keys hold the same records (a file kept up to
      // date by edits has its equal keys in the order they were added, a build by record).
      std::vector<std::uint32_t> group_before;
      std::vector<std::uint32_t> group_after;
      for (std::size_t i = 0; i < before[tag].size(); ++i) {
        ASSERT_TRUE(SameStoredKey(after[tag][i].key, before[tag][i].key)) << "item " << i;
        group_before.push_back(before[tag][i].record);
        group_after.push_back(after[tag][i].record);
        if (i + 1 == before[tag].size() || before[tag][i + 1].key != before[tag][i].key) {
          if (group_before != group_after) ++reordered_groups;
          std::sort(group_before.begin(), group_before.end());
          std::sort(group_after.begin(), group_after.end());
          ASSERT_EQ(group_after, group_before) << "item " << i;
          group_before.clear();
          group_after.clear();
        }
      }
      ++tags;
    }
    ++rebuilt;
  }
  EXPECT_EQ(rebuilt, 28);
  EXPECT_GT(tags, 60);
  RecordProperty("groups_of_equal_keys_in_another_order", reordered_groups);
}

}  // namespace
}  // namespace vx
