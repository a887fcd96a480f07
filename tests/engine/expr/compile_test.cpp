// Compiling: the emitted cells, result widths, the 351 messages with their excerpts, bad input,
// CheckExpr, owned handles, and the conditions of the work-area layer.

#include <gtest/gtest.h>

#include "engine/expr/compiler.h"
#include "engine/workarea/hooks.h"
#include "tests/engine/expr/expr_test_support.h"

namespace vx {
namespace {

using test::DbfBuilder;

class CompileTest : public test::ExprTest {};

struct CellShape {
  std::int32_t opcode;
  std::int32_t arg_count;
  std::int32_t type_code;
  double value;  // N data cells: the number; L data cells: the integer
};

std::vector<CellShape> Shapes(const CompiledExpr& e) {
  std::vector<CellShape> out;
  for (const ExprCell& c : e.program) {
    double v = 0;
    if (c.opcode == 0 && c.type_code == kTypeN) v = c.value.number;
    if (c.opcode == 0 && c.type_code == kTypeL) v = c.value.logical;
    out.push_back({c.opcode, c.opcode == 0 ? 0 : c.arg_count, c.type_code, v});
  }
  return out;
}

bool operator==(const CellShape& a, const CellShape& b) {
  return a.opcode == b.opcode && a.arg_count == b.arg_count && a.type_code == b.type_code &&
         a.value == b.value;
}

void PrintTo(const CellShape& c, std::ostream* os) {
  *os << "{" << c.opcode << "," << c.arg_count << "," << c.type_code << "," << c.value << "}";
}

TEST_F(CompileTest, CellsComeOutInReductionOrder) {
  test::WriteBytes(dir_.File("people.dbf"),
                   DbfBuilder(0x03).Field("ID", 'C', 4).Field("NAME", 'C', 10).Build());
  test::WriteBytes(dir_.File("staff.dbf"), DbfBuilder(0x03)
                                               .Field("A", 'C', 1)
                                               .Field("B", 'C', 1)
                                               .Field("C", 'C', 1)
                                               .Field("D", 'C', 1)
                                               .Field("PAY", 'N', 8, 2)
                                               .Build());
  Select(3);
  Use(dir_.File("staff.dbf") + " ALIAS STAFF");
  Select(1);
  Use(dir_.File("people.dbf"));

  Expr upper = Expr::Compile("UPPER(NAME) + 'X'");
  ASSERT_TRUE(upper);
  const std::vector<CellShape> upper_cells = {{0, 0, kTypeL, 2}, {321, 1, 0, 0}, {318, 1, 0, 0},
                                              {0, 0, kTypeC, 0}, {350, 2, 0, 0}, {-1, 0, 0, 0}};
  EXPECT_EQ(Shapes(*upper.get()), upper_cells);
  EXPECT_STREQ(upper->program[3].value.text, "X");
  EXPECT_EQ(upper->result_type, 'C');

  Expr pay = Expr::Compile("STAFF->PAY * 2 > 100");
  ASSERT_TRUE(pay);
  const std::vector<CellShape> pay_cells = {
      {0, 0, kTypeL, 5}, {0, 0, kTypeL, 3},   {327, 2, 0, 0}, {0, 0, kTypeN, 2},
      {355, 2, 0, 0},    {0, 0, kTypeN, 100}, {364, 2, 0, 0}, {-1, 0, 0, 0}};
  EXPECT_EQ(Shapes(*pay.get()), pay_cells);
  EXPECT_EQ(pay->result_type, 'L');
}

TEST_F(CompileTest, ResultWidthsAndDecimals) {
  OpenStaff();
  struct Row {
    const char* text;
    char type;
    int width;
    int decimals;
  };
  const Row rows[] = {
      {"PAY", 'N', 8, 2},         {"PAY * 2", 'N', 13, 2}, {"AGE", 'N', 3, 0},
      {"2 * AGE", 'N', 13, 2},    {"NAME", 'C', 10, 0},    {"UPPER(NAME)", 'C', 10, 0},
      {"NAME + 'X'", 'C', 11, 0}, {"BORN", 'D', 8, 0},     {"OK", 'L', 1, 0},
      {"DTOS(BORN)", 'C', 8, 0},  {"1", 'N', 13, 2},
  };
  for (const Row& r : rows) {
    Expr e = Expr::Compile(r.text);
    ASSERT_TRUE(e) << r.text;
    EXPECT_EQ(e->result_type, r.type) << r.text;
    EXPECT_EQ(e->result_width, r.width) << r.text;
    EXPECT_EQ(e->result_decimals, r.decimals) << r.text;
  }
}

TEST_F(CompileTest, SyntaxAndTypeErrorsGive351WithTheirMessage) {
  OpenStaff();
  const test::Case cases[] = {
      {"DATE", "Syntax error: DATE needs parentheses at position 1: DATE(...)"},
      {"SUBSTR(NAME,2)", "Syntax error: SUBSTR takes 3 arguments, not 2"},
      {"STR()", "Syntax error: STR takes 1 to 3 arguments, not 0"},
      {"INLIST(1)", "Syntax error: INLIST takes 2 or more arguments, not 1"},
      {"CMO(BORN)", "Syntax error: unknown field or function CMO at position 1"},
      {"AGE + NOPE", "Syntax error: unknown field or function NOPE at position 7"},
      {"X->NAME", "Syntax error: unknown field or function X->NAME at position 1"},
      {"AGE > 1950 AND OK", "Syntax error: AND needs dots: .AND. at position 12"},
      {"OK OR OK", "Syntax error: OR needs dots: .OR. at position 4"},
      {"'abc", "Syntax error: missing closing quote"},
      {"", "Syntax error: empty expression"},
      {"(NAME", "Syntax error: missing )"},
      {"SUBSTR(NAME, 1, 2", "Syntax error: missing )"},
      {"NAME +", "Syntax error: the expression ends too early"},
      {"NAME + * 2", "Syntax error: unexpected * at position 8"},
      {"{13/45/99}", "Syntax error: {13/45/99} at position 1 is not a date"},
      {"{^1999-02-30}", "Syntax error: {^1999-02-30} at position 1 is not a date"},
      {"{12/25/99", "Syntax error: missing } after the date at position 1"},
      {"NAME AGE", "Parser_stack_overflow: AGE at position 6 follows a complete expression"},
      {"NAME )", "Parser_stack_overflow: ) at position 6 follows a complete expression"},
      {"NAME = 5", "PARSER:Type mismatch in expression \"=\""},
      {".NOT. AGE > 5", "PARSER:Type mismatch in expression \".NOT.\""},
      {"IIF(OK, 1, 'A')", "PARSER:Type mismatch in function \"IIF\""},
      {"BETWEEN(1, 'A', 2)", "PARSER:Type mismatch in function \"BETWEEN\""},
      {"INLIST(1, 2, 'A')", "PARSER:Type mismatch in function \"INLIST\""},
      {"- NAME", "PARSER:Type mismatch in expression \"Unary -\""},
      {"+ OK", "PARSER:Type mismatch in expression \"Unary +\""},
      {"2 ^ 'A'", "PARSER:Type mismatch in expression \"** or ^\""},
      {"SUBSTR(NAME, 'A', 1)", "PARSER:Type mismatch in function \"SUBSTR\""},
      {"MAX(1, BORN)", "PARSER:Type mismatch in function \"MAX\""},
  };
  for (const test::Case& c : cases) {
    const std::string message = CompileMessage(c.text);
    EXPECT_EQ(message.rfind("Error in expression : " + std::string(c.expected) + "\r\n", 0), 0u)
        << c.text << " gave " << message;
    EXPECT_NE(message.find("\r\n [AssignExpr]"), std::string::npos) << c.text;
  }
  EXPECT_EQ(Eval("cmon(born)"), "C:January  ");
  EXPECT_EQ(Eval("CMONT(BORN)"), "C:January  ");
}

TEST_F(CompileTest, ExcerptShowsFiftyOneCharactersEndingAtTheFailure) {
  std::string text;
  for (int i = 0; i < 50; ++i) text += "1+";
  text += "@";
  text += std::string(19, '1');
  ASSERT_EQ(text.size(), 120u);
  EXPECT_EQ(CompileMessage(text),
            "Error in expression : Syntax error: unexpected @ at position 101\r\n[..." +
                text.substr(50, 51) + "...]\r\n [AssignExpr]");
  EXPECT_EQ(CompileMessage("1 +"),
            "Error in expression : Syntax error: the expression ends too early\r\n[1 +]\r\n "
            "[AssignExpr]");
}

TEST_F(CompileTest, NameFollowedByParenthesisIsAFunction) {
  test::WriteBytes(
      dir_.File("odd.dbf"),
      DbfBuilder(0x03).Field("UPPER", 'C', 3).Field("DATE", 'N', 2).Record(" abc 5").Build());
  Use(dir_.File("odd.dbf"));
  EXPECT_EQ(Eval("UPPER (UPPER)"), "C:ABC");
  EXPECT_EQ(Eval("DATE + 1"), "N:6");
}

TEST_F(CompileTest, BadInputGets351OrAValue) {
  OpenStaff();
  const std::string cases[] = {
      std::string(10000, 'A'),
      std::string(200, '(') + "1" + std::string(200, ')'),
      std::string(140, '(') + "1" + std::string(140, ')'),
      std::string(200, '-') + "1",
      "1" + std::string(1000, '+') + "1",
      "'unbalanced",
      "\"mixed'",
      "((1)",
      "\xff\xfe\x80",
      "NAME\x01",
      std::string(81, '9'),
      "A" + std::string(90, 'B'),
      "NOSUCH->NAME",
      "STAFF->",
      "->",
      std::string(255, ' '),
  };
  for (const std::string& text : cases) {
    EXPECT_EQ(Eval(text), "351") << text.substr(0, 40);
  }
  // A NUL ends the text; the deepest nesting that fits the stack compiles.
  EXPECT_EQ(Eval(std::string("1\0+", 3)), "N:1");
  EXPECT_EQ(Eval(std::string(40, '(') + "1" + std::string(40, ')')), "N:1");
  EXPECT_EQ(Eval(std::string(80, '9')), "N:1e+80");
}

TEST_F(CompileTest, CheckExprTrimsAndClassifies) {
  OpenStaff();
  struct Row {
    std::string text;
    bool is_key;
    int code;
  };
  const Row rows[] = {
      {"NAME  \t", true, 0}, {"  ", true, 359},       {std::string(221, 'N'), true, 360},
      {"OK", true, 361},     {"NAME", false, 362},    {"OK .AND. AGE > 5", false, 0},
      {"NAME +", true, 351}, {"DTOS(BORN)", true, 0},
  };
  for (Row r : rows) {
    EXPECT_EQ(CheckExpr(r.text, r.is_key), r.code) << r.text;
    EXPECT_EQ(EngineErrorCode, 0);
  }
  std::string text = "NAME \r\n";
  CheckExpr(text, true);
  EXPECT_EQ(text, "NAME");
  EXPECT_EQ(GetMemoPoolSize(), 256);
}

TEST_F(CompileTest, HandlesAreOwnedAndFreedOnlyWhenListed) {
  CompiledExpr* raw = AssignExpr("1 + 1");
  ASSERT_NE(raw, nullptr);
  EXPECT_EQ(ExprText(raw), "1 + 1");
  CompiledExpr* copy = raw;
  FreeExpr(raw);
  EXPECT_EQ(raw, nullptr);
  FreeExpr(copy);  // no longer listed: left alone
  EXPECT_NE(copy, nullptr);
  CompiledExpr* none = nullptr;
  FreeExpr(none);
  EXPECT_EQ(Evaluate(nullptr), nullptr);

  Expr a = Expr::Compile("2");
  Expr b = std::move(a);
  EXPECT_FALSE(a);
  EXPECT_EQ(test::Rendered(b.get()), "N:2");
  CurrentKeyExpression = b.get();
  EXPECT_EQ(*static_cast<const double*>(EvaluateCurrentKey()), 2);
  b = Expr();
  EXPECT_EQ(CurrentKeyExpression, nullptr);
  EXPECT_EQ(EvaluateCurrentKey(), nullptr);
}

TEST_F(CompileTest, HooksReachTheCompiler) {
  ASSERT_TRUE(ExpressionHooks->present);
  void* h = ExpressionHooks->Compile("'A' $ 'CAB'");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(ExpressionHooks->Text(h), "'A' $ 'CAB'");
  EXPECT_EQ(*static_cast<const unsigned char*>(ExpressionHooks->Evaluate(h)), 1);
  ExpressionHooks->Free(h);
}

TEST_F(CompileTest, FilterAndScopeConditionsSteerNavigation) {
  OpenStaff();
  EXPECT_EQ(CodeOf([] { SetFilterExpr("NAME"); }), 362);
  EXPECT_EQ(CodeOf([] { SetFilterExpr("AGE >"); }), 351);
  ASSERT_TRUE(SetFilterExpr("AGE > 50"));
  GoTop();
  EXPECT_EQ(RecNo(), 1);
  SKIP();
  EXPECT_EQ(RecNo(), 3);
  SKIP();
  EXPECT_TRUE(dEOF());
  SKIP(-1);
  EXPECT_EQ(RecNo(), 3);
  SKIP(-1);
  EXPECT_EQ(RecNo(), 1);

  ASSERT_TRUE(SetFilterExpr(""));
  ASSERT_TRUE(SetWhileExpr("PAY < 500"));
  EXPECT_TRUE(IsWhileOn());
  GoTop();
  SKIP();
  EXPECT_EQ(RecNo(), 2);
  SKIP();  // Carol's pay is negative: still in scope
  EXPECT_EQ(RecNo(), 3);
  ASSERT_TRUE(SetWhileExpr("AGE < 50"));
  GO(2);
  SKIP();
  EXPECT_TRUE(dEOF());
  CloseArea();  // frees both conditions with the table
}

}  // namespace
}  // namespace vx
