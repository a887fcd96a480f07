// Reading index files: tree walks against a model, and damaged files, each with its code and
// with the file left as it was.
#include "engine/index/mdx_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>

#include "engine/foundation/errors.h"
#include "engine/index/index_check.h"
#include "engine/index/tag_tree.h"
#include "tests/support/mdx_writer.h"
#include "tests/support/temp_dir.h"

namespace vx {
namespace {

using test::BuildMdx;
using test::TagShape;

std::string Key(int v) {
  char text[16];
  std::snprintf(text, sizeof text, "%06d", v);
  return text;
}

TagShape CharTag(const std::multimap<std::string, std::uint32_t>& model, int per_leaf) {
  TagShape tag;
  tag.name = "CODE";
  tag.key_expression = "CODE";
  tag.key_length = 6;
  tag.keys_per_leaf = per_leaf;
  for (const auto& [k, r] : model) tag.items.emplace_back(k, r);
  return tag;
}

class MdxFileTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EngineErrorCode = 0;
    LastErrorMessage->clear();
  }

  std::string Write(const std::vector<unsigned char>& bytes) {
    const std::string path = dir_.File("T.MDX");
    test::WriteBytes(path, bytes);
    return path;
  }

  // Opens the file and attaches the cursor to its tag 1 (CODE); false when either fails.
  static bool OpenTag(const std::string& path, MdxFile& file, TagCursor& cursor) {
    TagHeader header;
    if (!file.Open(path, 64) || !file.ReadTagHeader(1, header)) return false;
    cursor.Attach(&file, header, CompareCharKeys, {path, "CODE", 1, 1});
    return true;
  }

  // Opens the file and walks tag 1 forward; answers the code left behind.
  std::uint16_t WalkCode(const std::vector<unsigned char>& bytes) {
    const std::string path = Write(bytes);
    QuietErrors quiet;
    EngineErrorCode = 0;
    MdxFile file;
    if (file.Open(path, 64)) {
      TagHeader header;
      if (file.ReadTagHeader(1, header)) {
        TagCursor cursor;
        cursor.Attach(&file, header, CompareCharKeys, {path, "CODE", 1, 1});
        bool ok = cursor.First();
        while (ok && cursor.OnItem() && !cursor.AtEnd()) ok = cursor.Next();
        if (ok) ok = cursor.Last();
        while (ok && cursor.OnItem() && !cursor.AtStart()) ok = cursor.Prior();
        bool found = false;
        if (ok) cursor.Seek(reinterpret_cast<const std::uint8_t*>("000500"), 6, found);
      }
    }
    EXPECT_EQ(test::ReadBytes(path), bytes) << "the reader changed the file";
    return EngineErrorCode;
  }

  test::TempDir dir_;
};

TEST_F(MdxFileTest, WalksAndSeeksLikeAModel) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  for (int per_leaf : {2, 3, 7, 0}) {
    std::multimap<std::string, std::uint32_t> model;
    const int count = 1 + static_cast<int>(random() % 600);
    for (int i = 1; i <= count; ++i) model.emplace(Key(static_cast<int>(random() % 400)), i);
    const std::string path = Write(BuildMdx("T", {CharTag(model, per_leaf)}));
    MdxFile file;
    TagCursor cursor;
    ASSERT_TRUE(OpenTag(path, file, cursor));
    ASSERT_TRUE(cursor.First());
    for (const auto& [k, r] : model) {
      ASSERT_TRUE(cursor.OnItem() && !cursor.AtEnd());
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(cursor.Key()), 6), k);
      EXPECT_EQ(cursor.Record(), r);
      ASSERT_TRUE(cursor.Next());
    }
    EXPECT_TRUE(cursor.AtEnd());
    ASSERT_TRUE(cursor.Last());
    for (auto it = model.rbegin(); it != model.rend(); ++it) {
      ASSERT_TRUE(cursor.OnItem() && !cursor.AtStart());
      EXPECT_EQ(cursor.Record(), it->second);
      ASSERT_TRUE(cursor.Prior());
    }
    EXPECT_TRUE(cursor.AtStart());
    for (int probe = 0; probe < 200; ++probe) {
      const std::string wanted = Key(static_cast<int>(random() % 420));
      bool found = false;
      ASSERT_TRUE(cursor.Seek(reinterpret_cast<const std::uint8_t*>(wanted.data()), 6, found));
      const auto expected = model.lower_bound(wanted);
      if (expected == model.end()) {
        EXPECT_TRUE(cursor.AtEnd()) << wanted;
        continue;
      }
      ASSERT_TRUE(cursor.OnItem()) << wanted;
      EXPECT_EQ(cursor.Record(), expected->second) << wanted;
      EXPECT_EQ(found, expected->first == wanted);
    }
  }
}

