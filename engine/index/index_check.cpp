#include "engine/index/index_check.h"

#include <algorithm>
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
              std::vector<std::string>& problems, const TagItemVisitor* visit, IndexPages* pages,
              const std::string& tag_name, bool unique_once = false)
      : file_(file),
        header_(header),
        compare_(compare),
        problems_(problems),
        visit_(visit),
        pages_(pages),
        tag_name_(tag_name),
        key_length_(header.KeyLength()),
        item_length_(header.ItemLength()),
        next_free_(GetLe32(file.header().bytes.data() + 32)),
        unique_once_(unique_once && header.Unique()) {}

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
        if (has_last_ && compare_(last_.data(), view.Key(i), key_length_) > 0) {
          Problem(page, "key " + std::to_string(i) + " is lower than the key before it");
        } else if (unique_once_ && has_last_ &&
                   compare_(last_.data(), view.Key(i), key_length_) == 0) {
          Problem(page,
                  "key " + std::to_string(i) + " is the key before it again, in a unique tag");
        }
        if (view.Pointer(i) == 0) Problem(page, "item " + std::to_string(i) + " has record 0");
        std::memcpy(last_.data(), view.Key(i), static_cast<std::size_t>(key_length_));
        has_last_ = true;
        if (visit_ != nullptr) (*visit_)(view.Key(i), view.Pointer(i));
      }
      if (count > 0) highest = key_text(count - 1);
      return true;
    }
    // Other programs take a node without keys for an empty one: a branch below the root holds
    // two children at least.
    if (count == 0 && depth > 0) Problem(page, "branch node below the root with no key");
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
        pages_->shared.insert(node->second);
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
  const TagItemVisitor* visit_;
  IndexPages* pages_;
  std::string tag_name_;
  int key_length_;
  int item_length_;
  std::uint32_t next_free_;  // the header's page counter: the first page no node may use
  bool unique_once_;         // equal neighbouring keys are a problem
  std::size_t before_ = problems_.size();
  std::set<std::uint32_t> visited_;
  int leaf_depth_ = -1;
  KeyBuffer last_{};
  bool has_last_ = false;
};

}  // namespace

bool CheckTagTree(MdxFile& file, const TagHeader& header, KeyComparator compare,
                  std::vector<std::string>& problems, std::vector<TagItem>* items,
                  IndexPages* pages, const std::string& tag_name) {
  if (items == nullptr) {
    return TreeChecker(file, header, compare, problems, nullptr, pages, tag_name).Run();
  }
  const auto length = static_cast<std::size_t>(header.KeyLength());
  const TagItemVisitor collect = [items, length](const std::uint8_t* key, std::uint32_t record) {
    items->push_back({std::string(reinterpret_cast<const char*>(key), length), record});
  };
  return TreeChecker(file, header, compare, problems, &collect, pages, tag_name).Run();
}

bool CheckTagTree(MdxFile& file, const TagHeader& header, KeyComparator compare,
                  std::vector<std::string>& problems, const TagItemVisitor& visit,
                  IndexPages* pages, const std::string& tag_name) {
  return TreeChecker(file, header, compare, problems, &visit, pages, tag_name).Run();
}

bool CheckTagTreeForEdits(MdxFile& file, const TagHeader& header, KeyComparator compare,
                          std::vector<std::string>& problems, IndexPages& pages,
                          const std::string& tag_name) {
  return TreeChecker(file, header, compare, problems, nullptr, &pages, tag_name, true).Run();
}

std::string KeyShapeFault(const TagHeader& header, const TagExpressions& expressions) {
  const char type = header.KeyType();
  const char result = expressions.result_type;
  if ((type == 'C') != (result == 'C')) {
    return std::string("key type ") + type + " does not match the key expression's type " + result;
  }
  if (type == 'C' && expressions.width != 0 && expressions.width != header.KeyLength()) {
    return "key length " + std::to_string(header.KeyLength()) + ", but the key expression gives " +
           std::to_string(expressions.width) + " characters";
  }
  return {};
}

std::string CollationName(KeyCollation collation) {
  return collation == KeyCollation::kSignedBytes ? "signed bytes (128-255 before ASCII)"
                                                 : "unsigned bytes";
}

namespace {

// Keys of a few nodes as runs that must each be in the tag's order.
class CollationProbe {
 public:
  CollationProbe(MdxFile& file, const TagHeader& header) : file_(file), header_(header) {}

  KeyCollation Run() {
    if (header_.KeyType() != 'C') return KeyCollation::kBytes;
    NodeBytes root{};
    if (!Read(header_.RootPage(), root)) return KeyCollation::kBytes;
    InOrder(View(root));
    std::string first, last;
    if (!Edge(root, true, first) || !Edge(root, false, last)) return KeyCollation::kBytes;
    if (!first.empty() && !last.empty()) Pair(first, last);
    return unsigned_out_ && !signed_out_ ? KeyCollation::kSignedBytes : KeyCollation::kBytes;
  }

