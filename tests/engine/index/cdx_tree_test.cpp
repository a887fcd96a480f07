// .CDX trees changed in place and written whole: random inserts and deletions against a model
// (a sorted multiset of key and record) in every kind of tag, the tree checked after every
// hundred changes; trees written from sorted entries at every size and fill; leaves encoded to
// the bytes the format gives; and a change whose write fails leaves the file as it was.

#include "engine/index/cdx_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/foundation/errors.h"
#include "tests/support/cdx_writer.h"
#include "tests/support/fault_injection.h"
#include "tests/support/temp_dir.h"

namespace vx {
namespace {

using Item = std::pair<std::string, std::uint32_t>;

struct Kind {
  const char* name;
  int key_length;
  bool numeric;
  bool descending;
  bool unique;
  int keys;  // distinct keys drawn from
};

std::string KeyOf(const Kind& kind, unsigned n) {
  if (kind.numeric) return test::CdxNumber(static_cast<double>(n) - 40.5);
  // Long shared prefixes, blanks at the end, and keys that differ only in their last byte.
  std::string k = "K" + std::string(n % 3, 'Z') + std::to_string(n * 7919 % 1000);
  k.resize(static_cast<std::size_t>(kind.key_length), ' ');
  if (kind.key_length > 20) k[static_cast<std::size_t>(kind.key_length) - 1] = static_cast<char>('a' + n % 26);
  return k;
}

class CdxTreeTest : public ::testing::Test {
 protected:
  std::vector<Item> Walked(CdxFile& file, std::size_t tag) {
    std::vector<Item> out;
    const CdxTag& t = file.tags()[tag];
    EXPECT_TRUE(file.Walk(t, [&](const std::uint8_t* key, std::uint32_t record) {
      out.emplace_back(std::string(reinterpret_cast<const char*>(key),
                                   static_cast<std::size_t>(t.header.key_length)),
                       record);
      return true;
    })) << LastErrorMessage;
    return out;
  }
  static std::vector<Item> InOrder(const std::multiset<Item>& model, bool descending) {
    std::vector<Item> out(model.begin(), model.end());
    std::stable_sort(out.begin(), out.end(), [&](const Item& a, const Item& b) {
      if (a.first != b.first) return descending ? a.first > b.first : a.first < b.first;
      return a.second < b.second;
    });
    return out;
  }
  std::string OneTag(const Kind& kind, const std::vector<Item>& items) {
    std::vector<test::CdxTagShape> shapes(1);
    shapes[0].name = kind.name;
    shapes[0].key_expression = "KEY";
    shapes[0].key_length = kind.key_length;
    shapes[0].numeric = kind.numeric;
    shapes[0].descending = kind.descending;
    shapes[0].unique = kind.unique;
    shapes[0].items = items;
    const std::string path = dir_.File(std::string(kind.name) + ".cdx");
    test::WriteBytes(path, test::BuildCdx(shapes));
    return path;
  }

