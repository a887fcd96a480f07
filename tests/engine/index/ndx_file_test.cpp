// .NDX files: the header pinned at the byte level, trees changed by random inserts and deletes
// against a model over key lengths that give 4 and 25 keys a node (so trees of one to five
// levels grow and shrink), bulk-written trees of sizes around the node capacity, and damaged
// files that give error 222, never a crash or a hang.

#include "engine/index/ndx_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/foundation/errors.h"
#include "tests/support/temp_dir.h"

namespace vx {
namespace {

using Item = std::pair<std::string, std::uint32_t>;

class NdxFileTest : public ::testing::Test {
 protected:
  // A new empty index of character keys of `key_length`.
  NdxFile Fresh(const std::string& name, int key_length, bool unique) {
    os::File created;
    EXPECT_EQ(os::File::Create(dir_.File(name), created), 0);
    NdxFile file;
    EXPECT_TRUE(file.Create(std::move(created), dir_.File(name),
                            NewNdxHeader("CODE", false, key_length, unique)));
    return file;
  }
  static std::vector<Item> Walked(NdxFile& file) {
    std::vector<Item> out;
    EXPECT_TRUE(file.Walk([&](const std::uint8_t* key, std::uint32_t record) {
      out.emplace_back(
          std::string(reinterpret_cast<const char*>(key),
                      static_cast<std::size_t>(file.header().key_length)),
          record);
      return true;
    }));
    return out;
  }
  static std::string Key(int value, int length) {
    std::string k = std::to_string(value);
    k.insert(0, 6 - k.size(), '0');
    k.resize(static_cast<std::size_t>(length), ' ');
    return k;
  }
  test::TempDir dir_;
};

TEST_F(NdxFileTest, HeaderHasItsBytesAtTheirOffsets) {
  const NdxHeader h = NewNdxHeader("UPPER(NAME)", false, 10, true);
  std::uint8_t block[kNdxBlockSize];
  EncodeNdxHeader(h, block);
  const unsigned char expected[] = {1, 0, 0, 0,  2, 0, 0, 0, 0, 0, 0, 0, 10, 0, 25, 0,
                                    0, 0, 20, 0, 0, 0, 0, 1, 'U', 'P', 'P'};
  EXPECT_EQ(std::memcmp(block, expected, sizeof expected), 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(block + 24)), "UPPER(NAME)");
  const NdxHeader numeric = NewNdxHeader("AMT", true, 0, false);
  EXPECT_EQ(numeric.key_length, 8);
  EXPECT_EQ(numeric.item_length, 16);
  EXPECT_EQ(numeric.max_keys, 31);
  EncodeNdxHeader(numeric, block);
  EXPECT_EQ(block[16], 1);
  NdxHeader back;
  EXPECT_EQ(DecodeNdxHeader(block, 2, back), "");
  EXPECT_TRUE(back.numeric);
  EXPECT_EQ(back.expression, "AMT");
}

// Random inserts and deletes (a third of them of keys already there, so equal keys span
// leaves) against a set of (key, record); after each batch the walk, the structural check and
// searches agree with the model. A unique index keeps the first record given a key.
TEST_F(NdxFileTest, RandomChangesAgreeWithAModel) {
  for (const int key_length : {100, 10}) {
    for (const bool unique : {false, true}) {
      const unsigned seed = 4242u + static_cast<unsigned>(key_length) + (unique ? 1u : 0u);
      SCOPED_TRACE("key length " + std::to_string(key_length) + (unique ? " unique" : "") +
                   ", seed " + std::to_string(seed));
      NdxFile file = Fresh("t" + std::to_string(key_length) + (unique ? "u" : "") + ".ndx",
                           key_length, unique);
      std::mt19937 random(seed);
      std::set<Item> model;
      std::uint32_t next_record = 1;
      for (int batch = 0; batch < 30; ++batch) {
        // Growing for the first half, shrinking to nothing in the second.
        const bool growing = batch < 15;
        for (int step = 0; step < 60; ++step) {
          const bool insert = model.empty() || (random() % 10) < (growing ? 7u : 2u);
          if (insert) {
            const std::string key = Key(static_cast<int>(random() % 150), key_length);
            const std::uint32_t record = next_record++;
            const bool held = std::any_of(model.begin(), model.end(),
                                          [&](const Item& i) { return i.first == key; });
            const NdxFile::Change c =
                file.Insert(reinterpret_cast<const std::uint8_t*>(key.data()), record);
            if (unique && held) {
              EXPECT_EQ(c, NdxFile::Change::kUnchanged);
            } else {
              ASSERT_EQ(c, NdxFile::Change::kDone);
              model.emplace(key, record);
            }
          } else {
            auto it = model.begin();
            std::advance(it, static_cast<long>(random() % model.size()));
            ASSERT_EQ(file.Delete(reinterpret_cast<const std::uint8_t*>(it->first.data()),
                                  it->second),
                      NdxFile::Change::kDone);
            model.erase(it);
          }
        }
        if (!growing) {
          while (model.size() > static_cast<std::size_t>(900 * (29 - batch) / 14)) {
            auto it = model.begin();
            std::advance(it, static_cast<long>(random() % model.size()));
            ASSERT_EQ(file.Delete(reinterpret_cast<const std::uint8_t*>(it->first.data()),
                                  it->second),
                      NdxFile::Change::kDone);
            model.erase(it);
          }
        }
        ASSERT_EQ(Walked(file), std::vector<Item>(model.begin(), model.end()))
            << "batch " << batch;
        EXPECT_EQ(file.CheckTree(nullptr), std::vector<std::string>{}) << "batch " << batch;
        // A missing item is not taken out; a search finds the first of equal keys.
        const std::string absent = Key(999, key_length);
        EXPECT_EQ(file.Delete(reinterpret_cast<const std::uint8_t*>(absent.data()), 1),
                  NdxFile::Change::kUnchanged);
        const std::string probe = Key(static_cast<int>(random() % 150), key_length);
        bool found = false;
        std::string there;
        std::uint32_t record = 0;
        ASSERT_TRUE(file.Seek(reinterpret_cast<const std::uint8_t*>(probe.data()), 6, found,
                              there, record));
        const auto first = model.lower_bound({probe.substr(0, 6), 0});
        ASSERT_EQ(found, first != model.end());
        if (found) EXPECT_EQ(std::make_pair(there, record), *first);
      }
      EXPECT_TRUE(model.empty());
      EXPECT_EQ(file.Depth(), 1);
    }
  }
}

// Built trees of sizes around one node, one level and two levels of nodes of 4 keys: the walk
// gives every item in order and the check finds every branch sound.
TEST_F(NdxFileTest, WriterBuildsSoundTreesOfEverySize) {
  for (const int n : {0, 1, 3, 4, 5, 16, 20, 21, 24, 25, 26, 101, 126, 127, 700}) {
    SCOPED_TRACE(n);
    NdxFile file = Fresh("w" + std::to_string(n) + ".ndx", 100, false);
    std::vector<Item> items;
    NdxWriter writer(file, 100);
    for (int i = 0; i < n; ++i) {
      items.emplace_back(Key(i / 2, 100), static_cast<std::uint32_t>(i + 1));
      ASSERT_TRUE(
          writer.Add(reinterpret_cast<const std::uint8_t*>(items.back().first.data()), i + 1));
    }
    ASSERT_TRUE(writer.Finish());
    file.Close();
    NdxFile again;
    ASSERT_TRUE(again.Open(dir_.File("w" + std::to_string(n) + ".ndx"), true));
    EXPECT_EQ(Walked(again), items);
    EXPECT_EQ(again.CheckTree(nullptr), std::vector<std::string>{});
    // A built tree takes changes like any other.
    const std::string key = Key(3, 100);
    ASSERT_EQ(again.Insert(reinterpret_cast<const std::uint8_t*>(key.data()), 9999),
              NdxFile::Change::kDone);
    EXPECT_EQ(again.CheckTree(nullptr), std::vector<std::string>{});
  }
}

// Damaged headers are refused when opened, damaged nodes when read: error 222 each time.
TEST_F(NdxFileTest, DamagedFilesAreRefusedWith222) {
  // A built two-level tree of 4-key nodes: blocks 1..8 leaves, then branches.
  NdxFile good = Fresh("good.ndx", 100, false);
  NdxWriter writer(good, 100);
  for (int i = 0; i < 30; ++i) {
    const std::string key = Key(i, 100);
    ASSERT_TRUE(writer.Add(reinterpret_cast<const std::uint8_t*>(key.data()), i + 1));
  }
  ASSERT_TRUE(writer.Finish());
  good.Close();
  const std::vector<unsigned char> bytes = test::ReadBytes(dir_.File("good.ndx"));
  const std::uint32_t root = bytes[0] | bytes[1] << 8;
  struct Case {
    const char* what;
    std::size_t offset;
    std::vector<unsigned char> put;
    bool at_open;
  };
  const Case kCases[] = {
      {"key type 2", 16, {2, 0}, true},
      {"key length 0", 12, {0, 0}, true},
      {"item length off", 18, {99, 0}, true},
      {"capacity above the item length's", 14, {50, 0}, true},
      {"root past the file", 0, {200, 0, 0, 0}, true},
      {"block count past the file", 4, {200, 0, 0, 0}, true},
      {"count above capacity", 512, {9, 0, 0, 0}, false},
      {"leaf item with a child", 512 + 4, {3, 0, 0, 0}, false},
      {"child back to the root", root * 512 + 4, {static_cast<unsigned char>(root), 0, 0, 0},
       false},
      {"child outside the file", root * 512 + 4, {0xFF, 0xFF, 0, 0}, false},
      {"keys out of order", 512 + 12, {'9', '9'}, false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    std::vector<unsigned char> damaged = bytes;
    std::copy(c.put.begin(), c.put.end(), damaged.begin() + static_cast<long>(c.offset));
    test::WriteBytes(dir_.File("bad.ndx"), damaged);
    QuietErrors quiet;
    EngineErrorCode = 0;
    NdxFile file;
    const bool opened = file.Open(dir_.File("bad.ndx"), true);
    EXPECT_EQ(opened, !c.at_open);
    if (opened) {
      EXPECT_FALSE(file.Walk([](const std::uint8_t*, std::uint32_t) { return true; }));
    }
    EXPECT_EQ(EngineErrorCode, 222);
    if (opened) EXPECT_FALSE(file.CheckTree(nullptr).empty());
  }
}

}  // namespace
}  // namespace vx