// A walk that turns round passes the same leaves again: a browser stepping to the end of a
// tag and back (a filter that skips every record), or up and down across one leaf's edge, is
// no sign of branches sharing children.
TEST_F(MdxFileTest, WalksBackAndForthAsOftenAsAsked) {
  std::multimap<std::string, std::uint32_t> model;
  for (int i = 1; i <= 120; ++i) model.emplace(Key(i), i);
  const std::string path = Write(BuildMdx("T", {CharTag(model, 2)}));
  MdxFile file;
  TagCursor cursor;
  ASSERT_TRUE(OpenTag(path, file, cursor));
  ASSERT_TRUE(cursor.First());
  for (int round = 0; round < 3; ++round) {
    int steps = 0;
    while (!cursor.AtEnd()) {
      ASSERT_TRUE(cursor.Next()) << "round " << round << ", " << *LastErrorMessage;
      ++steps;
    }
    EXPECT_EQ(steps, 120);
    steps = 0;
    while (!cursor.AtStart()) {
      ASSERT_TRUE(cursor.Prior()) << "round " << round << ", " << *LastErrorMessage;
      ++steps;
    }
    EXPECT_EQ(steps, 120);
  }
  // Up and down over the edge between the first two leaves.
  ASSERT_TRUE(cursor.First());
  ASSERT_TRUE(cursor.Next());
  for (int i = 0; i < 500; ++i) {
    ASSERT_TRUE(cursor.Next() && cursor.Prior()) << i << ", " << *LastErrorMessage;
  }
  EXPECT_EQ(cursor.Record(), 2u);
}

TEST_F(MdxFileTest, EmptyTagIsAtBothEnds) {
  const std::string path = Write(BuildMdx("T", {CharTag({}, 0)}));
  MdxFile file;
  TagCursor cursor;
  ASSERT_TRUE(OpenTag(path, file, cursor));
  ASSERT_TRUE(cursor.First());
  EXPECT_FALSE(cursor.OnItem());
  EXPECT_TRUE(cursor.AtStart() && cursor.AtEnd());
  bool found = true;
  ASSERT_TRUE(cursor.Seek(reinterpret_cast<const std::uint8_t*>("000001"), 6, found));
  EXPECT_FALSE(found);
  EXPECT_TRUE(cursor.AtEnd());
}

TEST_F(MdxFileTest, DamagedFilesGetTheirCodes) {
  std::multimap<std::string, std::uint32_t> model;
  for (int i = 1; i <= 40; ++i) model.emplace(Key(i * 10), i);
  const std::vector<unsigned char> sound = BuildMdx("T", {CharTag(model, 4)});
  ASSERT_EQ(WalkCode(sound), 0);
  const std::uint32_t root = test::RootPageOf(sound, 1);
  const std::size_t root_at = std::size_t{root} * 512;
  const std::size_t tag_header = 4 * 512;
  const auto put32 = [](std::vector<unsigned char>& f, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) f[at + i] = static_cast<unsigned char>(v >> (8 * i));
  };
  const std::size_t first_child = root_at + 8;  // the root's item 0 pointer
  const std::uint32_t child = sound[first_child] | (sound[first_child + 1] << 8);
  const struct {
    const char* what;
    std::function<void(std::vector<unsigned char>&)> damage;
    std::uint16_t code;
  } kCases[] = {
      {"truncated below 3072", [](auto& f) { f.resize(3000); }, 222},
      {"header cut in half", [](auto& f) { f.resize(1024); }, 222},
      {"version 3", [](auto& f) { f[0] = 3; }, 222},
      {"43-byte entries", [](auto& f) { f[26] = 43; }, 222},
      {"48 tags", [](auto& f) { f[28] = 48; }, 222},
      {"tag header past the end", [&](auto& f) { put32(f, 512 + 32, 100000); }, 222},
      {"key length 0", [&](auto& f) { f[tag_header + 12] = 0; }, 222},
      {"key length 101", [&](auto& f) { f[tag_header + 12] = 101; }, 222},
      {"item length mismatch", [&](auto& f) { f[tag_header + 18] = 16; }, 222},
      {"unknown key type", [&](auto& f) { f[tag_header + 9] = 'L'; }, 222},
      {"root past the end", [&](auto& f) { put32(f, tag_header, 100000); }, 222},
      {"root at page 0", [&](auto& f) { put32(f, tag_header, 0); }, 254},
      {"root inside the header", [&](auto& f) { put32(f, tag_header, 2); }, 254},
      {"key count above capacity", [&](auto& f) { f[root_at] = 200; }, 222},
      {"count in the high half only", [&](auto& f) { f[root_at + 1] = 1; }, 222},
      {"child points at the root", [&](auto& f) { put32(f, first_child, root); }, 254},
      {"child points at itself", [&](auto& f) { put32(f, std::size_t{child} * 512 + 8, child); },
       254},
      {"every child the same leaf",
       [&](auto& f) {
         const int n = f[root_at];
         for (int i = 0; i <= n; ++i) put32(f, root_at + 8 + i * 12, child);
       },
       222},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    std::vector<unsigned char> bytes = sound;
    c.damage(bytes);
    const std::uint16_t code = WalkCode(bytes);
    EXPECT_EQ(code, c.code) << LastErrorMessage;
  }
}

