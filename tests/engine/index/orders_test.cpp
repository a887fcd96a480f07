// Orders of a work area: opening the production index, choosing orders, walking them through
// the work-area commands and searching them with Find.
#include "engine/index/orders.h"

#include <gtest/gtest.h>

#include "engine/workarea/navigation.h"
#include "tests/engine/index/index_fixture.h"

namespace vx {
namespace {

using test::Row;

const std::vector<Row> kRows = {
    {"DELTA", 40}, {"ALPHA", 10}, {"ECHO", -5}, {"BRAVO", 20}, {"CHARLY", 30, true},
    {"ALPHA", 11}, {"FOX", 1000}, {"AB", 7},    {"GOLF", 0},   {"BRAVO", 21},
};

class OrdersTest : public test::IndexTest {
 protected:
  // The CODE values of the records in the controlling order, walking with SKIP.
  std::vector<std::string> Walk(bool backwards = false) {
    std::vector<std::string> seen;
    if (backwards) {
      GoBottom();
      while (!dBOF() && !dEOF()) {
        seen.push_back(Code());
        SKIP(-1);
        if (dBOF()) break;
      }
    } else {
      GoTop();
      while (!dEOF()) {
        seen.push_back(Code());
        SKIP(1);
      }
    }
    return seen;
  }
};

TEST_F(OrdersTest, OpensTheProductionIndexOnTheFirstRecordOfTag1) {
  Use(MakeIndexedTable(kRows));
  EXPECT_TRUE(HasProductionIndex());
  ASSERT_TRUE(OpenProductionIndex());
  EXPECT_EQ(OrderCount(), 3);
  EXPECT_EQ(CurrentOrder(), 1);
  EXPECT_EQ(OrderTagName(2), "NUM");
  EXPECT_EQ(OrderDescription(3), IndexFileName() + " [tag: RCODE]");
  EXPECT_EQ(Code(), "AB");
  EXPECT_EQ(RecNo(), 8);
}

TEST_F(OrdersTest, WalksEveryOrderBothWays) {
  Use(MakeIndexedTable(kRows));
  ASSERT_TRUE(SetIndexTo(""));
  const std::vector<std::string> by_code = {"AB",     "ALPHA", "ALPHA", "BRAVO", "BRAVO",
                                            "CHARLY", "DELTA", "ECHO",  "FOX",   "GOLF"};
  EXPECT_EQ(Walk(), by_code);
  EXPECT_EQ(Walk(true), std::vector<std::string>(by_code.rbegin(), by_code.rend()));
  Set_Order_To(2);
  EXPECT_EQ(Walk(), (std::vector<std::string>{"ECHO", "GOLF", "AB", "ALPHA", "ALPHA", "BRAVO",
                                              "BRAVO", "CHARLY", "DELTA", "FOX"}));
  ASSERT_TRUE(SetOrderToTag("rc"));
  EXPECT_EQ(CurrentOrder(), 3);
  EXPECT_EQ(Walk(), std::vector<std::string>(by_code.rbegin(), by_code.rend()));
  // Deleted records are hidden when asked; natural order walks record numbers.
  Set_Order_To(1);
  SetIgnoreDel(true);
  EXPECT_EQ(Walk().size(), 9u);
  SetIgnoreDel(false);
  Set_Order_To(0);
  EXPECT_EQ(CurrentOrder(), 0);
  EXPECT_EQ(Walk().front(), "DELTA");
  EXPECT_EQ(Walk().size(), kRows.size());
}

TEST_F(OrdersTest, ChangingOrderKeepsTheCurrentRecord) {
  Use(MakeIndexedTable(kRows));
  ASSERT_TRUE(SetIndexTo());
  GO(4);  // BRAVO 20
  Set_Order_To(2);
  EXPECT_EQ(RecNo(), 4);
  SKIP(1);
  EXPECT_EQ(Code(), "BRAVO");
  EXPECT_EQ(RecNo(), 10);  // BRAVO 21
  Set_Order_To(1);
  SKIP(1);
  EXPECT_EQ(Code(), "CHARLY");
  SKIP(-2);
  EXPECT_EQ(RecNo(), 4);
}

TEST_F(OrdersTest, FindLandsOnTheFirstMatchOrTheNextKey) {
  Use(MakeIndexedTable(kRows));
  ASSERT_TRUE(SetIndexTo());
  EXPECT_TRUE(Find("AL"));  // a text that begins two keys: the lower record in the order
  EXPECT_EQ(RecNo(), 2);
  EXPECT_TRUE(IndexFound);
  EXPECT_TRUE(Find("BRAVO "));
  EXPECT_EQ(RecNo(), 4);
  EXPECT_FALSE(Find("BX"));
  EXPECT_TRUE(dEOF());
  EXPECT_EQ(RecNo(), RecCount() + 1);
  SoftSeek = true;
  EXPECT_FALSE(Find("BX"));
  EXPECT_EQ(Code(), "CHARLY");
  EXPECT_FALSE(dEOF());
  EXPECT_FALSE(Find("ZZZ"));  // nothing higher: EOF even when soft
  EXPECT_TRUE(dEOF());
  SoftSeek = false;
  // Key padding turns a prefix search into a whole-key search.
  KeyPadding = true;
  EXPECT_FALSE(Find("ALP"));
  EXPECT_TRUE(Find("ALPHA"));
  KeyPadding = false;
  // Numbers are searched by value; descending character tags by whole keys.
  Set_Order_To(2);
  EXPECT_TRUE(Find("1000"));
  EXPECT_EQ(Code(), "FOX");
  EXPECT_TRUE(Find("-5"));
  EXPECT_EQ(Code(), "ECHO");
  EXPECT_FALSE(Find("12"));
  Set_Order_To(3);
  EXPECT_TRUE(Find("DELTA"));
  EXPECT_EQ(RecNo(), 1);
  SKIP(1);
  EXPECT_EQ(Code(), "CHARLY");
  Set_Order_To(0);
  EXPECT_EQ(CodeOf([] { Find("A"); }), 254);
  EXPECT_EQ(LastErrorMessage, "Cannot use Find() with index order 0 (natural order) [Find]");
}

// An empty text is a prefix of every character key: from anywhere it finds the tag's first key
// (soft or not); padded it looks for the blank key; a number tag has no empty key.
TEST_F(OrdersTest, AnEmptyTextFindsTheFirstCharacterKey) {
  Use(MakeIndexedTable(kRows));
  ASSERT_TRUE(SetIndexTo());
  for (const bool soft : {false, true}) {
    SoftSeek = soft;
    GoBottom();
    EXPECT_TRUE(Find(""));
    EXPECT_EQ(RecNo(), 8);  // AB
    EXPECT_TRUE(FindStored(""));
    EXPECT_EQ(Code(), "AB");
    SKIP(1);
    EXPECT_EQ(RecNo(), 2);  // the walk goes on from the first key
  }
  SoftSeek = false;
  KeyPadding = true;
  EXPECT_FALSE(Find(""));
  EXPECT_TRUE(dEOF());
  KeyPadding = false;
  Set_Order_To(2);
  GO(1);
  EXPECT_FALSE(Find(""));
  EXPECT_FALSE(IndexFound);
}

TEST_F(OrdersTest, NextOnTheLastKeySetsEofAndPriorComesBack) {
  Use(MakeIndexedTable(kRows));
  ASSERT_TRUE(SetIndexTo());
  GoBottom();
  EXPECT_EQ(Code(), "GOLF");
  SKIP(1);
  EXPECT_TRUE(dEOF());
  SKIP(-1);
  EXPECT_EQ(Code(), "GOLF");
  GoTop();
  SKIP(-1);
  EXPECT_TRUE(dBOF());
  EXPECT_EQ(Code(), "AB");
}

TEST_F(OrdersTest, TagsWithForConditionsHoldOnlyTheirRecords) {
  Use(MakeIndexedTable(kRows, true));
  ASSERT_TRUE(SetIndexTo());
  EXPECT_EQ(Walk().size(), 9u);
  EXPECT_FALSE(Find("CHARLY"));
}

TEST_F(OrdersTest, ErrorsNameTheOperation) {
  const std::string table = MakeIndexedTable(kRows);
  Use(table);
  EXPECT_EQ(CodeOf([] { Set_Order_To(1); }), 221);
  EXPECT_EQ(LastErrorMessage, "Index not open. (DBF=" + table + ") [Set_Order_To(1)]");
  EXPECT_EQ(CodeOf([] { SetIndexTo("NONE"); }), 2);
  EXPECT_EQ(LastErrorMessage, "SetIndexTo(NONE)");
  ASSERT_TRUE(SetIndexTo("T"));
  EXPECT_EQ(CodeOf([] { Set_Order_To(4); }), 220);
  EXPECT_EQ(LastErrorMessage,
            "Invalid Index Order Specified: SET_ORDER_TO. [Set_Order_To(4)] (DBF=" + table + ")");
  EXPECT_EQ(CodeOf([] { SetOrderToTag("XY"); }), 220);
  EXPECT_EQ(CurrentOrder(), 1);
  ASSERT_TRUE(SetOrderToTag(""));
  EXPECT_EQ(CurrentOrder(), 0);
  CloseIndex();
  EXPECT_EQ(IndexFileName(), "");
  EXPECT_EQ(CurrentOrder(), 0);
}

TEST_F(OrdersTest, TagListDescribesEveryTag) {
  const std::string table = MakeIndexedTable(kRows, true);
  std::vector<std::string> list = {"old"};
  TagList(list, table);
  EXPECT_EQ(list,
            (std::vector<std::string>{"CODE,F,F,CODE", ".NOT. DELETED()", "NUM,F,F,NUM",
                                      ".NOT. DELETED()", "RCODE,T,F,CODE", ".NOT. DELETED()"}));
}

TEST_F(OrdersTest, DamagedIndexLeavesNothingOpen) {
  const std::string table = MakeIndexedTable(kRows);
  std::vector<unsigned char> bytes = test::ReadBytes(dir_.File("T.MDX"));
  bytes[4 * 512 + 12] = 0;  // key length 0
  test::WriteBytes(dir_.File("T.MDX"), bytes);
  Use(table);
  EXPECT_EQ(CodeOf([] { SetIndexTo(); }), 222);
  EXPECT_EQ(IndexFileName(), "");
  EXPECT_EQ(test::ReadBytes(dir_.File("T.MDX")), bytes);
  EXPECT_FALSE(os::FileExists(dir_.File("T.@S@")));
  GoTop();
  EXPECT_EQ(RecNo(), 1);
}

TEST_F(OrdersTest, AKeyExpressionLongerThanTheStoredKeyIsRefused) {
  const std::string table = MakeIndexedTable(kRows);
  test::TagShape short_key;
  short_key.name = "CODE";
  short_key.key_expression = "CODE";
  short_key.key_length = 5;  // the field (and so the expression) is 6 wide
  test::WriteBytes(dir_.File("T.MDX"), test::BuildMdx("T", {short_key}));
  Use(table);
  EXPECT_EQ(CodeOf([] { SetIndexTo(); }), 266);
  EXPECT_EQ(LastErrorMessage, "Incorrect key length: Must be 1 to 100. " + dir_.File("T.MDX"));
  EXPECT_EQ(IndexFileName(), "");
}

// A stored key longer than the expression's width (LEFT(CODE, 3) in a tag an earlier build
// made as wide as the field) opens: its keys are stored padded.
TEST_F(OrdersTest, AKeyExpressionShorterThanTheStoredKeyOpens) {
  const std::string table = MakeIndexedTable(kRows);
  test::TagShape padded;
  padded.name = "CODE3";
  padded.key_expression = "LEFT(CODE, 3)";
  padded.key_length = 6;
  test::WriteBytes(dir_.File("T.MDX"), test::BuildMdx("T", {padded}));
  Use(table);
  EXPECT_EQ(CodeOf([] { SetIndexTo(); }), 0);
  EXPECT_EQ(IndexFileName(), dir_.File("T.MDX"));
}

}  // namespace
}  // namespace vx