 private:
  NodeView View(const NodeBytes& node) const {
    return NodeView(node.data(), header_.ItemLength(), header_.KeyLength());
  }
  bool Read(std::uint32_t page, NodeBytes& node) {
    if (page < kMdxHeaderSize / kMdxPageSize) return false;
    QuietErrors quiet;
    if (!file_.ReadNode(page, node, IndexErrorContext{})) return false;
    return CountFits(View(node).KeyCount(), header_.ItemLength(), header_.MaxKeys());
  }
  std::string Key(const NodeView& view, int i) const {
    return std::string(reinterpret_cast<const char*>(view.Key(i)),
                       static_cast<std::size_t>(header_.KeyLength()));
  }
  void Pair(const std::string& a, const std::string& b) {
    const auto* x = reinterpret_cast<const std::uint8_t*>(a.data());
    const auto* y = reinterpret_cast<const std::uint8_t*>(b.data());
    const int length = header_.KeyLength();
    const bool descending = header_.Descending();
    const int by_bytes = descending ? CompareCharKeys(y, x, length) : CompareCharKeys(x, y, length);
    const int by_signed =
        descending ? CompareSignedCharKeys(y, x, length) : CompareSignedCharKeys(x, y, length);
    unsigned_out_ = unsigned_out_ || by_bytes > 0;
    signed_out_ = signed_out_ || by_signed > 0;
  }
  void InOrder(const NodeView& view) {
    for (int i = 1; i < view.KeyCount(); ++i) Pair(Key(view, i - 1), Key(view, i));
  }
  // Walks down the first (or last) children to a leaf, checking its keys; `key` receives the
  // leaf's first (or last) key, empty when the tag holds none.
  bool Edge(NodeBytes node, bool first, std::string& key) {
    for (int depth = 0; depth < 32; ++depth) {
      const NodeView view = View(node);
      if (view.IsLeaf()) {
        InOrder(view);
        if (view.KeyCount() > 0) key = Key(view, first ? 0 : view.KeyCount() - 1);
        return true;
      }
      const std::uint32_t child = first ? view.Child(0) : view.Trailing();
      if (!Read(child, node)) return false;
    }
    return false;
  }

  MdxFile& file_;
  const TagHeader& header_;
  bool unsigned_out_ = false;
  bool signed_out_ = false;
};

}  // namespace

KeyCollation ProbeKeyCollation(MdxFile& file, const TagHeader& header) {
  return CollationProbe(file, header).Run();
}

bool SoundInSignedByteOrder(MdxFile& file, const TagHeader& header) {
  if (header.KeyType() != 'C') return false;
  std::vector<std::string> problems;
  return CheckTagTree(file, header,
                      header.Descending() ? CompareSignedCharKeysDescending : CompareSignedCharKeys,
                      problems);
}

void CompareItemsWithRecords(std::vector<TagItem> items, std::vector<TagItem> expected,
                             const std::function<int(const std::string&, const std::string&)>& compare,
                             bool unique, std::uint32_t records, std::vector<std::string>& problems,
                             std::vector<std::string>& notes) {
  const auto less = [&](const TagItem& a, const TagItem& b) {
    const int c = compare(a.key, b.key);
    return c < 0 || (c == 0 && a.record < b.record);
  };
  std::sort(items.begin(), items.end(), less);
  std::sort(expected.begin(), expected.end(), less);
  const auto same = [&](const TagItem& a, const TagItem& b) { return !less(a, b) && !less(b, a); };
  std::size_t missing = 0;
  std::size_t extra = 0;
  std::string first_missing;
  std::string first_extra;
  std::size_t e = 0;
  for (const TagItem& item : items) {
    while (e < expected.size() && less(expected[e], item)) {
      if (!unique && missing++ == 0) first_missing = "record " + std::to_string(expected[e].record);
      ++e;
    }
    if (e < expected.size() && same(expected[e], item)) {
      ++e;
      continue;
    }
    if (item.record < 1 || item.record > records) {
      problems.push_back("an item names record " + std::to_string(item.record) +
                         ", the table has " + std::to_string(records));
      return;
    }
    if (extra++ == 0) first_extra = "record " + std::to_string(item.record);
  }
  std::size_t unique_gaps = 0;
  if (!unique) {
    for (; e < expected.size(); ++e) {
      if (missing++ == 0) first_missing = "record " + std::to_string(expected[e].record);
    }
  } else {
    // A unique index holds one record of each key: every key the records give must be there.
    std::size_t i = 0;
    for (std::size_t k = 0; k < expected.size(); ++k) {
      if (k > 0 && compare(expected[k].key, expected[k - 1].key) == 0) continue;
      while (i < items.size() && compare(items[i].key, expected[k].key) < 0) ++i;
      if (i == items.size() || compare(items[i].key, expected[k].key) != 0) ++unique_gaps;
    }
  }
  if (missing > 0) {
    problems.push_back(std::to_string(missing) +
                       (missing == 1 ? " record without its item (" : " records without their item (the first: ") +
                       first_missing + ")");
  }
  if (extra > 0) {
    problems.push_back(std::to_string(extra) +
                       (extra == 1 ? " item whose record has another key (" : " items whose record has another key (the first: ") +
                       first_extra + ")");
  }
  if (unique_gaps > 0) {
    notes.push_back(std::to_string(unique_gaps) +
                    " keys of the records are not in the unique index (the record holding each "
                    "changed; a rebuild puts them back)");
  }
}

}  // namespace vx