// A tag's header may allow fewer keys per node than a node has room for (other writers choose
// their own). A node holding more than the tag allows is damage to the cursor, the checker and
// an insert alike, though it fits in the node's bytes.
TEST_F(MdxFileTest, AKeyCountAboveTheTagsOwnMaximumIsDamage) {
  std::multimap<std::string, std::uint32_t> model;
  for (int i = 1; i <= 40; ++i) model.emplace(Key(i * 10), i);
  std::vector<unsigned char> bytes = BuildMdx("T", {CharTag(model, 4)});
  const std::size_t tag_header = 4 * 512;
  ASSERT_EQ(bytes[tag_header + 14] | (bytes[tag_header + 15] << 8), 84);
  bytes[tag_header + 14] = 3;  // leaves hold 4 keys, the root 9 items
  EXPECT_EQ(WalkCode(bytes), 222) << LastErrorMessage;
  QuietErrors quiet;
  MdxFile file;
  ASSERT_TRUE(file.Open(dir_.File("T.MDX"), os::kOpenReadWriteDenyAll));
  TagHeader header;
  ASSERT_TRUE(file.ReadTagHeader(1, header));
  std::vector<std::string> problems;
  EXPECT_FALSE(CheckTagTree(file, header, CompareCharKeys, problems));
  ASSERT_FALSE(problems.empty());
  EXPECT_NE(problems.front().find("above"), std::string::npos) << problems.front();
  TagTree tree{&file, &header, CompareCharKeys, {dir_.File("T.MDX"), "CODE", 1, 1}};
  EXPECT_EQ(InsertKey(tree, reinterpret_cast<const std::uint8_t*>("000015"), 99),
            TreeResult::kFailed);
  file.Close();
  EXPECT_EQ(test::ReadBytes(dir_.File("T.MDX")), bytes);
}

// New nodes go at the header's page counter, as other programs put them; a file cut short below
// the counter does not draw a node onto the cut pages its trees still name, and a counter below
// the end of the file does not take pages that may be live.
TEST_F(MdxFileTest, NewNodesGoAtThePageCounterAndNeverOverPagesThatMayBeLive) {
  std::multimap<std::string, std::uint32_t> model;
  for (int i = 1; i <= 40; ++i) model.emplace(Key(i), i);
  const std::vector<unsigned char> built = BuildMdx("T", {CharTag(model, 3)});
  const auto pages = static_cast<std::uint32_t>(built.size() / kMdxPageSize);
  ASSERT_EQ(GetLe32(built.data() + 32), pages);
  struct Case {
    const char* name;
    std::size_t size;         // bytes kept
    std::uint32_t counter;    // the header's page counter
    std::uint32_t allocated;  // where the new node must go
  };
  for (const Case& c : {Case{"sound", built.size(), pages, pages},
                        Case{"cut by two nodes", built.size() - 2048, pages, pages},
                        Case{"counter ahead of the end", built.size(), pages + 6, pages + 6},
                        Case{"counter behind the end", built.size(), pages - 4, pages}}) {
    SCOPED_TRACE(c.name);
    std::vector<unsigned char> bytes(built.begin(),
                                     built.begin() + static_cast<std::ptrdiff_t>(c.size));
    PutLe32(bytes.data() + 32, c.counter);
    const std::string path = Write(bytes);
    MdxFile file;
    ASSERT_TRUE(file.Open(path, os::kOpenReadWriteDenyAll));
    EXPECT_EQ(file.AppendNode(), c.allocated);
    EXPECT_EQ(GetLe32(file.header().bytes.data() + 32), c.allocated + 2);
    file.Close();
    const std::vector<unsigned char> after = test::ReadBytes(path);
    EXPECT_EQ(after.size(), std::size_t{c.allocated + 2} * kMdxPageSize);
    EXPECT_EQ(GetLe32(after.data() + 32), c.allocated + 2);
    // Nothing below the new node changed but the counter.
    std::vector<unsigned char> kept = after;
    kept.resize(bytes.size());
    PutLe32(kept.data() + 32, c.counter);
    EXPECT_EQ(kept, bytes);
  }
}

}  // namespace
}  // namespace vx
