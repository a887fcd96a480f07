// Every .MDX of the corpus (files other programs wrote), opened with its table: each tag walked
// both ways through the work-area commands, its order checked under the tag's comparator, each
// stored key compared with the key our key maker computes for the record, the set of records
// compared with those that meet the FOR condition, and a search for each key landing on it.
// Files that are refused are pinned with their codes.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "engine/index/orders.h"
#include "engine/workarea/navigation.h"
#include "tests/engine/index/index_fixture.h"

namespace vx {
namespace {

namespace fs = std::filesystem;

// Index files refused, with the code (of the table's USE when the table itself is refused).
const std::map<std::string, std::uint16_t> kRejected = {
    {"jdbfdriver/TEST.MDX", 222},                       // empty, and no table beside it
    {"xbasej/testfiles/test.mdx", 222},                 // shorter than its header
    {"xbasej-kbohling/test.mdx", 222},                  // shorter than its header
    {"gettingstarted-samples/Data/engineer.MDX", 222},  // level 7 index (version 3): not read
    {"gettingstarted-samples/Data/qaid.MDX", 222},      // level 7 index (version 3): not read
    {"cimc-pcs7/CONN/VLTAB53.MDX", 211},                // its table has a field of type 0x88
};

// Tags whose writer ordered characters above 127 by a collation of its own, not by bytes: their
// keys still match ours, but neither the order nor a search by bytes holds there.
const std::set<std::string> kForeignCollation = {"cimc-pcs7/meldeom/MELDOM.MDX NAME_TAG"};

bool IsIndexName(const fs::path& p) {
  std::string ext = p.extension().string();
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext == ".mdx";
}

// Numeric keys of other writers may count their digits differently (1 instead of 10 for "1");
// the value bytes must agree.
bool SameKey(const OrderTag& tag, const std::uint8_t* stored, const KeyBuffer& ours) {
  const int length = tag.header.KeyLength();
  if (tag.header.KeyType() == 'N' || tag.header.KeyType() == 'F') {
    return stored[0] == ours[0] && (stored[1] & 0x80) == (ours[1] & 0x80) &&
           std::equal(stored + 2, stored + 12, ours.begin() + 2);
  }
  return std::equal(stored, stored + length, ours.begin());
}

class IndexCorpusTest : public test::IndexTest {
 protected:
  void SetUp() override {
    IndexTest::SetUp();
    // Read in place: no semaphore files, nothing written, keys compared as stored.
    SharingEnabled = false;
    OpenModeOverride = os::kOpenReadOnlyDenyNone;
    AnsiTables = true;
  }
  void TearDown() override {
    AnsiTables = false;
    IndexTest::TearDown();
  }

  void CheckTag(const std::string& rel, int order) {
    Set_Order_To(order);
    OrderTag& tag = *OrderOf(order);
    SCOPED_TRACE(tag.name);
    const bool foreign = kForeignCollation.count(rel + " " + tag.name) != 0;
    TableRecord& t = *SelectedTable();
    std::vector<std::int32_t> forward;
    std::vector<std::vector<std::uint8_t>> keys;
    GoTop();
    while (!dEOF()) {
      ASSERT_LE(forward.size(), static_cast<std::size_t>(RecCount())) << "walk does not end";
      forward.push_back(RecNo());
      const std::uint8_t* stored = tag.cursor.Key();
      keys.emplace_back(stored, stored + tag.header.KeyLength());
      KeyBuffer ours{};
      int length = 0;
      ASSERT_TRUE(MakeKey(tag.expressions, tag.header, t, ours, length));
      EXPECT_TRUE(SameKey(tag, stored, ours)) << "record " << RecNo();
      if (keys.size() > 1 && !foreign) {
        EXPECT_LE(tag.compare(keys[keys.size() - 2].data(), stored, tag.header.KeyLength()), 0)
            << "record " << RecNo();
      }
      SKIP(1);
    }
    std::vector<std::int32_t> backward;
    GoBottom();
    while (!dEOF() && backward.size() <= forward.size()) {
      backward.push_back(RecNo());
      SKIP(-1);
      if (dBOF()) break;
    }
    EXPECT_EQ(std::vector<std::int32_t>(backward.rbegin(), backward.rend()), forward);
    // The records in the tag are exactly those meeting its FOR condition.
    std::set<std::int32_t> meeting;
    for (std::int32_t n = 1; n <= RecCount(); ++n) {
      GoRaw(n);
      if (MeetsFor(tag.expressions, t)) meeting.insert(n);
    }
    EXPECT_EQ(std::set<std::int32_t>(forward.begin(), forward.end()), meeting);
    EXPECT_EQ(forward.size(), meeting.size()) << "a record is in the tag twice";
    if (foreign) return;
    // Searching each key lands on a record with that key.
    for (const auto& key : keys) {
      bool found = false;
      ASSERT_TRUE(tag.cursor.Seek(key.data(), tag.header.KeyLength(), found));
      EXPECT_TRUE(found);
      if (tag.character) {
        ASSERT_TRUE(Find(std::string(key.begin(), key.end())));
        EXPECT_EQ(tag.compare(tag.cursor.Key(), key.data(), tag.header.KeyLength()), 0);
      }
    }
  }
};

TEST_F(IndexCorpusTest, EveryIndexOpensWithItsTableAndEveryTagWalks) {
  const fs::path corpus = test::CorpusDir();
  if (corpus.empty()) GTEST_SKIP() << "the shared corpus folder (../shared/corpus) is absent";
  int opened = 0;
  int tags = 0;
  for (const auto& entry : fs::recursive_directory_iterator(corpus)) {
    if (!entry.is_regular_file() || !IsIndexName(entry.path())) continue;
    const std::string rel = fs::relative(entry.path(), corpus).generic_string();
    SCOPED_TRACE(rel);
    fs::path table = entry.path();
    table.replace_extension(".DBF");
    std::uint16_t code = 0;
    if (os::FileExists(table.string())) {
      code = CodeOf([&] { Use(table.string()); });
      if (code == 0) code = CodeOf([&] { SetIndexTo(entry.path().string()); });
    } else {
      // No table beside it: the index file alone is read.
      code = CodeOf([&] { MdxFile().Open(entry.path().string(), os::kOpenReadOnlyDenyNone); });
      if (code == 0) {
        ADD_FAILURE() << "an index without its table";
        continue;
      }
    }
    const auto pinned = kRejected.find(rel);
    if (code != 0) {
      if (pinned == kRejected.end()) {
        ADD_FAILURE() << "refused with " << code << ": " << LastErrorMessage;
      } else {
        EXPECT_EQ(code, pinned->second) << LastErrorMessage;
      }
      QuietErrors quiet;
      CloseArea();
      continue;
    }
    EXPECT_EQ(pinned, kRejected.end()) << "opened, but pinned as refused";
    ++opened;
    for (int order = 1; order <= OrderCount(); ++order) {
      CheckTag(rel, order);
      ++tags;
    }
    CloseArea();
  }
  EXPECT_EQ(opened, 28);
  EXPECT_GT(tags, 60);
}

}  // namespace
}  // namespace vx
