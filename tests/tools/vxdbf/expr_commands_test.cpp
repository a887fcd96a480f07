// vxdbf list and eval: values of every type in CSV, JSON and text, record selection, and the
// exit status and messages of expressions that fail.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "engine/memo/memo_storage.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/vxdbf/run_vxdbf.h"

namespace vx::tool {
namespace {

class ExprCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitMemoStorage();
    films_ = dir_.File("films.dbf");
    ASSERT_EQ(Vxdbf({"sample", films_}).status, 0);
  }
  test::TempDir dir_;
  std::string films_;
};

TEST_F(ExprCommandsTest, ListPrintsEveryTypeForTheSelectedRecords) {
  ASSERT_EQ(Vxdbf({"delete", films_, "2"}).status, 0);
  const Result csv = Vxdbf({"list", films_, "TITLE", "YEAR + 1", "PREMIERE", "COLOR",
                            "LEFT(TITLE, 4) $ 'City'", "--for", "YEAR < 1932"});
  ASSERT_EQ(csv.status, 0) << csv.err;
  EXPECT_EQ(csv.out,
            "_recno,TITLE,YEAR + 1,PREMIERE,COLOR,\"LEFT(TITLE, 4) $ 'City'\"\r\n"
            "1,Metropolis          ,1928,1927-01-10,F,F\r\n");
  const Result deleted = Vxdbf({"list", films_, "RECNO()", "--for", "YEAR < 1932", "--deleted"});
  EXPECT_EQ(deleted.out, "_recno,RECNO()\r\n1,1\r\n2,2\r\n");

  const Result json = Vxdbf({"list", films_, "TITLE", "RUNTIME / 2", "PREMIERE + 1", "COLOR",
                             "PLOT", "--for", "RECNO() = 1", "--format", "jsonl"});
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json.out.rfind("{\"_recno\": 1, \"TITLE\": \"Metropolis          \", "
                           "\"RUNTIME / 2\": 76.5, \"PREMIERE + 1\": \"1927-01-11\", "
                           "\"COLOR\": false, \"PLOT\": \"In a city of towers",
                           0),
            0u)
      << json.out;
}

TEST_F(ExprCommandsTest, EvalPrintsOneValueWithOrWithoutATable) {
  EXPECT_EQ(Vxdbf({"eval", "STR(-1.5, 4, 1)"}).out, "-1.5\n");
  EXPECT_EQ(Vxdbf({"eval", "1/4 + 1", "--format", "jsonl"}).out,
            "{\"value\": 1.25, \"type\": \"N\", \"width\": 13, \"decimals\": 2}\n");
  EXPECT_EQ(Vxdbf({"eval", "CTOD('x')", "--format", "jsonl"}).out,
            "{\"value\": null, \"type\": \"D\", \"width\": 8, \"decimals\": 0}\n");
  EXPECT_EQ(Vxdbf({"eval", "CTOD('x')"}).out, "\n");
  EXPECT_EQ(Vxdbf({"eval", "'ABCD' <> 'AB' .AND. 'ABCD' = 'AB'"}).out, "T\n");
  EXPECT_EQ(
      Vxdbf({"eval", "UPPER(TITLE)", "--table", films_, "--record", "2", "--format", "jsonl"}).out,
      "{\"value\": \"CITY LIGHTS         \", \"type\": \"C\", \"width\": 20, "
      "\"decimals\": 0}\n");
  EXPECT_EQ(Vxdbf({"eval", "TITLE", "--table", films_, "--record", "999"}).status, 2);
}

TEST_F(ExprCommandsTest, FailingExpressionsExitTwoWithTheEngineMessage) {
  const Result syntax = Vxdbf({"eval", "SUBSTR('abc', 2)"});
  EXPECT_EQ(syntax.status, 2);
  EXPECT_NE(syntax.err.find("Error in expression : Syntax error: SUBSTR takes 3 arguments, not "
                            "2\r\n[SUBSTR('abc', 2)]\r\n [AssignExpr]"),
            std::string::npos)
      << syntax.err;
  const Result no_table = Vxdbf({"eval", "TITLE"});
  EXPECT_EQ(no_table.status, 2);

  const Result divide = Vxdbf({"list", films_, "TITLE", "YEAR / 0"});
  EXPECT_EQ(divide.status, 2);
  EXPECT_EQ(divide.out, "_recno,TITLE,YEAR / 0\r\n");  // no partial row
  EXPECT_NE(divide.err.find("Divide by 0 [Evaluate/Engine]"), std::string::npos);

  const Result not_logical = Vxdbf({"list", films_, "TITLE", "--for", "YEAR"});
  EXPECT_EQ(not_logical.status, 2);
  EXPECT_EQ(not_logical.out, "");
}

// The excerpt of a failing expression quotes it in UTF-8, whatever page it was compiled in.
TEST_F(ExprCommandsTest, CompileErrorsQuoteTheExpressionInUtf8) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"eval", "'\u00e9t\u00e9' + NOPE"},
        std::vector<std::string>{"eval", "'\u00e9t\u00e9' + NOPE", "--table", films_}}) {
    const Result r = Vxdbf(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("Syntax error: unknown field or function NOPE at position 9\r\n"
                         "['\u00e9t\u00e9' + NOPE]"),
              std::string::npos)
        << r.err;
  }
}

// Every tag of every corpus index, rebuilt from its table, holds the keys the other program
// stored: the same record numbers with the same key bytes.
TEST_F(ExprCommandsTest, EveryCorpusTagRebuildsToTheKeysItStores) {
  namespace fs = std::filesystem;
  const fs::path corpus = test::CorpusDir();
  if (corpus.empty()) GTEST_SKIP() << "the shared corpus folder (../shared/corpus) is absent";
  const auto sorted_lines = [](const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      lines.push_back(text.substr(start, end - start));
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  };
  int tags = 0;
  int copies = 0;
  for (const test::CorpusIndex& found : test::CorpusIndexes()) {
    const fs::path& table = found.table;
    SCOPED_TRACE(table.string());
    // Two copies of the table with its index and memo file: one read as stored, one rebuilt.
    const auto copy_of = [&](const std::string& folder) {
      return test::CopyTableFiles(table,
                                  fs::path(dir_.File("")) / (folder + std::to_string(copies)));
    };
    ++copies;
    const std::string original = copy_of("stored");
    const std::string rebuilt = copy_of("rebuilt");
    const Result listed = Vxdbf({"tags", original, "--json"});
    if (listed.status != 0) continue;  // a table or index the engine refuses (pinned elsewhere)
    if (Vxdbf({"reindex", rebuilt}).status != 0) continue;
    for (std::size_t at = 0; (at = listed.out.find("\"name\":\"", at)) != std::string::npos;) {
      at += 8;
      const std::string tag = listed.out.substr(at, listed.out.find('"', at) - at);
      SCOPED_TRACE(tag);
      const Result before = Vxdbf({"dump", original, "--tag", tag, "--recno", "--lossy"});
      const Result after = Vxdbf({"dump", rebuilt, "--tag", tag, "--recno", "--lossy"});
      ASSERT_EQ(before.status, 0) << before.err;
      ASSERT_EQ(after.status, 0) << after.err;
      EXPECT_EQ(sorted_lines(before.out), sorted_lines(after.out));
      ++tags;
    }
  }
  EXPECT_GT(tags, 50);
}

}  // namespace
}  // namespace vx::tool
