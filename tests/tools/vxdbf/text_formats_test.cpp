// CSV and JSON encodings of vxdbf.

#include "tools/vxdbf/text_formats.h"

#include <gtest/gtest.h>

namespace vx::tool {
namespace {

TEST(JsonNumberTest, NormalisesStoredNumericText) {
  const struct { const char* stored; const char* json; } kCases[] = {
      {"   42", "42"},   {"  -3.50", "-3.50"}, {"+1.5", "1.5"},   {"  .5", "0.5"},
      {"-.25", "-0.25"}, {"007", "7"},         {"5.", "5"},       {"0", "0"},
      {"1.5E+10", "1.5e+10"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.stored);
    EXPECT_EQ(JsonNumber(c.stored).value_or("null"), c.json);
  }
}

TEST(JsonNumberTest, BlankOrOverflowedTextIsNoNumber) {
  for (const char* stored : {"", "     ", "*****", "12a", "-", ".", "1.2.3", "1e", "- 5"}) {
    SCOPED_TRACE(stored);
    EXPECT_FALSE(JsonNumber(stored).has_value());
  }
}

TEST(CsvTest, QuotesOnlyWhatNeedsQuoting) {
  EXPECT_EQ(CsvField("plain text"), "plain text");
  EXPECT_EQ(CsvField("a,b"), "\"a,b\"");
  EXPECT_EQ(CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(CsvField("two\nlines"), "\"two\nlines\"");
  EXPECT_EQ(CsvLine({"a", "", "c,d"}), "a,,\"c,d\"\r\n");
}

TEST(JsonStringTest, EscapesQuotesBackslashesAndControls) {
  EXPECT_EQ(JsonString("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u0001\"");
  EXPECT_EQ(JsonString("caf\xC3\xA9"), "\"caf\xC3\xA9\"");
}

}  // namespace
}  // namespace vx::tool
