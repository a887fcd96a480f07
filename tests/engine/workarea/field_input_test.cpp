// Values given as text for a field: what each kind of field takes, what it refuses and in
// which words, and the number form.

#include "engine/workarea/field_input.h"

#include <gtest/gtest.h>

#include <vector>

#include "engine/foundation/dates.h"
#include "engine/workarea/work_areas.h"

namespace vx {
namespace {

class FieldInputTest : public ::testing::Test {
 protected:
  void SetUp() override { InitWorkAreas(); }

  // Puts `text` into field `n` of a fresh image; answers the problem ("" when taken).
  std::string Put(int n, const std::string& text, bool is_null = false) {
    image_.assign(offsets_.back(), 0);
    changed_.assign(fields_.size(), 0);
    RecordImage image(fields_, offsets_, image_.data(), &changed_);
    const std::string problem = PutFieldText(image, n, {text, is_null, text});
    number_ = image.Number(n == 2 || n == 3 ? n : 2);
    logical_ = image.Logical(4);
    blank_ = image.SetBlank(n);
    day_ = image.Date(5);
    return problem;
  }

  std::vector<FieldEntry> fields_ = {{"NAME", 'C', 5, 0, 1},   {"YEAR", 'N', 4, 0, 6},
                                     {"PRICE", 'N', 6, 2, 10}, {"DONE", 'L', 1, 0, 16},
                                     {"SEEN", 'D', 8, 0, 17},  {"NOTES", 'M', 10, 0, 25}};
  std::vector<std::uint32_t> offsets_ = ImageOffsets(fields_);
  std::vector<char> image_;
  std::vector<std::uint8_t> changed_;
  double number_ = 0;
  bool logical_ = false;
  bool blank_ = false;
  double day_ = 0;
};

TEST_F(FieldInputTest, EachKindTakesItsFormsAndRefusesTheRestInWords) {
  const struct {
    int field;
    const char* text;
    const char* problem;  // "" when taken
  } kCases[] = {
      {1, "Anna", ""},
      {1, "Annabel", "\"Annabel\" is longer than field NAME (C 5 0)"},
      {2, " 1958 ", ""},
      {2, "+12", ""},
      {2, "12345", "\"12345\" does not fit field YEAR (N 4 0)"},
      {2, "1e3", ""},
      {2, "soon", "\"soon\" is not a number for field YEAR (N 4 0)"},
      {2, "1,5", "\"1,5\" is not a number for field YEAR (N 4 0)"},
      {2, "3000000000", "\"3000000000\" is no whole number of 32 bits for field YEAR (N 4 0)"},
      {3, "999.99", ""},
      {3, "1000.5", "\"1000.5\" does not fit field PRICE (N 6 2)"},
      {3, "1e999", "\"1e999\" is out of range"},
      {4, "yes", ""},
      {4, "n", ""},
      {4, "?", ""},
      {4, "maybe", "\"maybe\" is not a logical value for field DONE (L 1 0)"},
      {5, "1958-05-09", ""},
      {5, "19580509", ""},
      {5, "", ""},
      {5, "09.05.1958",
       "\"09.05.1958\" is no date (YYYY-MM-DD or YYYYMMDD) for field SEEN (D 8 0)"},
      {5, "1958-02-30",
       "\"1958-02-30\" is no date (YYYY-MM-DD or YYYYMMDD) for field SEEN (D 8 0)"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Put(c.field, c.text), c.problem);
  }
  // What was taken reads back as meant.
  EXPECT_EQ(Put(3, "-12.5"), "");
  EXPECT_DOUBLE_EQ(number_, -12.5);
  EXPECT_EQ(Put(4, "TRUE"), "");
  EXPECT_TRUE(logical_);
  EXPECT_EQ(Put(4, ""), "");
  EXPECT_TRUE(blank_) << "no value: a blank, not false";
  EXPECT_EQ(Put(5, "1958-05-09"), "");
  EXPECT_EQ(day_, DayNumber(1958, 5, 9));
  EXPECT_EQ(Put(5, ""), "");
  EXPECT_EQ(day_, kBlankDate);
  // A long value is named shortened, at a character's start.
  const std::string long_text = std::string(59, 'x') + "é and more";
  EXPECT_EQ(Put(1, long_text).substr(0, 63), "\"" + std::string(59, 'x') + "...");
}

TEST_F(FieldInputTest, MemoTextIsTheCallers) {
  EXPECT_TRUE(TextGoesToMemo(fields_[5], {"a memo"}));
  EXPECT_FALSE(TextGoesToMemo(fields_[0], {"text"}));
  EXPECT_EQ(Put(6, "anything at all"), "");
}

TEST(JsonNumberTest, NormalisesStoredNumericText) {
  const struct {
    const char* stored;
    const char* json;
  } kCases[] = {
      {"   42", "42"}, {"  -3.50", "-3.50"}, {"+1.5", "1.5"},
      {"  .5", "0.5"}, {"-.25", "-0.25"},    {"007", "7"},
      {"5.", "5"},     {"0", "0"},           {"1.5E+10", "1.5e+10"},
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

}  // namespace
}  // namespace vx
