#include "engine/foundation/text_utils.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/os/codepage.h"

namespace vx {
namespace {

// Runs TakeKeyword on a copy and answers whether it matched and what was left.
std::pair<bool, std::string> Take(const char* keyword, const char* text) {
  std::string rest = text;
  const bool found = TakeKeyword(keyword, rest);
  return {found, rest};
}

TEST(TextUtilsTest, TakesKeywordOutOfCommandText) {
  EXPECT_EQ(Take(" EXCLUSIVE", "MOVIE EXCLUSIVE "), std::make_pair(true, std::string("MOVIE ")));
  EXPECT_EQ(Take(" EXCLUSIVE", "movie exclusive"), std::make_pair(true, std::string("movie")));
  EXPECT_EQ(Take(" NOCASE", "NAME='X' NOCASE EXACT"),
            std::make_pair(true, std::string("NAME='X' EXACT")));
  EXPECT_EQ(Take(" EXACT", "NAME='X'"), std::make_pair(false, std::string("NAME='X'")));
}

TEST(TextUtilsTest, TakesOnlyWholeWords) {
  // Taking " EXCLUSIVE" out of a longer word would open another file.
  EXPECT_EQ(Take(" EXCLUSIVE", "MOVIE EXCLUSIVELY"),
            std::make_pair(false, std::string("MOVIE EXCLUSIVELY")));
  EXPECT_EQ(Take(" EXCLUSIVE", "A EXCLUSIVE_B EXCLUSIVE"),
            std::make_pair(true, std::string("A EXCLUSIVE_B")));
  EXPECT_EQ(Take(" EXACT", "X EXACT.DBF"), std::make_pair(true, std::string("X.DBF")));
}

TEST(TextUtilsTest, UpperCasesInTheAnsiPage) {
  const int oem = os::OemCodePage();
  const int ansi = os::AnsiCodePage();
  ASSERT_TRUE(os::SetCodePages(850, 1252));
  EXPECT_EQ(UpperText("movie 1.dbf"), "MOVIE 1.DBF");
  EXPECT_EQ(UpperText("caf\xE9"), "CAF\xC9");
  os::SetCodePages(oem, ansi);
}

TEST(TextUtilsTest, CountsNonOverlappingOccurrences) {
  EXPECT_EQ(CountOccurrences("a", "banana"), 3);
  EXPECT_EQ(CountOccurrences("an", "banana"), 2);
  EXPECT_EQ(CountOccurrences("aa", "aaaaa"), 2);
  EXPECT_EQ(CountOccurrences("", "banana"), 0);
}

TEST(TextUtilsTest, FindsTheNthOccurrenceFromEitherEnd) {
  constexpr std::size_t kNone = std::string::npos;
  EXPECT_EQ(FindOccurrence(1, "an", "banana"), 1u);
  EXPECT_EQ(FindOccurrence(2, "an", "banana"), 3u);
  EXPECT_EQ(FindOccurrence(3, "an", "banana"), kNone);
  EXPECT_EQ(FindOccurrence(-1, "an", "banana"), 3u);
  EXPECT_EQ(FindOccurrence(-2, "an", "banana"), 1u);
  EXPECT_EQ(FindOccurrence(-3, "an", "banana"), kNone);
  EXPECT_EQ(FindOccurrence(0, "an", "banana"), kNone);
  EXPECT_EQ(FindOccurrence(1, "", "banana"), kNone);
  // Occurrences do not overlap, counted from the end they start at the end.
  EXPECT_EQ(FindOccurrence(1, "aa", "aaa"), 0u);
  EXPECT_EQ(FindOccurrence(-1, "aa", "aaa"), 1u);
  EXPECT_EQ(FindOccurrence(-2, "aa", "aaa"), kNone);
  EXPECT_EQ(FindOccurrence(-2, "aa", "aaaa"), 0u);
}

}  // namespace
}  // namespace vx
