#include "engine/index/index_check.h"

#include <cstring>
#include <set>

#include "engine/foundation/errors.h"

namespace vx {

namespace {

constexpr std::uint32_t kFirstNodePage = kMdxHeaderSize / kMdxPageSize;
constexpr int kMaxDepth = 32;

class TreeChecker {
 public:
  TreeChecker(MdxFile& file, const TagHeader& header, KeyComparator compare,
              std::vector<std::string>& problems, std::vector<TagItem>* items, IndexPages* pages,
              const std::string& tag_name)
      : file_(file),
        header_(header),
        compare_(compare),
        problems_(problems),
        items_(items),
        pages_(pages),
        tag_name_(tag_name),
        key_length_(header.KeyLength()),
        item_length_(header.ItemLength()),
        next_free_(GetLe32(file.header().bytes.data() + 32)) {}

  bool Run() {
    std::string highest;
    Visit(header_.RootPage(), 0, highest);
    return problems_.size() == before_;
  }

 private:
  void Problem(std::uint32_t page, const std::string& what) {
    problems_.push_back("page " + std::to_string(page) + ": " + what);
  }

  // Walks the subtree at `page`; `highest` receives its highest key (empty when it has none).
  // Answers false when the subtree could not be walked.
  bool Visit(std::uint32_t page, int depth, std::string& highest) {
    highest.clear();
    if (page < kFirstNodePage || std::uint64_t{page} * kMdxPageSize + kMdxNodeSize > file_.size()) {
      Problem(page, "node outside the file");
      return false;
    }
    if (std::uint64_t{page} + kMdxNodeSize / kMdxPageSize > next_free_) {
      // Other programs allocate new nodes at the counter: they would write over this one.
      Problem(page,
              "node at or beyond the index header's page counter " + std::to_string(next_free_));
    }
    if (depth >= kMaxDepth || !visited_.insert(page).second) {
      Problem(page, "node reached twice (a cycle or a shared subtree)");
      return false;
    }
    if (pages_ != nullptr && !OwnPages(page)) return false;
    NodeBytes node{};
    {
      QuietErrors quiet;
      if (!file_.ReadNode(page, node, IndexErrorContext{})) {
        Problem(page, "node cannot be read");
        return false;
      }
    }
    const NodeView view(node.data(), item_length_, key_length_);
    const int count = view.KeyCount();
    if (GetLe16(node.data() + 2) != 0) Problem(page, "key count's high bytes are not zero");
    if (!CountFits(count, item_length_, header_.MaxKeys())) {
      Problem(page, "key count " + std::to_string(count) + " above the capacity " +
                        std::to_string(header_.MaxKeys()));
      return false;
    }
    const auto key_text = [&](int i) {
      return std::string(reinterpret_cast<const char*>(view.Key(i)),
                         static_cast<std::size_t>(key_length_));
    };
    if (view.IsLeaf()) {
      if (leaf_depth_ < 0) leaf_depth_ = depth;
      if (depth != leaf_depth_) Problem(page, "leaf at another depth than the first leaf");
      if (count == 0 && depth > 0) Problem(page, "empty node below the root");
      for (int i = 0; i < count; ++i) {
        const std::string key = key_text(i);
        if (has_last_ && compare_(reinterpret_cast<const std::uint8_t*>(last_.data()), view.Key(i),
                                  key_length_) > 0) {
          Problem(page, "key " + std::to_string(i) + " is lower than the key before it");
        }
        if (view.Pointer(i) == 0) Problem(page, "item " + std::to_string(i) + " has record 0");
        last_ = key;
        has_last_ = true;
        if (items_ != nullptr) items_->push_back({key, view.Pointer(i)});
      }
      if (count > 0) highest = key_text(count - 1);
      return true;
    }
    for (int i = 0; i <= count; ++i) {
      std::string sub;
      if (!Visit(view.Child(i), depth + 1, sub)) continue;
      if (i < count) {
        if (sub.empty() || sub != key_text(i)) {
          Problem(page, "item " + std::to_string(i) +
                            "'s key is not the highest key of its child (page " +
                            std::to_string(view.Child(i)) + ")");
        }
      } else {
        highest = sub;
      }
    }
    return true;
  }

  // A node takes two pages: it must not overlap a tag header or another node. Answers false
  // (after the problem) when the node is not this tag's alone.
  bool OwnPages(std::uint32_t page) {
    for (std::uint32_t p = page == 0 ? 0 : page - 1; p <= page + 1; ++p) {
      const auto header = pages_->headers.find(p);
      if (header != pages_->headers.end()) {
        Problem(page, "a tree node on the tag header of tag " + header->second + " (page " +
                          std::to_string(p) + ")");
        return false;
      }
      const auto node = pages_->nodes.find(p);
      if (node == pages_->nodes.end()) continue;
      if (node->second != tag_name_) {
        Problem(page, "node also reached from tag " + node->second +
                          (p == page ? "" : " (its node at page " + std::to_string(p) + ")"));
        return false;
      }
      if (p != page) {
        Problem(page, "node overlaps the node at page " + std::to_string(p));
        return false;
      }
    }
    pages_->nodes.emplace(page, tag_name_);
    return true;
  }

  MdxFile& file_;
  const TagHeader& header_;
  KeyComparator compare_;
  std::vector<std::string>& problems_;
  std::vector<TagItem>* items_;
  IndexPages* pages_;
  std::string tag_name_;
  int key_length_;
  int item_length_;
  std::uint32_t next_free_;  // the header's page counter: the first page no node may use
  std::size_t before_ = problems_.size();
  std::set<std::uint32_t> visited_;
  int leaf_depth_ = -1;
  std::string last_;
  bool has_last_ = false;
};

}  // namespace

bool CheckTagTree(MdxFile& file, const TagHeader& header, KeyComparator compare,
                  std::vector<std::string>& problems, std::vector<TagItem>* items,
                  IndexPages* pages, const std::string& tag_name) {
  return TreeChecker(file, header, compare, problems, items, pages, tag_name).Run();
}

}  // namespace vx
