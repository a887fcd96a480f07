// .CDX files: trees written by an independent writer (tests/support/cdx_writer) over sizes that
// give one leaf, many leaves and three or four levels, in every kind of tag (ascending,
// descending, unique, candidate, FOR, number keys), read back entry for entry, searched, checked
// and read by Perl's XBase::Index (an independent reader, only as a check; skipped without it);
// and damaged files that give error 222, never a crash or a hang.

#include "engine/index/cdx_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/foundation/errors.h"
#include "tests/support/cdx_writer.h"
#include "tests/support/perl_index.h"
#include "tests/support/temp_dir.h"

namespace vx {
namespace {

using Item = std::pair<std::string, std::uint32_t>;

std::string Name(int n, int length) {
  static const char* const kWords[] = {"ALDER", "BIRCH", "CEDAR", "ELM", "FIR", "HAZEL", "OAK"};
  std::string k = kWords[n % 7] + std::to_string(n / 7);
  k.resize(static_cast<std::size_t>(length), ' ');
  return k;
}

test::CdxTagShape Shape(const char* name, const char* key, const char* condition, int length,
                        bool numeric = false) {
  test::CdxTagShape s;
  s.name = name;
  s.key_expression = key;
  s.for_expression = condition;
  s.key_length = length;
  s.numeric = numeric;
  return s;
}

// The items in the order a tag keeps them: keys (reversed when descending), then records.
std::vector<Item> InOrder(std::vector<Item> items, bool descending) {
  std::stable_sort(items.begin(), items.end(), [&](const Item& a, const Item& b) {
    if (a.first != b.first) return descending ? a.first > b.first : a.first < b.first;
    return a.second < b.second;
  });
  return items;
}

class CdxFileTest : public ::testing::Test {
 protected:
  static std::vector<Item> Walked(CdxFile& file, const CdxTag& tag) {
    std::vector<Item> out;
    EXPECT_TRUE(file.Walk(tag, [&](const std::uint8_t* key, std::uint32_t record) {
      out.emplace_back(std::string(reinterpret_cast<const char*>(key),
                                   static_cast<std::size_t>(tag.header.key_length)),
                       record);
      return true;
    })) << LastErrorMessage;
    return out;
  }

