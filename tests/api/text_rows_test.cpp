// The text forms rows are read from for vexel::append_rows: CSV records and flat JSON objects.

#include "engine/api/ops/text_rows.h"

#include <gtest/gtest.h>

#include <sstream>

namespace vx::ops {
namespace {

TEST(JsonObjectTest, ReadsFlatObjectsKeepingNumberText) {
  std::vector<std::pair<std::string, JsonValue>> members;
  std::string error;
  ASSERT_TRUE(ParseJsonObject(
      R"({"A":"x\u00e9","B":8.30,"C":-12,"D":true,"E":false,"F":null,"G":1e300})", members, error))
      << error;
  ASSERT_EQ(members.size(), 7u);
  EXPECT_EQ(members[0].second.text, "x\xC3\xA9");
  EXPECT_EQ(members[1].second.text, "8.30");
  EXPECT_EQ(members[2].second.text, "-12");
  EXPECT_EQ(members[3].second.kind, JsonValue::Kind::kTrue);
  EXPECT_EQ(members[5].second.kind, JsonValue::Kind::kNull);
  EXPECT_EQ(members[6].second.text, "1e300");
}

TEST(JsonObjectTest, RefusesAnythingButOneFlatObject) {
  const std::pair<const char*, const char*> kBad[] = {
      {R"({"A":1,"A":2})", "key \"A\" given twice"},
      {R"({"A":[1]})", "an array"},
      {R"({"A":{"B":1}})", "a nested object"},
      {R"([1])", "an array"},
      {R"(5)", "a value outside an object"},
      {R"({"A":1,})", "syntax error"},
      {R"({"A":1} {"B":2})", "syntax error"},
      {"{\"A\":\"\xFF\"}", "ill-formed UTF-8"},
      {R"({"A":+1})", "syntax error"},
  };
  for (const auto& [line, reason] : kBad) {
    SCOPED_TRACE(line);
    std::vector<std::pair<std::string, JsonValue>> members;
    std::string error;
    EXPECT_FALSE(ParseJsonObject(line, members, error));
    EXPECT_NE(error.find(reason), std::string::npos) << error;
    EXPECT_TRUE(members.empty());
  }
  std::vector<std::pair<std::string, JsonValue>> members;
  std::string error;
  EXPECT_FALSE(ParseJsonObject("{\"A\":\"" + std::string(1000, 'x'), members, error));
  EXPECT_LT(error.size(), 200u) << "the echo of the line is cut";
}

TEST(CsvTest, ReadsQuotedLineBreaksDoubledQuotesAndAMissingFinalLineEnd) {
  std::istringstream in("a,\"two\r\nlines\",\"say \"\"hi\"\"\"\r\n,\"\",x\nlast,row");
  std::vector<std::string> fields;
  std::string error;
  ASSERT_TRUE(ReadCsvRecord(in, fields, error));
  EXPECT_EQ(fields, (std::vector<std::string>{"a", "two\r\nlines", "say \"hi\""}));
  ASSERT_TRUE(ReadCsvRecord(in, fields, error));
  EXPECT_EQ(fields, (std::vector<std::string>{"", "", "x"}));
  ASSERT_TRUE(ReadCsvRecord(in, fields, error));
  EXPECT_EQ(fields, (std::vector<std::string>{"last", "row"}));
  EXPECT_FALSE(ReadCsvRecord(in, fields, error));
  EXPECT_TRUE(error.empty());
}

}  // namespace
}  // namespace vx::ops
