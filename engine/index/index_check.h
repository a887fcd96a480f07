#pragma once
// Verifying one tag's B-tree without changing it: every page inside the file, below the index
// header's page counter (where other programs allocate new nodes) and visited once,
// key counts within the tag's capacity, only the root empty, leaves all at one depth, each
// branch item's key equal to the highest key of its child's subtree, and the keys in order
// under the tag's comparator. Each problem is described in words with the page it concerns.
// Across the tags of one file (IndexPages): no node on a page of a tag header, no node reached
// from two tags, no two nodes overlapping.

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "engine/index/key_codec.h"
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
};

// Appends the problems found to `problems` and, when `items` is given, the tag's (key, record)
// items in order (as far as the tree could be walked). Answers whether the tree is sound.
// With `pages`, the tag's nodes (named `tag_name`) are also checked against the pages other
// tags use, and added to them.
bool CheckTagTree(MdxFile& file, const TagHeader& header, KeyComparator compare,
                  std::vector<std::string>& problems, std::vector<TagItem>* items = nullptr,
                  IndexPages* pages = nullptr, const std::string& tag_name = {});

}  // namespace vx