namespace vx {
namespace {

// Re-positioning on the current record after a read by number (SyncIndex, strict) and during
// navigation (SoftSyncIndex): found, the key missing, the key there but not the record's item,
// a record the FOR condition leaves out, and no current record. The index was written for other
// rows than the table holds, so that record 4's key and record 6's item are missing.
TEST_F(OrdersTest, SyncIndexFindsTheRecordOrSays212) {
  std::vector<Row> indexed = kRows;
  indexed[5].code = "DELTA";  // record 6 is ALPHA in the table, DELTA in the index
  test::WriteBytes(dir_.File("T.MDX"), test::BuildMdx("T", test::RowTags(indexed, true)));
  std::vector<Row> table = kRows;
  table[3].code = "BZZZZ";  // record 4's key BRAVO is in the index, BZZZZ is not
  test::WriteBytes(dir_.File("T.DBF"), test::TableBytes(table));
  Use(dir_.File("T.DBF"));
  ASSERT_TRUE(SetIndexTo());
  enum Where { kOnRecord, kAtEnd, kNextKey };
  const struct {
    const char* name;
    std::int32_t record;  // 0: EOF; -1: BOF (SKIP -1 from the top)
    bool soft;
    std::uint16_t code;
    const char* message;
    Where where;  // of the controlling order (CODE) afterwards
  } cases[] = {
      {"present", 2, false, 0, "", kOnRecord},
      {"present, soft", 7, true, 0, "", kOnRecord},
      {"key missing", 4, false, 212, "Key: \"BZZZZ \" not in index: CODE. [SyncIndex-1] Record: 4",
       kNextKey},
      {"key missing, soft", 4, true, 212,
       "Record with key: \"BZZZZ \" not in index: CODE. [SoftSyncIndex]", kNextKey},
      {"item missing", 6, false, 212,
       "Record with key: \"ALPHA \" not in index: CODE. [SyncIndex-2]", kNextKey},
      {"item missing, soft", 6, true, 212,
       "Record with key: \"ALPHA \" not in index: CODE. [SoftSyncIndex]", kNextKey},
      {"left out by FOR", 5, false, 0, "", kAtEnd},
      {"left out by FOR, soft", 5, true, 0, "", kNextKey},
      {"EOF", 0, false, 0, "", kAtEnd},
      {"EOF, soft", 0, true, 0, "", kAtEnd},
      {"BOF", -1, false, 0, "", kOnRecord},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CodeOf([&] {
      if (c.record > 0) {
        GO(c.record);
      } else if (c.record == 0) {
        GoBottom();
        SKIP(1);
      } else {
        GoTop();
        SKIP(-1);
      }
    });
    const std::int32_t at = RecNo();
    LastErrorMessage->clear();
    EXPECT_EQ(CodeOf([&] { c.soft ? SoftSyncIndex() : SyncIndex(false); }), c.code);
    if (c.code != 0) {
      EXPECT_EQ(LastErrorMessage, c.message);
    }
    EXPECT_EQ(RecNo(), at);  // the table stays where it was
    const TagCursor& cursor = OrderOf(1)->cursor;
    switch (c.where) {
      case kOnRecord:
        EXPECT_FALSE(cursor.AtEnd());
        ASSERT_TRUE(cursor.OnItem());
        EXPECT_EQ(cursor.Record(), static_cast<std::uint32_t>(at));
        break;
      case kAtEnd:
        EXPECT_TRUE(cursor.AtEnd());
        break;
      case kNextKey: {
        ASSERT_TRUE(cursor.OnItem());
        const std::string key(reinterpret_cast<const char*>(cursor.Key()), 6);
        EXPECT_GT(key, std::string(SelectedTable()->record.data() + 1, 6));
        break;
      }
    }
  }
  // Every order: a record the FOR condition leaves out puts the others on their last key.
  CodeOf([] { GO(5); });
  EXPECT_EQ(CodeOf([] { SyncIndex(true); }), 0);
  EXPECT_TRUE(OrderOf(1)->cursor.AtEnd());
  for (int n : {2, 3}) {
    const TagCursor& cursor = OrderOf(n)->cursor;
    EXPECT_FALSE(cursor.AtEnd());
    ASSERT_TRUE(cursor.OnItem());
    EXPECT_EQ(cursor.Record(), n == 2 ? 7u : 8u);  // FOX 1000; AB, the lowest code
  }
  // GO itself re-positions strictly; navigation that follows keeps going.
  EXPECT_EQ(CodeOf([] { GO(4); }), 212);
  EXPECT_EQ(CodeOf([] { GO(2); }), 0);
}

}  // namespace
}  // namespace vx
