// The shape of built trees: for key lengths whose nodes hold 9, 42 and 84 keys, the record
// counts that change the fill of the last node of some level build a tree that the checker
// passes (every leaf at one depth, no empty node below the root, branch keys right), that
// holds every record once, is no deeper than the count needs, and finds every key by seek.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/index/index_build.h"
#include "engine/index/index_check.h"
#include "engine/index/key_maker.h"
#include "tests/engine/index/index_fixture.h"

namespace vx {
namespace {

// A dBASE III table of one character field K of `width`; record i holds count + 1 - i in
// digits, so every key is distinct and the build has to sort.
std::vector<unsigned char> KeyTable(int width, int count) {
  std::vector<unsigned char> f(65, 0);
  f[0] = 0x03;
  f[1] = 124;
  f[2] = 1;
  f[3] = 1;
  for (int i = 0; i < 4; ++i) f[4 + i] = static_cast<unsigned char>(count >> (8 * i));
  f[8] = 65;
  f[10] = static_cast<unsigned char>((width + 1) & 0xFF);
  f[11] = static_cast<unsigned char>((width + 1) >> 8);
  f[32] = 'K';
  f[32 + 11] = 'C';
  f[32 + 16] = static_cast<unsigned char>(width);
  f[64] = 0x0D;
  f.reserve(f.size() + static_cast<std::size_t>(count) * (width + 1) + 1);
  for (int i = 0; i < count; ++i) {
    // Descending record order, so that the build really sorts.
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08d", count - i);
    std::string key(static_cast<std::size_t>(width), '0');
    const std::string d(digits);
    key.replace(key.size() - std::min(key.size(), d.size()), std::min(key.size(), d.size()),
                d.substr(d.size() - std::min(key.size(), d.size())));
    f.push_back(' ');
    f.insert(f.end(), key.begin(), key.end());
  }
  f.push_back(0x1A);
  return f;
}

// Counts around every point where the last node of a level fills up or starts anew, for nodes
// of m keys (branches of m + 1 children), up to `limit`.
std::vector<int> ShapeCounts(int m, int limit) {
  std::vector<int> counts;
  for (long long span = m; span <= limit; span *= (m + 1)) {
    for (long long j : {1LL, 2LL, static_cast<long long>(m), static_cast<long long>(m + 1)}) {
      for (int d = -2; d <= 2; ++d) {
        const long long n = j * span + d;
        if (n >= 0 && n <= limit) counts.push_back(static_cast<int>(n));
      }
    }
  }
  return counts;
}

class TreeShapeTest : public test::IndexTest {
 protected:
  // Builds the tag over `count` records and checks it; answers false after a failure.
  void BuildAndCheck(int width, int count) {
    SCOPED_TRACE("key length " + std::to_string(width) + ", " + std::to_string(count) + " records");
    test::WriteBytes(dir_.File("S.DBF"), KeyTable(width, count));
    Use(dir_.File("S.DBF") + " EXCLUSIVE");
    ASSERT_TRUE(MakeIndex({{"K", "K", "", false, false}})) << LastErrorMessage;
    CloseAll();
    // The header's page counter: past the last page written (the tag header).
    const auto bytes = test::ReadBytes(dir_.File("S.MDX"));
    ASSERT_EQ(GetLe32(bytes.data() + 32), bytes.size() / kMdxPageSize);
    MdxFile file;
    ASSERT_TRUE(file.Open(dir_.File("S.MDX"), os::kOpenReadOnlyDenyNone));
    TagHeader header;
    ASSERT_TRUE(file.ReadTagHeader(1, header));
    std::vector<std::string> problems;
    std::vector<TagItem> items;
    ASSERT_TRUE(CheckTagTree(file, header, CompareCharKeys, problems, &items)) << problems.front();
    ASSERT_EQ(items.size(), static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < items.size(); ++i) {
      ASSERT_EQ(items[i].record, static_cast<std::uint32_t>(count) - i);
    }
    // The least depth that holds the count.
    const int m = header.MaxKeys();
    int depth = 1;
    for (long long reach = m; reach < count; reach *= (m + 1)) ++depth;
    TagCursor cursor;
    cursor.Attach(&file, header, CompareCharKeys, {});
    for (const TagItem& item : items) {
      bool found = false;
      ASSERT_TRUE(
          cursor.Seek(reinterpret_cast<const std::uint8_t*>(item.key.data()), width, found));
      ASSERT_TRUE(found) << item.record;
      ASSERT_EQ(cursor.Record(), item.record);
      ASSERT_EQ(static_cast<int>(cursor.PathPages().size()), depth);
    }
  }
};

TEST_F(TreeShapeTest, EveryCountThatReshapesALastNodeBuildsABalancedCompleteTree) {
  // Nodes of 9 keys: every count up to three levels, then the counts around each boundary up
  // to four.
  std::vector<int> small;
  for (int count = 0; count <= 9 * 10 + 12; ++count) small.push_back(count);
  for (const int count : ShapeCounts(9, 1000)) {
    if (count > small.back()) small.push_back(count);
  }
  for (const int count : small) {
    BuildAndCheck(100, count);
    if (HasFatalFailure()) return;
  }
  // Nodes of 42 and 84 keys: the counts around each level's boundaries, and the counts that
  // lost keys (77,777 with 42 keys a node) or left a leaf high (50,000 with 84).
  const struct {
    int width;
    int limit;
    std::vector<int> large;
  } cases[] = {{20, 4000, {77657, 77658, 77659, 77777}}, {8, 8000, {50000}}};
  for (const auto& [width, limit, large] : cases) {
    std::vector<int> counts = ShapeCounts(1012 / ((width + 4 + 3) / 4 * 4), limit);
    counts.insert(counts.end(), large.begin(), large.end());
    std::sort(counts.begin(), counts.end());
    counts.erase(std::unique(counts.begin(), counts.end()), counts.end());
    for (const int count : counts) {
      BuildAndCheck(width, count);
      if (HasFatalFailure()) return;
    }
  }
}

}  // namespace
}  // namespace vx
