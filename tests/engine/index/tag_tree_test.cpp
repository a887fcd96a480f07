// Changing a tag's tree: random inserts and deletes compared with a sorted model after every
// step, with the tree's invariants checked each time; splits of a full root.
#include "engine/index/tag_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "engine/foundation/errors.h"
#include "engine/index/index_check.h"
#include "platform/os/file.h"
#include "tests/support/mdx_writer.h"
#include "tests/support/temp_dir.h"

namespace vx {
namespace {

struct Tree {
  MdxFile file;
  TagHeader header;
  TagTree tree;
};

// An index with one empty tag of `type` and `key_length`, opened read-write (for this open's use
// alone unless `mode` says otherwise).
void OpenEmptyTag(const std::string& path, char type, int key_length, bool unique, Tree& out,
                  int mode = os::kOpenReadWriteDenyAll) {
  test::TagShape tag;
  tag.name = "K";
  tag.key_expression = "K";
  tag.type = type;
  tag.key_length = key_length;
  tag.unique = unique;
  test::WriteBytes(path, test::BuildMdx("T", {tag}));
  ASSERT_TRUE(out.file.Open(path, mode));
  ASSERT_TRUE(out.file.ReadTagHeader(1, out.header));
  out.tree.file = &out.file;
  out.tree.header = &out.header;
  out.tree.compare = type == 'C' ? CompareCharKeys : ChooseComparator(type, type, false);
  out.tree.context = {path, "K", 1, 1};
}

std::vector<TagItem> Walk(Tree& t, std::vector<std::string>& problems) {
  std::vector<TagItem> items;
  CheckTagTree(t.file, t.header, t.tree.compare, problems, &items);
  return items;
}

struct ModelCase {
  const char* name;
  int key_length;
  bool unique;
  int distinct_keys;  // few distinct keys: long runs of equal keys across leaves
};

class TagTreeModelTest : public ::testing::TestWithParam<ModelCase> {};

TEST_P(TagTreeModelTest, RandomInsertsAndDeletesMatchASortedModel) {
  const ModelCase c = GetParam();
  test::TempDir dir;
  Tree t;
  OpenEmptyTag(dir.File("T.MDX"), 'C', c.key_length, c.unique, t);
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::vector<TagItem> model;  // sorted by key; equal keys newest first
  std::uint32_t next_record = 1;
  const auto make_key = [&](int v) {
    char text[16];
    std::snprintf(text, sizeof text, "%08d", v);
    std::string key(text);
    key.resize(static_cast<std::size_t>(c.key_length), ' ');
    return key;
  };
  const auto bytes = [](const std::string& s) {
    return reinterpret_cast<const std::uint8_t*>(s.data());
  };
  for (int step = 0; step < 10000; ++step) {
    const int op = static_cast<int>(random() % 10);
    if (model.empty() || op < 6) {
      const std::string key = make_key(static_cast<int>(random() % c.distinct_keys));
      const std::uint32_t record = next_record++;
      const auto at =
          std::lower_bound(model.begin(), model.end(), key,
                           [](const TagItem& i, const std::string& k) { return i.key < k; });
      const bool present = at != model.end() && at->key == key;
      ASSERT_EQ(InsertKey(t.tree, bytes(key), record),
                c.unique && present ? TreeResult::kUnchanged : TreeResult::kDone);
      if (!(c.unique && present)) model.insert(at, {key, record});
    } else {
      const std::size_t victim = random() % model.size();
      const TagItem gone = model[victim];
      ASSERT_EQ(DeleteKey(t.tree, bytes(gone.key), gone.record), TreeResult::kDone);
      model.erase(model.begin() + static_cast<std::ptrdiff_t>(victim));
      // Deleting it again finds nothing.
      ASSERT_EQ(DeleteKey(t.tree, bytes(gone.key), gone.record), TreeResult::kUnchanged);
    }
    if (t.tree.anchor_modified) {
      ASSERT_TRUE(t.file.WriteTagHeader(1, t.header));
      t.tree.anchor_modified = false;
    }
    if (step % 25 != 0 && step < 9990) continue;
    std::vector<std::string> problems;
    const std::vector<TagItem> items = Walk(t, problems);
    ASSERT_TRUE(problems.empty()) << "step " << step << ": " << problems.front();
    ASSERT_EQ(items.size(), model.size()) << "step " << step;
    for (std::size_t i = 0; i < items.size(); ++i) {
      ASSERT_EQ(items[i].key, model[i].key) << "step " << step << " item " << i;
      ASSERT_EQ(items[i].record, model[i].record) << "step " << step << " item " << i;
    }
  }
  // Emptied completely, the tag is one empty root leaf again.
  while (!model.empty()) {
    ASSERT_EQ(DeleteKey(t.tree, bytes(model.back().key), model.back().record), TreeResult::kDone);
    model.pop_back();
  }
  std::vector<std::string> problems;
  EXPECT_TRUE(Walk(t, problems).empty());
  EXPECT_TRUE(problems.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, TagTreeModelTest,
                         ::testing::Values(ModelCase{"wide_keys", 40, false, 400},
                                           ModelCase{"long_duplicate_runs", 40, false, 7},
                                           ModelCase{"unique", 20, true, 3000},
                                           ModelCase{"short_keys", 6, false, 100000}),
                         [](const auto& info) { return std::string(info.param.name); });

// Sorted batches of keys put in by InsertSortedKeys (each going down from where its way parts
// from the key before's) leave the index file byte for byte as InsertKey one key at a time
// does: batches of random keys into a growing tree (splits at every level, a new root), runs of
// equal keys across leaves, a unique tag refusing keys it holds, keys below and above all others.
TEST(TagTreeTest, SortedBatchesLeaveTheFileAsInsertsOneByOne) {
  const struct {
    const char* name;
    int key_length;
    bool unique;
    int distinct_keys;
  } kCases[] = {{"wide", 40, false, 5000}, {"runs", 12, false, 9}, {"unique", 10, true, 800}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    Tree one, sorted;
    OpenEmptyTag(dir.File("ONE.MDX"), 'C', c.key_length, c.unique, one);
    OpenEmptyTag(dir.File("SORTED.MDX"), 'C', c.key_length, c.unique, sorted);
    std::mt19937 random(static_cast<unsigned>(c.key_length * 31 + c.distinct_keys));
    std::uint32_t next_record = 1;
    for (const int batch : {1, 50, 700, 3, 2500, 400}) {
      std::vector<std::pair<std::string, std::uint32_t>> items;
      for (int i = 0; i < batch; ++i) {
        char text[16];
        std::snprintf(text, sizeof text, "%08d", static_cast<int>(random() % c.distinct_keys));
        std::string key(text);
        key.resize(static_cast<std::size_t>(c.key_length), ' ');
        items.emplace_back(key, next_record++);
      }
      std::stable_sort(items.begin(), items.end(),
                       [](const auto& a, const auto& b) { return a.first < b.first; });
      std::vector<const std::uint8_t*> keys;
      std::vector<std::uint32_t> records;
      for (const auto& [key, record] : items) {
        ASSERT_NE(InsertKey(one.tree, reinterpret_cast<const std::uint8_t*>(key.data()), record),
                  TreeResult::kFailed);
        keys.push_back(reinterpret_cast<const std::uint8_t*>(key.data()));
        records.push_back(record);
      }
      ASSERT_TRUE(InsertSortedKeys(sorted.tree, keys, records));
      for (Tree* t : {&one, &sorted}) {
        if (t->tree.anchor_modified) ASSERT_TRUE(t->file.WriteTagHeader(1, t->header));
        t->tree.anchor_modified = false;
      }
      std::vector<std::string> problems;
      const std::vector<TagItem> walked = Walk(sorted, problems);
      ASSERT_TRUE(problems.empty()) << problems.front();
      std::vector<std::string> ignored;
      ASSERT_EQ(walked.size(), Walk(one, ignored).size());
      one.file.Close();
      sorted.file.Close();
      EXPECT_EQ(test::ReadBytes(dir.File("ONE.MDX")), test::ReadBytes(dir.File("SORTED.MDX")))
          << "after the batch of " << batch;
      ASSERT_TRUE(one.file.Open(dir.File("ONE.MDX"), os::kOpenReadWriteDenyAll));
      ASSERT_TRUE(sorted.file.Open(dir.File("SORTED.MDX"), os::kOpenReadWriteDenyAll));
    }
  }
}

// Deleting a whole run of neighbouring keys empties leaves one after the other until a branch
// below the root keeps a single child: its leaves must stay at the depth of all others.
TEST(TagTreeTest, DeletingRunsOfKeysKeepsEveryLeafAtOneDepth) {
  for (const bool ascending : {true, false}) {
    SCOPED_TRACE(ascending ? "ascending" : "descending");
    test::TempDir dir;
    Tree t;
    OpenEmptyTag(dir.File("T.MDX"), 'C', 40, false, t);
    const auto key = [](int v) {
      std::string k = std::to_string(100000 + v);
      k.resize(40, ' ');
      return k;
    };
    constexpr int kKeys = 1500;  // 23 keys a node: three levels
    for (int v = 0; v < kKeys; ++v) {
      ASSERT_EQ(InsertKey(t.tree, reinterpret_cast<const std::uint8_t*>(key(v).data()),
                          static_cast<std::uint32_t>(v + 1)),
                TreeResult::kDone);
    }
    for (int i = 0; i < kKeys; ++i) {
      const int v = ascending ? i : kKeys - 1 - i;
      ASSERT_EQ(DeleteKey(t.tree, reinterpret_cast<const std::uint8_t*>(key(v).data()),
                          static_cast<std::uint32_t>(v + 1)),
                TreeResult::kDone);
      if (t.tree.anchor_modified) {
        ASSERT_TRUE(t.file.WriteTagHeader(1, t.header));
        t.tree.anchor_modified = false;
      }
      std::vector<std::string> problems;
      const std::vector<TagItem> items = Walk(t, problems);
      ASSERT_TRUE(problems.empty()) << "after " << i + 1 << " deletes: " << problems.front();
      ASSERT_EQ(items.size(), static_cast<std::size_t>(kKeys - 1 - i));
    }
  }
}

TEST(TagTreeTest, The85thDateKeySplitsTheRootIntoTwoLeavesUnderANewRoot) {
  test::TempDir dir;
  Tree t;
  OpenEmptyTag(dir.File("T.MDX"), 'D', 8, false, t);
  ASSERT_EQ(t.header.MaxKeys(), 84);
  const std::uint32_t old_root = t.header.RootPage();
  for (int i = 1; i <= 84; ++i) {
    const auto key = DoubleKey(2440000.0 + i);
    ASSERT_EQ(InsertKey(t.tree, key.data(), static_cast<std::uint32_t>(i)), TreeResult::kDone);
  }
  t.file.RefreshSize();
  const std::uint64_t size = t.file.size();
  EXPECT_FALSE(t.tree.anchor_modified);
  const auto key = DoubleKey(2440000.0 + 85);
  ASSERT_EQ(InsertKey(t.tree, key.data(), 85), TreeResult::kDone);
  t.file.RefreshSize();
  EXPECT_EQ(t.file.size(), size + 2048);
  EXPECT_TRUE(t.tree.anchor_modified);
  EXPECT_NE(t.header.RootPage(), old_root);
  NodeBytes root{};
  ASSERT_TRUE(t.file.ReadNode(t.header.RootPage(), root, {}));
  const NodeView view(root.data(), 12, 8);
  EXPECT_EQ(view.KeyCount(), 1);
  EXPECT_EQ(view.Child(0), old_root);
  std::vector<std::string> problems;
  const auto items = Walk(t, problems);
  EXPECT_TRUE(problems.empty());
  ASSERT_EQ(items.size(), 85u);
  // The root's one key is the highest key of the left leaf.
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(view.Key(0)), 8),
            items[static_cast<std::size_t>((85 + 1) / 2 - 1)].key);
}

// Other programs put their new nodes at the page counter in the file's header: at every moment
// of a split (new node written, both halves written, new root written) the counter on the disk
// already lies past every node the file holds.
std::string CounterPath;
int CounterMoments = 0;
std::vector<std::string> CounterFaults;

void CheckCounterOnDisk(SplitStage stage, bool leaf) {
  ++CounterMoments;
  const auto bytes = test::ReadBytes(CounterPath);
  if (bytes.size() < 36) {
    CounterFaults.push_back("the file could not be read");
    return;
  }
  const std::uint32_t counter = GetLe32(bytes.data() + 32);
  const auto pages = static_cast<std::uint32_t>(bytes.size() / kMdxPageSize);
  if (counter < pages) {
    CounterFaults.push_back("stage " + std::to_string(static_cast<int>(stage)) +
                            (leaf ? " (leaf)" : " (branch)") + ": counter " +
                            std::to_string(counter) + ", pages " + std::to_string(pages));
  }
}

TEST(TagTreeTest, ThePageCounterOnTheDiskPassesEveryNodeBeforeItIsLinked) {
  test::TempDir dir;
  Tree t;
  CounterPath = dir.File("T.MDX");
  // Shared, so the check can read the file as another program would (Windows keeps every other
  // open out of a file opened for one open's use).
  OpenEmptyTag(CounterPath, 'C', 40, false, t, os::kOpenReadWriteDenyNone);
  CounterMoments = 0;
  CounterFaults.clear();
  SplitStageTestHook = CheckCounterOnDisk;
  for (int v = 0; v < 700; ++v) {  // 23 keys a node: leaf, branch and root splits
    std::string key = std::to_string(100000 + v * 7919 % 700);
    key.resize(40, ' ');
    ASSERT_EQ(InsertKey(t.tree, reinterpret_cast<const std::uint8_t*>(key.data()),
                        static_cast<std::uint32_t>(v + 1)),
              TreeResult::kDone);
    if (t.tree.anchor_modified) {
      ASSERT_TRUE(t.file.WriteTagHeader(1, t.header));
      t.tree.anchor_modified = false;
    }
  }
  SplitStageTestHook = nullptr;
  EXPECT_GT(CounterMoments, 60);
  EXPECT_TRUE(CounterFaults.empty()) << CounterFaults.front();
}

}  // namespace
}  // namespace vx
