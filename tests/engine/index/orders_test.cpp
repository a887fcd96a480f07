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

}  // namespace
}  // namespace vx
