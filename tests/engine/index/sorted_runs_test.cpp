// Entries sorted within a memory budget: the order is the same whether everything fits in
// memory or the entries spill to many runs merged back, and the runs' file is gone afterwards.
#include "engine/index/sorted_runs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>

#include "engine/foundation/errors.h"
#include "tests/support/temp_dir.h"

namespace vx::test {
namespace {

using Entry = std::pair<std::string, std::uint32_t>;

// Adds the entries, then reads them back in order.
std::vector<Entry> Sorted(const std::vector<Entry>& entries, int key_length, KeyComparator compare,
                          std::uint64_t budget, const std::string& dir, int& runs) {
  SortedRuns sorted(key_length, compare, budget, dir, "Test");
  for (const auto& [key, record] : entries) {
    std::uint8_t* slot = sorted.Slot();
    EXPECT_NE(slot, nullptr);
    std::memcpy(slot, key.data(), key.size());
    sorted.Add(record);
  }
  EXPECT_TRUE(sorted.Finish());
  std::vector<Entry> out;
  while (const std::uint8_t* e = sorted.Next()) {
    out.emplace_back(
        std::string(reinterpret_cast<const char*>(e), static_cast<std::size_t>(key_length)),
        GetLe32(e + key_length));
  }
  EXPECT_FALSE(sorted.failed());
  EXPECT_EQ(sorted.count(), entries.size());
  runs = sorted.runs();
  return out;
}

TEST(SortedRunsTest, OrderIsTheSameInMemoryAndAcrossRunsForAnySize) {
  TempDir dir;
  std::mt19937 random(27);
  // 256 entries fit one run of the smallest budget: sizes around it and its multiples.
  for (const std::size_t size : {0u, 1u, 2u, 255u, 256u, 257u, 511u, 512u, 513u, 3000u}) {
    for (const bool descending : {false, true}) {
      SCOPED_TRACE(std::to_string(size) + (descending ? " descending" : " ascending"));
      std::vector<Entry> entries;
      for (std::size_t i = 0; i < size; ++i) {
        // Few distinct keys, so that equal keys are ordered by record number across runs.
        std::string key = "K" + std::to_string(random() % (size / 4 + 1));
        key.resize(6, ' ');
        entries.emplace_back(key, static_cast<std::uint32_t>(random()));
      }
      const KeyComparator compare = descending ? CompareCharKeysDescending : CompareCharKeys;
      std::vector<Entry> expected = entries;
      std::sort(expected.begin(), expected.end(), [&](const Entry& a, const Entry& b) {
        const int c = compare(reinterpret_cast<const std::uint8_t*>(a.first.data()),
                              reinterpret_cast<const std::uint8_t*>(b.first.data()), 6);
        return c != 0 ? c < 0 : a.second < b.second;
      });
      int runs = 0;
      EXPECT_EQ(Sorted(entries, 6, compare, std::uint64_t{64} << 20, dir.File(""), runs), expected);
      EXPECT_EQ(runs, 0);
      EXPECT_EQ(Sorted(entries, 6, compare, 1, dir.File(""), runs), expected);
      EXPECT_EQ(runs, size <= 256 ? 0 : static_cast<int>((size + 255) / 256));
      EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    }
  }
}

TEST(SortedRunsTest, ARunThatCannotBeWrittenIsReported) {
  SortedRuns sorted(4, CompareCharKeys, 1, "/nonexistent-folder", "Test");
  QuietErrors quiet;
  EngineErrorCode = 0;
  std::uint8_t* slot = nullptr;
  for (int i = 0; i < 257 && (slot = sorted.Slot()) != nullptr; ++i) {
    std::memcpy(slot, "ABCD", 4);
    sorted.Add(static_cast<std::uint32_t>(i));
  }
  EXPECT_EQ(slot, nullptr);
  EXPECT_TRUE(sorted.failed());
  EXPECT_NE(EngineErrorCode, 0);
  EXPECT_NE(LastErrorMessage->find("[Test]"), std::string::npos) << LastErrorMessage;
}

}  // namespace
}  // namespace vx::test
