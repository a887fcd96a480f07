// A program killed at each stage of a node split leaves the tree half changed on the disk:
// vxdbf check finds what is wrong, and check --repair rebuilds tags in which every record of the
// table is found by its key. The index engine's split hook stops the writer at the chosen stage,
// so the kill never depends on timing.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "engine/foundation/settings.h"
#include "engine/index/orders.h"
#include "engine/index/tag_tree.h"
#include "engine/startup/engine_startup.h"
#include "engine/workarea/locks.h"
#include "engine/workarea/navigation.h"
#include "tests/engine/index/index_fixture.h"
#include "tests/support/child_process.h"
#include "tests/tools/vxdbf/run_vxdbf.h"

namespace vx::tool {
namespace {

// Where the writer stops itself; set in the child before it appends.
SplitStage StopStage = SplitStage::kNewPageWritten;
bool StopInLeaf = true;
test::Child* Writer = nullptr;

void StopAtStage(SplitStage stage, bool leaf) {
  if (stage != StopStage || leaf != StopInLeaf) return;
  Writer->Send('k');
  ::kill(::getpid(), SIGKILL);
}

class SplitCrashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitEngine();
    std::vector<test::Row> rows;
    for (int i = 0; i < 30; ++i) rows.push_back({std::to_string((i * 3571) % 10000), i});
    table_ = dir_.File("T.DBF");
    test::WriteBytes(table_, test::TableBytes(rows));
    // WIDE holds 10 keys a node, so appends split leaves, branches and roots quickly; NUM's
    // root is still a leaf (63 keys a node).
    const std::vector<std::vector<std::string>> tags = {
        {"--tag", "WIDE", "--key", "CODE+SPACE(90)"},
        {"--tag", "NUM", "--key", "NUM"},
        {"--tag", "LIVE", "--key", "CODE", "--for", ".NOT.DELETED()"},
    };
    for (const auto& tag : tags) {
      std::vector<std::string> args = {"index", table_};
      args.insert(args.end(), tag.begin(), tag.end());
      ASSERT_EQ(Vxdbf(args).status, 0);
    }
    ASSERT_EQ(Vxdbf({"check", table_}).status, 0);
  }
  void TearDown() override {
    QuietErrors quiet;
    CloseAll();
  }

  // Appends records in a child process until a split of the chosen kind reaches `stage`, where
  // the child kills itself.
  void KillWriterAt(SplitStage stage, bool leaf) {
    test::Child writer([&](test::Child& self) {
      InitEngine();
      // The header counts each record before its keys go in, so that a table the writer left
      // behind holds exactly the records check and the rebuild see.
      FlushAfterWrite = true;
      Use(table_);
      if (!SetIndexTo()) return 1;
      Writer = &self;
      StopStage = stage;
      StopInLeaf = leaf;
      SplitStageTestHook = StopAtStage;
      for (int i = 0; i < 5000; ++i) {
        if (!ALock()) return 2;
        ClearRecord();
        const std::string code = std::to_string((i * 7919) % 100000);
        char* field = FieldAddress(1);
        field[0] = static_cast<char>(code.size());
        std::memcpy(field + 1, code.data(), code.size());
        const std::int32_t num = (i * 37) % 500;
        std::memcpy(FieldAddress(2), &num, sizeof num);
        Append();
        Unlock();
      }
      return 3;  // no such split happened
    });
    EXPECT_EQ(writer.Receive(), 'k');
    EXPECT_EQ(writer.Wait(), -1);  // killed, not ended
    std::remove(dir_.File("T.@S@").c_str());
  }

  // Every record of the table is reached by a seek of its key in every tag.
  void ExpectEveryRecordFound() {
    InitEngine();
    Use(table_);
    EXPECT_TRUE(SetIndexTo());
    EXPECT_GT(RecCount(), 30);
    bool all_found = true;
    for (std::int32_t n = 1; n <= RecCount() && all_found; ++n) {
      QuietErrors quiet;
      EngineErrorCode = 0;
      GO(n);
      SyncIndex(true);
      EXPECT_EQ(EngineErrorCode, 0) << "record " << n << ": " << LastErrorMessage;
      all_found = EngineErrorCode == 0;
      for (int order = 1; order <= OrderCount() && all_found; ++order) {
        const TagCursor& cursor = OrderOf(order)->cursor;
        all_found =
            cursor.OnItem() && !cursor.AtEnd() && cursor.Record() == static_cast<std::uint32_t>(n);
        EXPECT_TRUE(all_found) << "record " << n << ", tag " << order;
      }
    }
    QuietErrors quiet;
    CloseAll();
    std::remove(dir_.File("T.@S@").c_str());
  }

