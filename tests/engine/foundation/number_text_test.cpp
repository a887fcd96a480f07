// Numbers written with a fixed number of decimals, as number fields, STR and ROUND write them:
// whole numbers (written without the C library) and fractions (rounded on 15 digits) alike.
#include "engine/foundation/number_text.h"

#include <gtest/gtest.h>

namespace vx {
namespace {

TEST(NumberTextTest, FixedTextWritesWholeNumbersAndFractions) {
  const struct {
    double n;
    int decimals;
    const char* text;
  } kCases[] = {
      {0, 0, "0"},
      {-0.0, 2, "0.00"},
      {7, 0, "7"},
      {1985, 0, "1985"},
      {1985, 2, "1985.00"},
      {-42, 3, "-42.000"},
      {10000000, 0, "10000000"},
      {999999999999999, 0, "999999999999999"},
      {-999999999999999, 1, "-999999999999999.0"},
      {1e15, 0, "1000000000000000"},
      {2.675, 2, "2.68"},
      {0.125, 2, "0.13"},
      {-0.4, 0, "0"},
      {8.25, 1, "8.3"},
      {12.5, 0, "13"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(FixedText(c.n, c.decimals), c.text);
  }
  EXPECT_EQ(NumberFieldText(1985, 4, 0), std::optional<std::string>("1985"));
  EXPECT_EQ(NumberFieldText(1985, 8, 2), std::optional<std::string>(" 1985.00"));
  EXPECT_EQ(NumberFieldText(19850, 4, 0), std::nullopt);
  EXPECT_EQ(RoundDecimal(1985, 2), 1985);
  EXPECT_EQ(RoundDecimal(1985, -2), 2000);
  EXPECT_EQ(RoundDecimal(-1949, -2), -1900);
}

}  // namespace
}  // namespace vx
