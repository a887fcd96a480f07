// The fuzz target's corpus replayed in the ordinary build: every input compiles to a value or
// fails with 351, and C results stay within their pool, on each record of the staff table.

#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/engine/expr/expr_test_support.h"

namespace vx {
namespace {

class CorpusTest : public test::ExprTest {};

TEST_F(CorpusTest, EveryInputGives351OrAValue) {
  OpenStaff(2, "OTHER");
  OpenStaff(1, "STAFF");
  int inputs = 0;
  for (const auto& entry : std::filesystem::directory_iterator(VX_EXPR_CORPUS)) {
    std::ifstream file(entry.path(), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)), {});
    ++inputs;
    QuietErrors quiet;
    EngineErrorCode = 0;
    Expr e = Expr::Compile(text);
    if (!e) {
      EXPECT_EQ(EngineErrorCode, 351) << entry.path();
      continue;
    }
    for (int n = 1; n <= 3; ++n) {
      GO(n);
      EngineErrorCode = 0;
      ASSERT_NE(e.Evaluate(), nullptr) << entry.path();
      if (e->result_type == 'C' || e->result_type == 'M') {
        EXPECT_LT(e->result_length, e->pool_size) << entry.path();
        EXPECT_EQ(static_cast<const char*>(e->result_ptr)[e->result_length], '\0');
      }
    }
  }
  EXPECT_GT(inputs, 0);
}

}  // namespace
}  // namespace vx