  test::TempDir dir_;
};

// Inserts and deletions at random (equal keys, runs that split leaves and branches to three
// levels and more, deletions that empty and merge nodes down to an empty tree and back): the
// tree stays sound and holds what the model holds, in the tag's order.
TEST_F(CdxTreeTest, RandomChangesKeepEveryKindOfTagSound) {
  const Kind kKinds[] = {{"NAME", 10, false, false, false, 300},
                         {"LONG", 120, false, false, false, 60},
                         {"DOWN", 10, false, true, false, 300},
                         {"AMOUNT", 8, true, false, false, 100},
                         {"ONCE", 6, false, false, true, 150},
                         {"HUGE", 240, false, true, false, 40}};
  const unsigned seed = 42424242u;
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  for (const Kind& kind : kKinds) {
    SCOPED_TRACE(kind.name);
    std::multiset<Item> model;
    std::vector<Item> start;
    for (std::uint32_t r = 1; r <= 50; ++r) {
      const std::string key = KeyOf(kind, random() % static_cast<unsigned>(kind.keys));
      if (kind.unique && std::any_of(model.begin(), model.end(), [&](const Item& i) { return i.first == key; })) continue;
      model.emplace(key, r);
      start.emplace_back(key, r);
    }
    const std::string path = OneTag(kind, start);
    CdxFile file;
    ASSERT_TRUE(file.Open(path, true)) << LastErrorMessage;
    if (kind.numeric) file.tags()[0].trail = 0;
    std::uint32_t next_record = 51;
    std::vector<Item> live(model.begin(), model.end());
    for (int step = 1; step <= 3000; ++step) {
      // Grow for the first half, shrink to nothing at the end.
      const bool insert = step < 1500 ? random() % 3 != 0 : (step < 2700 ? random() % 3 == 0 : false);
      if (insert) {
        const std::string key = KeyOf(kind, random() % static_cast<unsigned>(kind.keys));
        const std::uint32_t record = random() % 4 == 0 && next_record > 1
                                         ? 1 + random() % (next_record - 1) + 100000
                                         : next_record++;
        if (model.count({key, record}) != 0) continue;  // a record has one entry per key
        const bool taken = std::any_of(model.begin(), model.end(), [&](const Item& i) { return i.first == key; });
        const CdxChange c = CdxInsert(file, 0, reinterpret_cast<const std::uint8_t*>(key.data()), record);
        ASSERT_NE(c, CdxChange::kFailed) << LastErrorMessage;
        if (kind.unique && taken) {
          EXPECT_EQ(c, CdxChange::kSkipped);
        } else {
          EXPECT_EQ(c, CdxChange::kDone);
          model.emplace(key, record);
          live.emplace_back(key, record);
        }
      } else if (!live.empty()) {
        const std::size_t at = random() % live.size();
        const Item gone = live[at];
        live.erase(live.begin() + static_cast<long>(at));
        model.erase(model.find(gone));
        ASSERT_EQ(CdxDelete(file, 0, reinterpret_cast<const std::uint8_t*>(gone.first.data()), gone.second),
                  CdxChange::kDone)
            << LastErrorMessage;
        // Taken out already: nothing to take.
        EXPECT_EQ(CdxDelete(file, 0, reinterpret_cast<const std::uint8_t*>(gone.first.data()), gone.second),
                  CdxChange::kSkipped);
      }
      if (step % 100 == 0 || step == 3000) {
        SCOPED_TRACE("step " + std::to_string(step));
        ASSERT_EQ(file.CheckTree(file.tags()[0], nullptr), std::vector<std::string>{});
        ASSERT_EQ(Walked(file, 0), InOrder(model, kind.descending));
        // A fresh open reads what this one wrote.
        CdxFile again;
        ASSERT_TRUE(again.Open(path, false)) << LastErrorMessage;
        if (kind.numeric) again.tags()[0].trail = 0;
        ASSERT_EQ(Walked(again, 0), InOrder(model, kind.descending));
      }
    }
    EXPECT_TRUE(model.empty());
    bool found = true;
    std::uint32_t other = 1;
    const std::string key = KeyOf(kind, 1);
    ASSERT_TRUE(CdxHolds(file, 0, reinterpret_cast<const std::uint8_t*>(key.data()), 1, found, other));
    EXPECT_FALSE(found);
    EXPECT_EQ(other, 0u);
  }
}

// A leaf's bytes written out by hand: three entries, the second sharing three bytes with the
// first, the third with trailing blanks left out; record bits take what the counts leave of
// whole bytes.
TEST_F(CdxTreeTest, LeavesEncodeTheirCountsAndWidths) {
  std::vector<CdxEntry> entries(3);
  entries[0].key = "ABCDE";
  entries[0].record = 5;
  entries[1].key = "ABCXY";
  entries[1].record = 300;
  entries[2].key = "B    ";
  entries[2].record = 2;
  std::array<std::uint8_t, kCdxNodeSize> page{};
  ASSERT_TRUE(EncodeCdxLeaf(entries, 5, ' ', true, kCdxNone, 0x1200, page));
  // Key length 5: counts of 3 bits; record 300 needs 9 bits: 15 bits in 2 bytes, records 10.
  const std::vector<std::uint8_t> head = {3, 0, 3, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0x12, 0, 0,
                                          // free: 488 - 3 * 2 - (5 + 2 + 1)
                                          (488 - 6 - 8) & 0xFF, (488 - 6 - 8) >> 8,
                                          0xFF, 0x03, 0, 0, 7, 7, 10, 3, 3, 2};
  EXPECT_EQ(std::vector<std::uint8_t>(page.begin(), page.begin() + 24), head);
  // Entry fields: record | dup << 10 | trail << 13.
  const std::vector<std::uint8_t> fields = {5, 0, 300 & 0xFF, (300 >> 8) | (3 << 2), 2, 4 << 5};
  EXPECT_EQ(std::vector<std::uint8_t>(page.begin() + 24, page.begin() + 30), fields);
  EXPECT_EQ(std::string(page.end() - 8, page.end()), std::string("BXYABCDE"));
  CdxNode node;
  ASSERT_EQ(DecodeCdxNode(page.data(), 5, ' ', node), "");
  ASSERT_EQ(node.entries.size(), 3u);
  EXPECT_EQ(node.entries[2].key, "B    ");
  EXPECT_EQ(node.entries[1].record, 300u);
  EXPECT_EQ(node.right, 0x1200u);
  // What does not fit is refused.
  std::vector<CdxEntry> many(80, entries[0]);
  for (std::size_t i = 0; i < many.size(); ++i) {
    many[i].key = std::string(1, static_cast<char>('A' + i % 26)) + std::to_string(1000 + i);
  }
  EXPECT_FALSE(EncodeCdxLeaf(many, 5, ' ', false, kCdxNone, kCdxNone, page));
}

// Trees written whole from sorted entries, empty to four levels, at full and half fill: sound,
// every entry in order, the root named.
TEST_F(CdxTreeTest, TreesWrittenWholeAreSoundAtEverySize) {
  for (const int count : {0, 1, 50, 2000, 40000}) {
    for (const int fill : {100, 50}) {
      SCOPED_TRACE(std::to_string(count) + " entries, fill " + std::to_string(fill));
      const Kind kind{"NAME", 10, false, false, false, 0};
      const std::string path = OneTag(kind, {});
      CdxFile file;
      ASSERT_TRUE(file.Open(path, true));
      std::vector<Item> expected;
      for (int i = 0; i < count; ++i) {
        std::string key = "N" + std::to_string(100000 + i / 3);
        key.resize(10, ' ');
        expected.emplace_back(key, static_cast<std::uint32_t>(i + 1));
      }
      std::uint64_t size = file.size();
      std::size_t at = 0;
      std::uint32_t root = 0;
      ASSERT_TRUE(WriteCdxTree(file.file(), size, 10, ' ', fill,
                               [&](const std::uint8_t*& key, std::uint32_t& record) {
                                 if (at == expected.size()) return false;
                                 key = reinterpret_cast<const std::uint8_t*>(expected[at].first.data());
                                 record = expected[at++].second;
                                 return true;
                               },
                               root))
          << LastErrorMessage;
      // Point the tag at the new tree.
      std::vector<unsigned char> bytes = test::ReadBytes(path);
      const std::uint32_t header = file.tags()[0].header.offset;
      for (int b = 0; b < 4; ++b) bytes[header + static_cast<std::uint32_t>(b)] = static_cast<unsigned char>(root >> (8 * b));
      file.Close();
      test::WriteBytes(path, bytes);
      ASSERT_TRUE(file.Open(path, false)) << LastErrorMessage;
      EXPECT_EQ(file.CheckTree(file.tags()[0], nullptr), std::vector<std::string>{});
      EXPECT_EQ(Walked(file, 0), expected);
    }
  }
}

// Every write of every change made to fail in turn (splits write several pages, the tag header
// last): the pages written go back and the file keeps its size, so the tree reads as before;
// the change then succeeds once its writes do.
TEST_F(CdxTreeTest, AFailedWriteLeavesTheTreeAsItWas) {
  const Kind kind{"NAME", 10, false, false, false, 0};
  std::vector<Item> items;
  for (std::uint32_t r = 1; r <= 2000; ++r) items.emplace_back(KeyOf(kind, r), r);
  const std::string path = OneTag(kind, items);
  CdxFile file;
  ASSERT_TRUE(file.Open(path, true));
  int most_writes = 0;
  for (std::uint32_t i = 0; i < 120; ++i) {
    std::string key = "K0ZZ" + std::to_string(i);
    key.resize(10, ' ');
    for (int fail_at = 0;; ++fail_at) {
      SCOPED_TRACE("insert " + std::to_string(i) + ", write " + std::to_string(fail_at + 1));
      const std::vector<unsigned char> now = test::ReadBytes(path);
      CdxChange c = CdxChange::kDone;
      {
        test::FaultInjection faults;
        faults.Fail(test::Call::kWrite, "name.cdx", 5 /* EIO */, fail_at);
        QuietErrors quiet;
        EngineErrorCode = 0;
        c = CdxInsert(file, 0, reinterpret_cast<const std::uint8_t*>(key.data()), 9000 + i);
        if (c == CdxChange::kFailed) {
          EXPECT_EQ(EngineErrorCode, 101);  // a disk write error
        }
      }
      if (c == CdxChange::kDone) {
        most_writes = std::max(most_writes, fail_at);
        break;
      }
      ASSERT_EQ(c, CdxChange::kFailed);
      ASSERT_EQ(test::ReadBytes(path), now);
    }
  }
  // Some inserts split a leaf (two leaves, the parent, a sibling's link, the header).
  EXPECT_GE(most_writes, 4);
  CdxFile again;
  ASSERT_TRUE(again.Open(path, false));
  EXPECT_EQ(again.CheckTree(again.tags()[0], nullptr), std::vector<std::string>{});
  EXPECT_EQ(Walked(again, 0).size(), items.size() + 120);
}

}  // namespace
}  // namespace vx
