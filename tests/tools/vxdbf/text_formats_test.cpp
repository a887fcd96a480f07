// CSV and JSON encodings of vxdbf's output.

#include "tools/vxdbf/text_formats.h"

#include <gtest/gtest.h>


namespace vx::tool {
namespace {

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
