#pragma once
// Verifying one tag's B-tree without changing it: every page inside the file, below the index
// header's page counter (where other programs allocate new nodes) and visited once,
// key counts within the tag's capacity, only the root empty, leaves all at one depth, each
// branch item's key equal to the highest key of its child's subtree, and the keys in order
// under the tag's comparator. Each problem is described in words with the page it concerns.
// Across the tags of one file (IndexPages): no node on a page of a tag header, no node reached
// from two tags, no two nodes overlapping.

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/index/key_codec.h"
#include "engine/index/key_maker.h"
#include "engine/index/mdx_file.h"

namespace vx {

struct TagItem {
  std::string key;  // key length bytes
  std::uint32_t record = 0;
};

// The pages the tags of one file use, gathered while they are checked one after another.
struct IndexPages {
  std::map<std::uint32_t, std::string> headers;  // tag header page -> tag name
  std::map<std::uint32_t, std::string> nodes;    // node page -> the tag that reached it
  // Tags a node of which a later tag reached too (the later tag has the problem).
  std::set<std::string> shared;
};

// Appends the problems found to `problems` and, when `items` is given, the tag's (key, record)
// items in order (as far as the tree could be walked). Answers whether the tree is sound.
// With `pages`, the tag's nodes (named `tag_name`) are also checked against the pages other
// tags use, and added to them.
bool CheckTagTree(MdxFile& file, const TagHeader& header, KeyComparator compare,
                  std::vector<std::string>& problems, std::vector<TagItem>* items = nullptr,
                  IndexPages* pages = nullptr, const std::string& tag_name = {});
// Each leaf item in tree order: its key (key length bytes) and record number.
using TagItemVisitor = std::function<void(const std::uint8_t* key, std::uint32_t record)>;
// CheckTagTree handing each item to `visit` instead of collecting them, for trees of any size.
bool CheckTagTree(MdxFile& file, const TagHeader& header, KeyComparator compare,
                  std::vector<std::string>& problems, const TagItemVisitor& visit,
                  IndexPages* pages = nullptr, const std::string& tag_name = {});
// CheckTagTree without collecting items, for a caller about to change the tree: in a unique tag
// two equal keys are a problem too (the items' records are not compared here).
bool CheckTagTreeForEdits(MdxFile& file, const TagHeader& header, KeyComparator compare,
                          std::vector<std::string>& problems, IndexPages& pages,
                          const std::string& tag_name);

// Compares the (key, record) items of a tree with those its table's records give (`expected`),
// both in any order, keys ordered by `compare`: records without their item, items whose record
// has another key, an item naming no record of the table's `records` (which ends the
// comparison). A unique index holds one record of each key: there a record without its item is
// no damage, but a key of the records missing altogether is noted (the record holding it
// changed; a rebuild puts it back).
void CompareItemsWithRecords(std::vector<TagItem> items, std::vector<TagItem> expected,
                             const std::function<int(const std::string&, const std::string&)>& compare,
                             bool unique, std::uint32_t records, std::vector<std::string>& problems,
                             std::vector<std::string>& notes);

// What is wrong between a sound tag header's key type and length and its key expression (what
// appends and reindex would refuse), even in a tag that holds no keys; empty when they agree.
std::string KeyShapeFault(const TagHeader& header, const TagExpressions& expressions);

// The order a character tag's keys are in. This engine (and the format) orders unsigned bytes;
// some writers compare signed bytes, which puts bytes 128..255 before ASCII. A tag in such an
// order is sound for its writer, but a key this engine inserts or seeks lands where that writer
// would not look, and the reverse.
enum class KeyCollation { kBytes, kSignedBytes };
// "signed bytes (128-255 before ASCII)" and the like, for messages.
std::string CollationName(KeyCollation collation);
// Tells the order from a few nodes: the root, the first and the last leaf (a handful of reads
// whatever the tag's size), so that an edit can afford to ask. kSignedBytes only when what it
// read is out of byte order and in signed-byte order; a tag it cannot read is kBytes.
KeyCollation ProbeKeyCollation(MdxFile& file, const TagHeader& header);
// The whole tree checked in signed-byte order (after CheckTagTree found it out of byte order):
// whether every key is in that order and the tree sound otherwise.
bool SoundInSignedByteOrder(MdxFile& file, const TagHeader& header);

}  // namespace vx
