// The spool of rows on their way into a table: entries come back as they were put, in order,
// whatever their sizes against the buffer; the file goes with the spool.
#include "engine/table/record_spool.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "tests/support/temp_dir.h"

namespace vx::test {
namespace {

TEST(RecordSpoolTest, EntriesOfAnySizeComeBackInOrder) {
  TempDir dir;
  std::mt19937 random(5);
  // Buffers smaller than, equal to and larger than the entries, and entries of no bytes.
  for (const std::size_t buffer : {64u, 100u, 4096u}) {
    SCOPED_TRACE(buffer);
    std::vector<std::string> entries;
    for (int i = 0; i < 500; ++i) {
      const std::size_t size = i % 7 == 0 ? 0 : random() % (i % 50 == 0 ? 3 * buffer : 90);
      std::string entry(size, '\0');
      for (char& c : entry) c = static_cast<char>(random());
      entries.push_back(entry);
    }
    {
      RecordSpool spool(buffer);
      ASSERT_EQ(spool.OpenBeside(dir.File("T.DBF")), 0);
      for (const std::string& e : entries) ASSERT_EQ(spool.Put(e), 0);
      EXPECT_EQ(spool.count(), entries.size());
      for (int pass = 0; pass < 2; ++pass) {
        ASSERT_EQ(spool.Rewind(), 0);
        std::string entry;
        int code = 0;
        std::size_t n = 0;
        while (spool.Next(entry, code)) {
          ASSERT_LT(n, entries.size());
          ASSERT_EQ(entry, entries[n]) << n;
          ++n;
        }
        EXPECT_EQ(code, 0);
        EXPECT_EQ(n, entries.size());
      }
      EXPECT_NE(spool.Put("late"), 0);  // no writing once reading began
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
  }
}

TEST(RecordSpoolTest, FieldsOfAnEntryAndAFolderThatCannotHoldTheFile) {
  std::string entry;
  RecordSpool::PutNumber(entry, 0x80000007u);
  RecordSpool::PutText(entry, std::string("a\0b", 3));
  RecordSpool::PutText(entry, "");
  std::string_view from = entry;
  std::uint32_t number = 0;
  std::string text, empty = "x";
  ASSERT_TRUE(RecordSpool::TakeNumber(from, number));
  ASSERT_TRUE(RecordSpool::TakeText(from, text));
  ASSERT_TRUE(RecordSpool::TakeText(from, empty));
  EXPECT_EQ(number, 0x80000007u);
  EXPECT_EQ(text, std::string("a\0b", 3));
  EXPECT_EQ(empty, "");
  EXPECT_TRUE(from.empty());
  EXPECT_FALSE(RecordSpool::TakeNumber(from, number));
  std::string_view cut = std::string_view(entry).substr(0, 9);
  ASSERT_TRUE(RecordSpool::TakeNumber(cut, number));
  EXPECT_FALSE(RecordSpool::TakeText(cut, text));  // says 3 bytes, holds 1

  RecordSpool nowhere;
  EXPECT_NE(nowhere.OpenBeside("/nonexistent-folder/T.DBF"), 0);
  EXPECT_NE(nowhere.Put("x"), 0);
  EXPECT_NE(nowhere.Rewind(), 0);
}

}  // namespace
}  // namespace vx::test