  test::TempDir dir_;
};

// Every kind of tag over sizes from empty to four levels: the walk gives the items in the
// tag's order, the check finds nothing, a search finds each key's first item, and Perl reads
// the character tags key for key.
TEST_F(CdxFileTest, ReadsEveryKindOfTagOfEverySize) {
  struct Case {
    int items;
    int per_leaf;
    int per_branch;
    int depth;
  };
  // depth 0: as the node capacity gives.
  const Case kSizes[] = {{0, 0, 0, 1}, {1, 0, 0, 1}, {40, 0, 0, 1}, {400, 0, 0, 0},
                         {3000, 0, 0, 0}, {300, 4, 3, 5}, {90, 3, 4, 4}};
  const bool perl = test::PerlHasXBase();
  for (const Case& size : kSizes) {
    SCOPED_TRACE("items " + std::to_string(size.items));
    std::vector<test::CdxTagShape> shapes(6);
    shapes[0] = Shape("NAME", "NAME", "", 12);
    shapes[1] = Shape("NAMEDESC", "NAME", "", 12);
    shapes[1].descending = true;
    shapes[2] = Shape("AMOUNT", "AMT", "", 8, true);
    shapes[3] = Shape("FIRSTS", "LEFT(NAME,3)", "", 3);
    shapes[3].unique = true;
    shapes[4] = Shape("CODE", "CODE", "", 7);
    shapes[4].candidate = true;
    shapes[5] = Shape("SOME", "NAME", "AMT > 0", 12);
    for (int i = 0; i < size.items; ++i) {
      const auto record = static_cast<std::uint32_t>(i + 1);
      const double amount = (i * 37 % 101) - 50.5;
      shapes[0].items.emplace_back(Name(i * 13 % 97, 12), record);
      shapes[1].items.emplace_back(Name(i * 13 % 97, 12), record);
      shapes[2].items.emplace_back(test::CdxNumber(amount), record);
      std::string code = "C" + std::to_string(1000000 + i * 7919 % 1000003);
      shapes[4].items.emplace_back(code.substr(0, 7), record);
      if (amount > 0) shapes[5].items.emplace_back(Name(i * 13 % 97, 12), record);
    }
    // One record of each key in the unique tag.
    for (int i = 0; i < size.items; ++i) {
      const std::string key = Name(i * 13 % 97, 12).substr(0, 3);
      bool there = false;
      for (const Item& it : shapes[3].items) there = there || it.first == key;
      if (!there) shapes[3].items.emplace_back(key, static_cast<std::uint32_t>(i + 1));
    }
    for (test::CdxTagShape& s : shapes) {
      s.keys_per_leaf = size.per_leaf;
      s.keys_per_branch = size.per_branch;
    }
    const std::string path = dir_.File("shapes.cdx");
    test::WriteBytes(path, test::BuildCdx(shapes));
    CdxFile file;
    ASSERT_TRUE(file.Open(path, false)) << LastErrorMessage;
    ASSERT_EQ(file.tags().size(), shapes.size());
    for (const test::CdxTagShape& s : shapes) {
      SCOPED_TRACE(s.name);
      const int n = file.FindTag(" " + s.name);
      ASSERT_GE(n, 0);
      CdxTag& tag = file.tags()[static_cast<std::size_t>(n)];
      if (s.numeric) tag.trail = 0;
      EXPECT_EQ(tag.header.key_expression, s.key_expression);
      EXPECT_EQ(tag.header.for_expression, s.for_expression);
      EXPECT_EQ(tag.header.HasFor(), !s.for_expression.empty());
      EXPECT_EQ(tag.header.descending, s.descending);
      EXPECT_EQ(tag.header.Unique(), s.unique);
      EXPECT_EQ(tag.header.Candidate(), s.candidate);
      const std::vector<Item> expected = InOrder(s.items, s.descending);
      EXPECT_EQ(Walked(file, tag), expected);
      if (size.depth > 0 && s.name == "NAME") {
        EXPECT_EQ(file.Depth(), size.depth);
      }
      std::vector<Item> checked;
      EXPECT_EQ(file.CheckTree(tag,
                               [&](const std::uint8_t* key, std::uint32_t record) {
                                 checked.emplace_back(
                                     std::string(reinterpret_cast<const char*>(key),
                                                 static_cast<std::size_t>(s.key_length)),
                                     record);
                               }),
                std::vector<std::string>{});
      EXPECT_EQ(checked, expected);
      // Each key found at its first item; a prefix finds the first key it begins.
      for (std::size_t i = 0; i < expected.size(); i += 1 + expected.size() / 50) {
        const std::string& key = expected[i].first;
        const std::size_t first = static_cast<std::size_t>(
            std::find_if(expected.begin(), expected.end(), [&](const Item& it) { return it.first == key; }) -
            expected.begin());
        bool found = false;
        std::string there;
        std::uint32_t record = 0;
        ASSERT_TRUE(file.Seek(tag, reinterpret_cast<const std::uint8_t*>(key.data()),
                              s.key_length, found, there, record));
        ASSERT_TRUE(found);
        EXPECT_EQ(there, key);
        EXPECT_EQ(record, expected[first].second);
        if (s.numeric) continue;
        ASSERT_TRUE(file.Seek(tag, reinterpret_cast<const std::uint8_t*>(key.data()), 2, found,
                              there, record));
        ASSERT_TRUE(found);
        EXPECT_EQ(there.substr(0, 2), key.substr(0, 2));
      }
      // Past every key (before every key in a descending tag): nothing found.
      const std::string beyond(static_cast<std::size_t>(s.key_length), s.descending ? '\0' : '\xFF');
      bool found = true;
      std::string there;
      std::uint32_t record = 0;
      ASSERT_TRUE(file.Seek(tag, reinterpret_cast<const std::uint8_t*>(beyond.data()),
                            s.key_length, found, there, record));
      EXPECT_FALSE(found);
      if (!perl) continue;
      std::vector<Item> perl_items;
      ASSERT_TRUE(test::PerlReadsIndex(path, s.name, s.numeric ? "N" : "C", dir_.File("perl.txt"), perl_items));
      if (s.numeric) {
        ASSERT_EQ(perl_items.size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
          const auto* key = reinterpret_cast<const std::uint8_t*>(expected[i].first.data());
          EXPECT_EQ(std::atof(perl_items[i].first.c_str()), CdxKeyNumber(key)) << i;
          EXPECT_EQ(perl_items[i].second, expected[i].second) << i;
        }
        continue;
      }
      std::vector<Item> trimmed = expected;
      for (Item& it : trimmed) it.first.erase(it.first.find_last_not_of(' ') + 1);
      for (Item& it : perl_items) it.first.erase(it.first.find_last_not_of(' ') + 1);
      EXPECT_EQ(perl_items, trimmed);
    }
  }
  if (!perl) GTEST_SKIP() << "Perl's XBase::Index (libdbd-xbase-perl) is not installed";
}

// Damage at each place a reader trusts the file: error 222 naming it, at open, on the walk or
// from the check, never a crash or a hang.
TEST_F(CdxFileTest, DamagedFilesAreRefusedWith222) {
  std::vector<test::CdxTagShape> shapes(1);
  shapes[0] = Shape("NAME", "NAME", "", 12);
  shapes[0].keys_per_leaf = 5;
  shapes[0].keys_per_branch = 4;
  for (int i = 0; i < 60; ++i) shapes[0].items.emplace_back(Name(i, 12), static_cast<std::uint32_t>(i + 1));
  const std::vector<unsigned char> bytes = test::BuildCdx(shapes);
  const test::CdxLayout layout = test::LastCdxLayout();
  const std::uint32_t header = layout.tag_headers[0];
  const std::vector<std::uint32_t>& nodes = layout.tag_nodes[0];
  const std::uint32_t root = nodes[0];
  const std::uint32_t child = nodes[1];
  const std::uint32_t leaf = nodes.back();  // the last leaf
  const auto le32 = [](std::uint32_t v) {
    return std::vector<unsigned char>{static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                                      static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
  };
  const auto be32 = [](std::uint32_t v) {
    return std::vector<unsigned char>{static_cast<unsigned char>(v >> 24), static_cast<unsigned char>(v >> 16),
                                      static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
  };
  enum Stage { kOpen, kTag, kWalk, kCheck };
  struct Case {
    const char* what;
    std::size_t offset;
    std::vector<unsigned char> put;
    Stage stage;
    const char* says;
  };
  const Case kCases[] = {
      {"file key length 0", 12, {0, 0}, kOpen, "key length 0"},
      {"no compact flag", 14, {0x40}, kOpen, "no compact index"},
      {"directory root off a node boundary", 0, le32(layout.directory_root + 3), kOpen, "root"},
      {"directory root past the end", 0, le32(0x100000), kOpen, "root"},
      {"tag header past the end", layout.directory_root + 24, {0x00, 0xFE}, kOpen, "outside"},
      {"tag key length 241", header + 12, {241, 0}, kTag, "key length 241"},
      {"tag order flag 2", header + 502, {2, 0}, kTag, "order flag 2"},
      {"tag root on its own header", header, le32(header), kTag, "lies on the tag header"},
      {"root past the end", header, le32(0x200000), kTag, "root"},
      {"branch count above capacity", root + 2, {200, 0}, kWalk, "entries in a branch"},
      {"child back to the root", root + 12 + 12 + 4, be32(root), kWalk, "its own descendant"},
      {"child inside the file header", root + 12 + 12 + 4, be32(512), kWalk, "outside"},
      {"child past the end", root + 12 + 12 + 4, be32(0x7FFFFE00), kWalk, "outside"},
      {"attributes 4", child, {4, 0}, kWalk, "attributes 4"},
      {"leaf count above capacity", leaf + 2, {0xF4, 1}, kWalk, "bit fields in a leaf"},
      {"bit field of 9 bytes", leaf + 23, {9}, kWalk, "bit fields of 9 bytes"},
      {"widths beyond the field", leaf + 20, {30}, kWalk, "bit fields"},
      {"mask off its width", leaf + 14, {0x0F, 0, 0, 0}, kWalk, "masks"},
      {"free count off", leaf + 12, {0, 0}, kWalk, "free count"},
      {"first entry sharing", leaf + 24 + 1, {0x01}, kWalk, "first entry shares"},
      {"leaf marked a branch at a leaf's depth", leaf, {0, 0}, kWalk, ""},
      {"keys out of order", leaf + 511, {'A'}, kWalk, "out of order"},
      {"root without its root mark", root, {0, 0}, kCheck, "root mark"},
      {"branch key that is not the last below", root + 12, {'Z'}, kCheck, "not the last key"},
      {"left sibling off", leaf + 4, le32(root), kCheck, "left sibling"},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    std::vector<unsigned char> damaged = bytes;
    std::copy(c.put.begin(), c.put.end(), damaged.begin() + static_cast<long>(c.offset));
    test::WriteBytes(dir_.File("bad.cdx"), damaged);
    QuietErrors quiet;
    EngineErrorCode = 0;
    LastErrorMessage = std::string();
    CdxFile file;
    const bool opened = file.Open(dir_.File("bad.cdx"), false);
    std::string message = LastErrorMessage;
    if (c.stage == kOpen) {
      EXPECT_FALSE(opened);
      EXPECT_EQ(EngineErrorCode, 222);
    } else {
      ASSERT_TRUE(opened) << LastErrorMessage;
      ASSERT_EQ(file.tags().size(), 1u);
      const CdxTag& tag = file.tags()[0];
      if (c.stage == kTag) {
        EXPECT_FALSE(tag.fault.empty());
        message = tag.fault;
      }
      const bool walked = file.Walk(tag, [](const std::uint8_t*, std::uint32_t) { return true; });
      EXPECT_EQ(walked, c.stage == kCheck);
      if (!walked) {
        EXPECT_EQ(EngineErrorCode, 222);
        if (c.stage == kWalk) message = LastErrorMessage;
      }
      const std::vector<std::string> problems = file.CheckTree(tag, nullptr);
      ASSERT_FALSE(problems.empty());
      if (c.stage == kCheck) message = problems.front();
    }
    EXPECT_NE(message.find(c.says), std::string::npos) << message;
  }
}

// Random bytes over a sound file's nodes: every read either succeeds or reports, and a walk
// that succeeds gives keys in order.
TEST_F(CdxFileTest, RandomDamageNeverCrashes) {
  std::vector<test::CdxTagShape> shapes(2);
  shapes[0] = Shape("NAME", "NAME", "", 12);
  shapes[1] = Shape("AMOUNT", "AMT", "", 8, true);
  shapes[1].descending = true;
  for (int i = 0; i < 500; ++i) {
    shapes[0].items.emplace_back(Name(i, 12), static_cast<std::uint32_t>(i + 1));
    shapes[1].items.emplace_back(test::CdxNumber(i * 1.5), static_cast<std::uint32_t>(i + 1));
  }
  const std::vector<unsigned char> bytes = test::BuildCdx(shapes);
  std::mt19937 random(42);
  for (int round = 0; round < 300; ++round) {
    std::vector<unsigned char> damaged = bytes;
    const int changes = 1 + static_cast<int>(random() % 8);
    for (int i = 0; i < changes; ++i) {
      damaged[random() % damaged.size()] = static_cast<unsigned char>(random());
    }
    test::WriteBytes(dir_.File("noise.cdx"), damaged);
    QuietErrors quiet;
    EngineErrorCode = 0;
    CdxFile file;
    if (!file.Open(dir_.File("noise.cdx"), false)) {
      EXPECT_NE(EngineErrorCode, 0);
      continue;
    }
    for (const CdxTag& tag : file.tags()) {
      std::string last;
      bool ordered = true;
      const bool walked = file.Walk(tag, [&](const std::uint8_t* key, std::uint32_t) {
        const std::string k(reinterpret_cast<const char*>(key), static_cast<std::size_t>(tag.header.key_length));
        if (!last.empty() && CdxFile::Compare(tag, reinterpret_cast<const std::uint8_t*>(last.data()), key,
                                              tag.header.key_length) > 0) {
          ordered = false;
        }
        last = k;
        return true;
      });
      if (walked) {
        EXPECT_TRUE(ordered);
      }
      file.CheckTree(tag, nullptr);
      bool found = false;
      std::string there;
      std::uint32_t record = 0;
      file.Seek(tag, reinterpret_cast<const std::uint8_t*>("HAZEL       "), 5, found, there, record);
    }
  }
}

TEST(CdxKeysTest, NumberKeysOrderAsTheNumbers) {
  const double kValues[] = {-1e300, -12.5, -1, -0.25, 0, 0.25, 1, 2, 12.5, 2451545, 1e300};
  for (std::size_t i = 0; i < std::size(kValues); ++i) {
    const auto key = CdxNumberKey(kValues[i]);
    EXPECT_EQ(CdxKeyNumber(key.data()), kValues[i]);
    EXPECT_EQ(std::string(key.begin(), key.end()), test::CdxNumber(kValues[i]));
    if (i > 0) {
      const auto before = CdxNumberKey(kValues[i - 1]);
      EXPECT_LT(std::memcmp(before.data(), key.data(), 8), 0) << kValues[i];
    }
  }
  EXPECT_EQ(CdxNumberKey(-0.0), CdxNumberKey(0.0));
}

}  // namespace
}  // namespace vx
