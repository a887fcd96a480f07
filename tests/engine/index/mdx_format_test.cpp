// The file header, tag table and name tree, and the checks of tag headers.
#include "engine/index/mdx_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/index/mdx_file.h"
#include "tests/support/temp_dir.h"

namespace vx {
namespace {

TEST(MdxFormatTest, NewHeaderHasTheFixedFields) {
  const MdxHeader h = NewMdxHeader("MOVIE", 2024, 3, 7, true);
  EXPECT_EQ(std::vector<int>(h.bytes.begin(), h.bytes.begin() + 4),
            (std::vector<int>{2, 124, 3, 7}));
  EXPECT_EQ(std::vector<int>(h.bytes.begin() + 20, h.bytes.begin() + 28),
            (std::vector<int>{0x02, 0x00, 0x00, 0x04, 0x01, 0x30, 0x20, 0x00}));
  EXPECT_EQ(h.TableName(), "MOVIE");
  EXPECT_EQ(h.TagCount(), 0);
  EXPECT_EQ(HeaderFault(h), "");
  EXPECT_EQ(std::vector<int>(h.bytes.begin() + 44, h.bytes.begin() + 47),
            (std::vector<int>{124, 3, 7}));
}

TEST(MdxFormatTest, CreateMdxHeaderWritesAnEmptyIndexOrReadsAnExistingOne) {
  test::TempDir dir;
  const std::string path = dir.File("MOVIE.MDX");
  {
    MdxFile file;
    ASSERT_TRUE(file.CreateMdxHeader(path, dir.File("movie.dbf"), 66));
  }
  const std::vector<unsigned char> bytes = test::ReadBytes(path);
  ASSERT_EQ(bytes.size(), 2048u);
  EXPECT_EQ(std::vector<int>(bytes.begin() + 20, bytes.begin() + 28),
            (std::vector<int>{0x02, 0x00, 0x00, 0x04, 0x01, 0x30, 0x20, 0x00}));
  EXPECT_EQ(std::string(bytes.begin() + 4, bytes.begin() + 9), "movie");
  MdxFile again;
  ASSERT_TRUE(again.CreateMdxHeader(path, dir.File("movie.dbf"), 66));
  EXPECT_EQ(again.header().TagCount(), 0);
  EXPECT_EQ(test::ReadBytes(path), bytes);
}

TEST(MdxFormatTest, NameTreeIsRebuiltAndRemovalMatchesPrefixes) {
  MdxHeader h = NewMdxHeader("T", 2024, 1, 1, true);
  ASSERT_TRUE(AddTagEntry(h, "B", 4, 'C'));
  ASSERT_TRUE(AddTagEntry(h, "a", 6, 'N'));
  ASSERT_TRUE(AddTagEntry(h, "C", 8, 'D'));
  EXPECT_EQ(h.TagName(2), "A");
  const TagEntry root = h.EntryAt(1);
  EXPECT_EQ(root.left, 2);
  EXPECT_EQ(root.right, 3);
  EXPECT_EQ(h.EntryAt(2).parent, 1);
  EXPECT_EQ(h.EntryAt(3).parent, 1);
  EXPECT_EQ(h.EntryAt(0).right, 1);
  EXPECT_EQ(h.EntryAt(1).type, 'C');
  EXPECT_EQ(h.Entry(1)[19], 2);
  // Removing "B" moves the last entry (C) into its place.
  ASSERT_TRUE(RemoveTagEntry(h, "b"));
  EXPECT_EQ(h.TagCount(), 2);
  EXPECT_EQ(h.TagName(1), "C");
  EXPECT_EQ(h.EntryAt(1).left, 2);
  EXPECT_EQ(h.TagName(3), "");
  // A shorter name matches a longer stored one; the same name replaces its entry.
  ASSERT_TRUE(AddTagEntry(h, "TITLE", 10, 'C'));
  ASSERT_TRUE(RemoveTagEntry(h, "TIT"));
  EXPECT_EQ(h.TagCount(), 2);
  ASSERT_TRUE(AddTagEntry(h, "A", 12, 'C'));
  EXPECT_EQ(h.TagCount(), 2);
  EXPECT_EQ(h.EntryAt(2).header_page, 12u);
  EXPECT_FALSE(RemoveTagEntry(h, "ZZ"));
  // Adding a tag replaces only a tag of exactly its name, never a longer one it begins.
  ASSERT_TRUE(AddTagEntry(h, "NAME", 14, 'C'));
  ASSERT_TRUE(AddTagEntry(h, "N", 16, 'N'));
  EXPECT_EQ(h.TagCount(), 4);
  ASSERT_TRUE(AddTagEntry(h, "n", 18, 'N'));
  EXPECT_EQ(h.TagCount(), 4);
  std::vector<std::string> names;
  for (int i = 1; i <= h.TagCount(); ++i) names.push_back(h.TagName(i));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"A", "C", "N", "NAME"}));
}

TEST(MdxFormatTest, TagHeaderChecksEveryLengthAndType) {
  const auto make = [](char type, int key, int keys, int item) {
    TagHeader t;
    t.bytes[9] = static_cast<std::uint8_t>(type);
    PutLe16(t.bytes.data() + 12, static_cast<std::uint16_t>(key));
    PutLe16(t.bytes.data() + 14, static_cast<std::uint16_t>(keys));
    PutLe16(t.bytes.data() + 18, static_cast<std::uint16_t>(item));
    return t;
  };
  EXPECT_EQ(TagHeaderFault(make('C', 100, 9, 104)), "");
  EXPECT_EQ(TagHeaderFault(make('N', 12, 63, 16)), "");
  EXPECT_EQ(TagHeaderFault(make('D', 8, 84, 12)), "");
  EXPECT_NE(TagHeaderFault(make('C', 101, 9, 108)), "");
  EXPECT_NE(TagHeaderFault(make('C', 0, 9, 4)), "");
  EXPECT_NE(TagHeaderFault(make('C', 10, 63, 14)), "");  // item length mismatch
  EXPECT_NE(TagHeaderFault(make('C', 10, 64, 16)), "");  // more keys than fit
  EXPECT_NE(TagHeaderFault(make('C', 10, 0, 16)), "");
  EXPECT_NE(TagHeaderFault(make('+', 4, 126, 8)), "");
  EXPECT_NE(TagHeaderFault(make('N', 8, 84, 12)), "");
  EXPECT_EQ(ItemLengthFor(100), 104);
  EXPECT_EQ(1012 / ItemLengthFor(100), 9);
  EXPECT_EQ(ItemLengthFor(22), 28);
}

}  // namespace
}  // namespace vx
