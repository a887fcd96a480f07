#pragma once
// Test support for the expression language: a work area with a small staff table, and a
// rendering of any evaluated value as text ("C:ABC", "N:2.5", "L:T", "D:20240131").

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "engine/expr/expression.h"
#include "engine/foundation/dates.h"
#include "engine/workarea/navigation.h"
#include "tests/engine/table/dbf_bytes.h"
#include "tests/engine/workarea/work_area_fixture.h"

namespace vx::test {

// The value of a compiled expression after Evaluate, as text.
inline std::string Rendered(CompiledExpr* e) {
  const void* v = Evaluate(e);
  if (v == nullptr) return "<null>";
  char number[64];
  switch (e->result_type) {
    case 'C':
    case 'M':
      return std::string(1, e->result_type) + ":" +
             std::string(static_cast<const char*>(v), e->result_length);
    case 'N':
      std::snprintf(number, sizeof number, "N:%.15g", *static_cast<const double*>(v));
      return number;
    case 'D':
      return "D:" + DayNumberToStored(*static_cast<const double*>(v));
    default:
      return *static_cast<const std::int32_t*>(v) != 0 ? "L:T" : "L:F";
  }
}

class ExprTest : public WorkAreaTest {
 protected:
  void SetUp() override {
    WorkAreaTest::SetUp();
    InitExpressions();
  }

  static std::string Row(char flag, std::string name, const char* pay, const char* born, char ok,
                         const char* age) {
    name.resize(10, ' ');
    return std::string(1, flag) + name + pay + born + ok + age;
  }

  // STAFF: NAME C 10, PAY N 8 2, BORN D, OK L, AGE N 3; three records, the second deleted.
  void OpenStaff(int area = 1, const char* alias = "STAFF") {
    const std::string path = dir_.File(std::string(alias) + ".dbf");
    WriteBytes(path, DbfBuilder(0x03)
                         .Field("NAME", 'C', 10)
                         .Field("PAY", 'N', 8, 2)
                         .Field("BORN", 'D', 8)
                         .Field("OK", 'L', 1)
                         .Field("AGE", 'N', 3)
                         .Record(Row(' ', "ABC", "   12.50", "19700131", 'T', " 53"))
                         .Record(Row('*', "Bob", "  100.00", "        ", 'F', "  7"))
                         .Record(Row(' ', "Carol", "-3000.00", "20000229", 'Y', "100"))
                         .Build());
    Select(area);
    Use(path + " ALIAS " + alias);
  }

  // Compiles and evaluates; "351" etc. when compiling fails.
  std::string Eval(const std::string& text) {
    QuietErrors quiet;
    EngineErrorCode = 0;
    Expr e = Expr::Compile(text);
    if (!e) {
      const std::string code = std::to_string(EngineErrorCode);
      EngineErrorCode = 0;
      return code;
    }
    return Rendered(e.get());
  }

  // The engine's message of a failed compile.
  std::string CompileMessage(const std::string& text) {
    QuietErrors quiet;
    EngineErrorCode = 0;
    LastErrorMessage->clear();
    Expr e = Expr::Compile(text);
    EXPECT_FALSE(e) << text;
    EngineErrorCode = 0;
    return LastErrorMessage;
  }
};

struct Case {
  const char* text;
  const char* expected;
};

}  // namespace vx::test