  std::string table_;
  test::TempDir dir_;
};

TEST_F(SplitCrashTest, CheckFindsWhatAKillInsideASplitLeavesAndRepairMendsIt) {
  ASSERT_EQ(SplitStageTestHook, nullptr);  // nothing but a test sets it
  const std::vector<unsigned char> mdx = test::ReadBytes(dir_.File("T.MDX"));
  const std::vector<unsigned char> dbf = test::ReadBytes(table_);
  // The new record (31 in the first cases) is counted before its keys go in. Where only a new
  // page was written the tree is sound (the page is merely unused) and the record's keys are
  // what is missing; once a node is rewritten its parent's key or its new sibling is wrong, and
  // the keys behind an unlinked node or a root the tag header does not name yet are missing.
  const struct {
    const char* name;
    SplitStage stage;
    bool leaf;
    std::vector<const char*> problems;  // each is in check's report
  } cases[] = {
      {"leaf: new page written",
       SplitStage::kNewPageWritten,
       true,
       {"tag WIDE: record 31: its key is missing\ntag NUM: record 31: its key is missing\n"
        "tag LIVE: record 31: its key is missing\n"}},
      {"leaf: both halves written",
       SplitStage::kBothPagesWritten,
       true,
       {"tag WIDE: page 10: item 0's key is not the highest key of its child (page 4)",
        "tag WIDE: record 2: its key is missing", "tag NUM: record 31: its key is missing"}},
      {"branch: new page written",
       SplitStage::kNewPageWritten,
       false,
       {"tag WIDE: page 10: item 0's key is not the highest key of its child",
        "tag LIVE: record 71: its key is missing"}},
      {"branch: both halves written",
       SplitStage::kBothPagesWritten,
       false,
       {"tag WIDE: record 11: its key is missing", "tag LIVE: record 71: its key is missing"}},
      {"root leaf: new root written",
       SplitStage::kNewRootWritten,
       true,
       {"tag NUM: record 32: its key is missing", "tag LIVE: record 64: its key is missing"}},
      {"root branch: new root written",
       SplitStage::kNewRootWritten,
       false,
       {"tag WIDE: record 11: its key is missing"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::WriteBytes(table_, dbf);
    test::WriteBytes(dir_.File("T.MDX"), mdx);
    KillWriterAt(c.stage, c.leaf);
    const Result found = Vxdbf({"check", table_});
    EXPECT_EQ(found.status, 4) << found.out;
    if (c.stage == SplitStage::kNewPageWritten && c.leaf) {
      EXPECT_EQ(found.out, c.problems[0]);
    }
    // The header's page counter reaches past every new node before any node is linked.
    EXPECT_EQ(found.out.find("page counter"), std::string::npos) << found.out;
    for (const char* problem : c.problems) {
      EXPECT_NE(found.out.find(problem), std::string::npos) << found.out;
    }
    EXPECT_EQ(Vxdbf({"check", table_, "--repair"}).status, 4);
    const Result after = Vxdbf({"check", table_});
    EXPECT_EQ(after.status, 0) << after.out;
    ExpectEveryRecordFound();
  }
}

// Other programs allocate new nodes at the index header's page counter: a live node at or past
// it would be written over. A counter past the file's end (other writers leave such files) is
// harmless.
TEST_F(SplitCrashTest, CheckFlagsALiveNodeAtOrBeyondThePageCounter) {
  const std::vector<unsigned char> mdx = test::ReadBytes(dir_.File("T.MDX"));
  const std::uint32_t pages = static_cast<std::uint32_t>(mdx.size() / 512);
  ASSERT_EQ(GetLe32(mdx.data() + 32), pages);
  // The last tag's header is the file's last page: the counter goes below WIDE's root.
  for (const std::uint32_t counter : {test::RootPageOf(mdx, 1), pages + 8}) {
    SCOPED_TRACE(counter);
    std::vector<unsigned char> changed = mdx;
    PutLe32(changed.data() + 32, counter);
    test::WriteBytes(dir_.File("T.MDX"), changed);
    const Result r = Vxdbf({"check", table_});
    if (counter < pages) {
      EXPECT_EQ(r.status, 4);
      EXPECT_NE(r.out.find(": node at or beyond the index header's page counter " +
                           std::to_string(counter) + "\n"),
                std::string::npos)
          << r.out;
    } else {
      EXPECT_EQ(r.status, 0) << r.out;
    }
  }
}

}  // namespace
}  // namespace vx::tool
