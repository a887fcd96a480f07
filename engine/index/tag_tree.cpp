#include "engine/index/tag_tree.h"

#include <array>
#include <cstring>
#include <vector>

#include "engine/foundation/errors.h"

namespace vx {

namespace {

void AtSplitStage(SplitStage stage, bool leaf) {
  if (SplitStageTestHook != nullptr) [[unlikely]]
    SplitStageTestHook(stage, leaf);
}

// Deeper than any tree of 1024-byte nodes over 2^32 records: a longer way down is a cycle.
constexpr std::size_t kMaxDepth = 32;
// Pages 0..3 hold the file header.
constexpr std::uint32_t kFirstNodePage = kMdxHeaderSize / kMdxPageSize;

struct Step {
  std::uint32_t page = 0;
  NodeBytes node{};
  int slot = 0;  // leaf: the item position; branch: the child taken (count = trailing)
};

class Editor {
 public:
  explicit Editor(TagTree& tree)
      : tree_(tree),
        key_length_(tree.header->KeyLength()),
        item_length_(tree.header->ItemLength()),
        max_keys_(tree.header->MaxKeys()) {
    path_.reserve(8);
  }

  TreeResult Insert(const std::uint8_t* key, std::uint32_t record);
  // Insert for keys that come in ascending order: the way down of the key before is kept while
  // an insert changes only its leaf, and the next key goes down again only from the first level
  // where its place differs (the same slots Descend finds in the same node bytes).
  TreeResult InsertNext(const std::uint8_t* key, std::uint32_t record);
  TreeResult Delete(const std::uint8_t* key, std::uint32_t record);
  bool CheckInsert(const std::uint8_t* key);
  TreeResult CheckDelete(const std::uint8_t* key, std::uint32_t record);

 private:
  static int Count(const NodeBytes& n) { return GetLe16(n.data()); }
  static void SetCount(NodeBytes& n, int count) {
    PutLe32(n.data(), static_cast<std::uint32_t>(count));
  }
  std::uint8_t* Item(NodeBytes& n, int i) const { return n.data() + 8 + i * item_length_; }
  std::uint32_t Pointer(const NodeBytes& n, int i) const {
    return GetLe32(n.data() + 8 + i * item_length_);
  }
  const std::uint8_t* Key(const NodeBytes& n, int i) const {
    return n.data() + 12 + i * item_length_;
  }
  bool IsLeaf(const NodeBytes& n) const { return Pointer(n, Count(n)) == 0; }
  int Compare(const std::uint8_t* a, const std::uint8_t* b) const {
    return tree_.compare(a, b, key_length_);
  }
  int LowerBound(const NodeBytes& n, const std::uint8_t* key) const {
    int lo = 0;
    int hi = Count(n);
    while (lo < hi) {
      const int mid = (lo + hi) / 2;
      if (Compare(Key(n, mid), key) < 0) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    return lo;
  }

  bool Fail(std::uint16_t code, const std::string& text) {
    SetEngineError(code, text);
    return false;
  }
  bool Read(std::uint32_t page, NodeBytes& out, std::size_t depth);
  bool BadNode(std::uint32_t page);
  bool Damaged(std::uint32_t page, const std::string& what);
  // Goes down from the root to the leaf where `key` belongs, the path ending there.
  bool Descend(const std::uint8_t* key);
  // The same from the node at `page` below the path kept so far.
  bool DescendFrom(std::uint32_t page, const std::uint8_t* key);
  // Goes down the kept path again for `key` (see InsertNext); false when it cannot be used.
  bool Redescend(const std::uint8_t* key);
  // The insert after the path was found: the leaf's slot gets the item, splits go upwards.
  TreeResult InsertOnPath(const std::uint8_t* key, std::uint32_t record);
  // Whether the leaf the path ends on is as deep as the tree's first leaf (reported if not).
  bool LeafDepthAgrees();
  bool Write(const Step& s) { return tree_.file->WriteNode(s.page, s.node); }
  int FindItem(std::uint32_t page, const std::uint8_t* key, std::uint32_t record);
  bool RemoveChild(std::size_t level);
  bool Rebalance(std::size_t level);
  bool PropagateHighest(std::size_t level, const std::uint8_t* key);

  TagTree& tree_;
  int key_length_;
  int item_length_;
  int max_keys_;
  std::vector<Step> path_;
  // Whether path_ holds the nodes as the tree has them now (InsertNext).
  bool path_kept_ = false;
  bool split_ = false;  // the last InsertOnPath split a node
};

bool Editor::Read(std::uint32_t page, NodeBytes& out, std::size_t depth) {
  if (page < kFirstNodePage || depth >= kMaxDepth) return BadNode(page);
  for (const Step& s : path_) {
    if (s.page == page) return BadNode(page);
  }
  // A node takes two pages, so does a tag header: they must not overlap.
  for (const TagTree::ForeignPage& foreign : tree_.foreign_pages) {
    if (page <= foreign.page + 1 && foreign.page <= page + 1) {
      return Damaged(page,
                     "a node on " + foreign.what + " (page " + std::to_string(foreign.page) + ")");
    }
  }
  if (std::uint64_t{page} * kMdxPageSize + kMdxNodeSize > tree_.file->size()) {
    tree_.file->RefreshSize();
    if (std::uint64_t{page} * kMdxPageSize + kMdxNodeSize > tree_.file->size()) {
      return Damaged(page, "a node past the end of the file");
    }
  }
  if (!tree_.file->ReadNode(page, out, tree_.context, static_cast<int>(depth))) return false;
  // A kept node that passed these checks and was not written since passes them again.
  if (tree_.file->NodeChecked(page)) return true;
  const int count = Count(out);
  if (!CountFits(count, item_length_, max_keys_)) {
    return Damaged(page, "key count " + std::to_string(count) + " above the capacity " +
                             std::to_string(max_keys_));
  }
  // A wrong count shows in the items it takes in: a pointer of 0 (the old trailing pointer or
  // the zero bytes behind it), keys out of order.
  for (int i = 0; i < count; ++i) {
    if (Pointer(out, i) == 0) {
      return Damaged(page, "item " + std::to_string(i) + " points nowhere (0)");
    }
    if (i > 0 && Compare(Key(out, i - 1), Key(out, i)) > 0) {
      return Damaged(page, "key " + std::to_string(i) + " is lower than the key before it");
    }
  }
  tree_.file->MarkNodeChecked(page);
  return true;
}

bool Editor::BadNode(std::uint32_t page) {
  return Fail(254, "Invalid Node Number (" + std::to_string(page) + ") in DBF Area " +
                       std::to_string(tree_.context.area) + ", Order " +
                       std::to_string(tree_.context.order) + " [GetNode]");
}

bool Editor::Damaged(std::uint32_t page, const std::string& what) {
  return Fail(222, "Invalid dBASE key expression or corrupted index file " +
                       tree_.context.file_name + " [tag: " + tree_.context.tag_name + "] page " +
                       std::to_string(page) + ": " + what + " [GetNode]");
}

bool Editor::LeafDepthAgrees() {
  // The first leaf's depth, read down the leftmost edge (checked like every other node).
  std::vector<Step> kept = std::move(path_);
  path_.clear();
  std::uint32_t page = tree_.header->RootPage();
  bool ok = true;
  while (true) {
    Step s;
    s.page = page;
    if (!Read(page, s.node, path_.size())) {
      ok = false;
      break;
    }
    page = Pointer(s.node, 0);
    const bool leaf = IsLeaf(s.node);
    path_.push_back(s);
    if (leaf) break;
  }
  const std::size_t first_leaf_depth = path_.size();
  path_ = std::move(kept);
  if (!ok) return false;
  if (path_.size() != first_leaf_depth) {
    return Damaged(path_.back().page, "a leaf at depth " + std::to_string(path_.size() - 1) +
                                          ", the first leaf is at depth " +
                                          std::to_string(first_leaf_depth - 1));
  }
  return true;
}

bool Editor::CheckInsert(const std::uint8_t* key) {
  path_.clear();
  if (!Descend(key)) return false;
  return LeafDepthAgrees();
}

TreeResult Editor::CheckDelete(const std::uint8_t* key, std::uint32_t record) {
  path_.clear();
  const int r = FindItem(tree_.header->RootPage(), key, record);
  if (r == -2) return TreeResult::kFailed;
  if (r != 1) return TreeResult::kUnchanged;
  return LeafDepthAgrees() ? TreeResult::kDone : TreeResult::kFailed;
}

bool Editor::Descend(const std::uint8_t* key) { return DescendFrom(tree_.header->RootPage(), key); }

bool Editor::DescendFrom(std::uint32_t page, const std::uint8_t* key) {
  while (true) {
    // Read in place (a node is 1 KiB); the step names its page once the read passed.
    const std::size_t depth = path_.size();
    Step& s = path_.emplace_back();
    if (!Read(page, s.node, depth)) {
      path_.pop_back();
      return false;
    }
    s.page = page;
    s.slot = LowerBound(s.node, key);
    const bool leaf = IsLeaf(s.node);
    page = Pointer(s.node, s.slot);
    if (leaf) return true;
  }
}

TreeResult Editor::Insert(const std::uint8_t* key, std::uint32_t record) {
  path_.clear();
  if (!Descend(key)) return TreeResult::kFailed;
  return InsertOnPath(key, record);
}

bool Editor::Redescend(const std::uint8_t* key) {
  if (!path_kept_ || path_.empty() || path_.front().page != tree_.header->RootPage()) {
    return false;
  }
  for (std::size_t level = 0; level < path_.size(); ++level) {
    Step& s = path_[level];
    const int slot = LowerBound(s.node, key);
    if (IsLeaf(s.node)) {
      s.slot = slot;
      return level + 1 == path_.size();
    }
    if (slot != s.slot) {
      s.slot = slot;
      path_.resize(level + 1);
      return DescendFrom(Pointer(s.node, slot), key);
    }
  }
  return false;
}

TreeResult Editor::InsertNext(const std::uint8_t* key, std::uint32_t record) {
  if (!Redescend(key)) {
    path_.clear();
    if (!Descend(key)) {
      path_kept_ = false;
      return TreeResult::kFailed;
    }
  }
  split_ = false;
  const TreeResult result = InsertOnPath(key, record);
  // A split changed nodes above the leaf (and maybe the root): the next key goes down anew.
  path_kept_ = result != TreeResult::kFailed && !split_;
  return result;
}

TreeResult Editor::InsertOnPath(const std::uint8_t* key, std::uint32_t record) {
  {
    const Step& leaf = path_.back();
    if (tree_.header->Unique() && leaf.slot < Count(leaf.node) &&
        Compare(Key(leaf.node, leaf.slot), key) == 0) {
      return TreeResult::kUnchanged;
    }
  }
  if (tree_.header->HasFor() && !tree_.header->ForEverMet()) {
    tree_.header->bytes[246] = 1;
    tree_.anchor_modified = true;
  }
  // The item to insert at the current level's slot, and (after a split below) the page that
  // the slot after it must point to.
  // Buffers on the stack, not the heap: a batch inserts hundreds of thousands of keys. An item is
  // at most 4 + kMaxKeyLength bytes rounded up, a node's items with one more at most a node
  // and an item.
  std::array<std::uint8_t, kMaxKeyLength + 8> item{};
  std::array<std::uint8_t, kMdxNodeSize + kMaxKeyLength + 12> flat;
  PutLe32(item.data(), record);
  std::memcpy(item.data() + 4, key, static_cast<std::size_t>(key_length_));
  std::uint32_t redirect = 0;
  for (std::size_t level = path_.size(); level-- > 0;) {
    Step& s = path_[level];
    const int n = Count(s.node);
    const bool leaf = IsLeaf(s.node);
    // Items 0..n with the new one in place, then the trailing pointer.
    const auto flat_size = static_cast<std::size_t>((n + 1) * item_length_ + 4);
    if (flat_size > flat.size() || static_cast<std::size_t>(item_length_) > item.size()) {
      Damaged(s.page, "more items than a node holds");
      return TreeResult::kFailed;
    }
    const auto L = static_cast<std::size_t>(item_length_);
    const auto slot = static_cast<std::size_t>(s.slot);
    std::memcpy(flat.data(), Item(s.node, 0), slot * L);
    std::memcpy(flat.data() + slot * L, item.data(), L);
    std::memcpy(flat.data() + (slot + 1) * L, Item(s.node, s.slot),
                (static_cast<std::size_t>(n) - slot) * L + 4);
    if (redirect != 0) PutLe32(flat.data() + (slot + 1) * L, redirect);
    const int total = n + 1;
    if (total <= max_keys_) {
      std::memcpy(Item(s.node, 0), flat.data(), flat_size);
      SetCount(s.node, total);
      return Write(s) ? TreeResult::kDone : TreeResult::kFailed;
    }
    // Split: the old page keeps the lower half, a new page at the end takes the rest.
    split_ = true;
    const int keep = (total + 1) / 2;
    const std::uint32_t new_page = tree_.file->AppendNode();
    if (new_page == 0) return TreeResult::kFailed;
    Step right;
    right.page = new_page;
    const auto rest = static_cast<std::size_t>(total - keep);
    std::memcpy(Item(right.node, 0), flat.data() + static_cast<std::size_t>(keep) * L,
                rest * L + 4);
    SetCount(right.node, static_cast<int>(rest));
    // The old node's highest key goes up to the parent; a branch turns its last kept item's
    // pointer into its trailing pointer.
    KeyBuffer highest{};
    std::memcpy(highest.data(), flat.data() + static_cast<std::size_t>(keep - 1) * L + 4,
                static_cast<std::size_t>(key_length_));
    s.node.fill(0);
    std::memcpy(Item(s.node, 0), flat.data(), static_cast<std::size_t>(keep) * L);
    if (leaf) {
      SetCount(s.node, keep);
    } else {
      SetCount(s.node, keep - 1);
      std::memset(Item(s.node, keep - 1) + 4, 0, L - 4);
    }
    if (!Write(right)) return TreeResult::kFailed;
    AtSplitStage(SplitStage::kNewPageWritten, leaf);
    if (!Write(s)) return TreeResult::kFailed;
    AtSplitStage(SplitStage::kBothPagesWritten, leaf);
    std::fill(item.begin(), item.end(), 0);
    PutLe32(item.data(), s.page);
    std::memcpy(item.data() + 4, highest.data(), static_cast<std::size_t>(key_length_));
    redirect = new_page;
    if (level == 0) {
      Step root;
      root.page = tree_.file->AppendNode();
      if (root.page == 0) return TreeResult::kFailed;
      std::memcpy(Item(root.node, 0), item.data(), L);
      PutLe32(Item(root.node, 1), new_page);
      SetCount(root.node, 1);
      if (!Write(root)) return TreeResult::kFailed;
      AtSplitStage(SplitStage::kNewRootWritten, leaf);
      tree_.header->SetRootPage(root.page);
      tree_.anchor_modified = true;
    }
  }
  return TreeResult::kDone;
}

// Walks the equal keys from their lower bound until the record's item: 1 found (the path ends
// on it), 0 not in this subtree but equal keys may follow, -1 not there, -2 after a report.
int Editor::FindItem(std::uint32_t page, const std::uint8_t* key, std::uint32_t record) {
  Step s;
  s.page = page;
  if (!Read(page, s.node, path_.size())) return -2;
  path_.push_back(s);
  Step& me = path_.back();
  const int count = Count(me.node);
  if (IsLeaf(me.node)) {
    for (int j = LowerBound(me.node, key); j < count; ++j) {
      if (Compare(Key(me.node, j), key) != 0) {
        path_.pop_back();
        return -1;
      }
      if (Pointer(me.node, j) == record) {
        me.slot = j;
        return 1;
      }
    }
    path_.pop_back();
    return 0;
  }
  for (int i = LowerBound(me.node, key); i <= count; ++i) {
    path_.back().slot = i;
    const int r = FindItem(Pointer(path_.back().node, i), key, record);
    if (r != 0) {
      if (r < 0) path_.pop_back();
      return r;
    }
    if (i < count && Compare(Key(path_.back().node, i), key) != 0) {
      path_.pop_back();
      return -1;
    }
  }
  path_.pop_back();
  return 0;
}

// The subtree at `level` has a new highest key: the ancestors' items that name it learn it.
bool Editor::PropagateHighest(std::size_t level, const std::uint8_t* key) {
  KeyBuffer copy{};
  std::memcpy(copy.data(), key, static_cast<std::size_t>(key_length_));
  while (level-- > 0) {
    Step& a = path_[level];
    if (a.slot < Count(a.node)) {
      std::memcpy(Item(a.node, a.slot) + 4, copy.data(), static_cast<std::size_t>(key_length_));
      return Write(a);
    }
  }
  return true;
}

// Takes the child at the slot of path level `level` out of that branch node.
bool Editor::RemoveChild(std::size_t level) {
  Step& p = path_[level];
  const int c = Count(p.node);
  if (c == 0) {
    // A branch without keys loses its only child: it is empty now and leaves its own parent;
    // an empty root becomes an empty leaf.
    if (level > 0) return RemoveChild(level - 1);
    p.node.fill(0);
    if (!Write(p)) return false;
    if (tree_.header->HasFor() && tree_.header->ForEverMet()) {
      tree_.header->bytes[246] = 0;
      tree_.anchor_modified = true;
    }
    return true;
  }
  const auto L = static_cast<std::size_t>(item_length_);
  bool highest_changed = false;
  KeyBuffer highest{};
  if (p.slot < c) {
    std::memmove(Item(p.node, p.slot), Item(p.node, p.slot + 1),
                 static_cast<std::size_t>(c - p.slot - 1) * L + 4);
  } else {
    // The trailing child goes: the last item's pointer becomes the trailing pointer and its
    // key, the highest of what is left, goes up.
    highest_changed = true;
    std::memcpy(highest.data(), Key(p.node, c - 1), static_cast<std::size_t>(key_length_));
  }
  std::memset(Item(p.node, c - 1) + 4, 0, L - 4);
  std::memset(Item(p.node, c), 0, 4);
  SetCount(p.node, c - 1);
  if (c - 1 > 0 || level > 0) {
    if (!Write(p)) return false;
    if (highest_changed && !PropagateHighest(level, highest.data())) return false;
    // Below the root a branch left with one child would have no key (replacing it by its child
    // would put that subtree's leaves a level higher than all others): it evens out with a
    // sibling instead.
    return c - 1 > 0 || Rebalance(level);
  }
  // A root with a single child is replaced by that child: the tree loses a level.
  tree_.header->SetRootPage(Pointer(p.node, 0));
  tree_.anchor_modified = true;
  return true;
}

// The branch at path level `level` (below the root) holds one child and no key. A sibling
// beside it with room takes that child and the branch leaves its parent; a full sibling gives
// it one of its children instead. A parent without another child (a tree another program left
// so) keeps the branch as it is.
bool Editor::Rebalance(std::size_t level) {
  Step& b = path_[level];
  Step& parent = path_[level - 1];
  if (Count(parent.node) == 0) return true;
  const bool left = parent.slot > 0;  // the sibling before the branch, else the one after it
  const int at = left ? parent.slot - 1 : parent.slot + 1;
  Step s;
  s.page = Pointer(parent.node, at);
  if (!Read(s.page, s.node, level)) return false;
  if (IsLeaf(s.node)) return Damaged(s.page, "a leaf beside a branch node");
  const int n = Count(s.node);
  const auto L = static_cast<std::size_t>(item_length_);
  const auto K = static_cast<std::size_t>(key_length_);
  const std::uint32_t child = Pointer(b.node, 0);
  if (n < max_keys_) {
    if (left) {
      // The sibling's trailing child becomes an item under the key the parent gives the
      // sibling; the child becomes its trailing pointer, and the parent's entry of the branch
      // (which names the merged subtree's highest key) names the sibling.
      std::memcpy(Item(s.node, n) + 4, Key(parent.node, at), K);
      PutLe32(Item(s.node, n + 1), child);
      PutLe32(Item(parent.node, parent.slot), s.page);
      parent.slot = at;
    } else {
      std::memmove(Item(s.node, 1), Item(s.node, 0), static_cast<std::size_t>(n) * L + 4);
      // The branch is the parent's first child here, so an item names its highest key.
      PutLe32(Item(s.node, 0), child);
      std::memcpy(Item(s.node, 0) + 4, Key(parent.node, parent.slot), K);
    }
    SetCount(s.node, n + 1);
    if (!Write(s)) return false;
    return RemoveChild(level - 1);
  }
  std::uint32_t moved = 0;
  KeyBuffer moved_key{};
  if (left) {
    // The sibling's trailing child comes over; the sibling's last item's child becomes its
    // trailing one, and that item's key the sibling's highest.
    moved = Pointer(s.node, n);
    std::memcpy(moved_key.data(), Key(parent.node, at), K);
    std::memcpy(Item(parent.node, at) + 4, Key(s.node, n - 1), K);
    std::memset(Item(s.node, n - 1) + 4, 0, L - 4);
  } else {
    moved = Pointer(s.node, 0);
    KeyBuffer first{};
    std::memcpy(first.data(), Key(s.node, 0), K);
    std::memmove(Item(s.node, 0), Item(s.node, 1), static_cast<std::size_t>(n - 1) * L + 4);
    std::memset(Item(s.node, n - 1) + 4, 0, L - 4);
    std::memcpy(moved_key.data(), Key(parent.node, parent.slot), K);  // the branch's highest
    std::memcpy(Item(parent.node, parent.slot) + 4, first.data(), K);
  }
  std::memset(Item(s.node, n), 0, 4);
  SetCount(s.node, n - 1);
  // The branch: its two children in order, the higher one trailing.
  if (left) {
    PutLe32(Item(b.node, 0), moved);
    std::memcpy(Item(b.node, 0) + 4, moved_key.data(), K);
    PutLe32(Item(b.node, 1), child);
  } else {
    PutLe32(Item(b.node, 0), child);
    std::memcpy(Item(b.node, 0) + 4, moved_key.data(), K);
    PutLe32(Item(b.node, 1), moved);
  }
  SetCount(b.node, 1);
  return Write(s) && Write(b) && Write(parent);
}

TreeResult Editor::Delete(const std::uint8_t* key, std::uint32_t record) {
  path_.clear();
  const int r = FindItem(tree_.header->RootPage(), key, record);
  if (r == -2) return TreeResult::kFailed;
  if (r != 1) return TreeResult::kUnchanged;
  const std::size_t level = path_.size() - 1;
  Step& leaf = path_[level];
  const int n = Count(leaf.node);
  const auto L = static_cast<std::size_t>(item_length_);
  std::memmove(Item(leaf.node, leaf.slot), Item(leaf.node, leaf.slot + 1),
               static_cast<std::size_t>(n - leaf.slot - 1) * L + 4);
  std::memset(Item(leaf.node, n - 1) + 4, 0, L - 4);
  SetCount(leaf.node, n - 1);
  if (n - 1 > 0) {
    if (!Write(leaf)) return TreeResult::kFailed;
    if (level > 0 && leaf.slot == n - 1) {
      if (!PropagateHighest(level, Key(leaf.node, n - 2))) return TreeResult::kFailed;
    }
    return TreeResult::kDone;
  }
  if (level == 0) {
    if (!Write(leaf)) return TreeResult::kFailed;
    if (tree_.header->HasFor() && tree_.header->ForEverMet()) {
      tree_.header->bytes[246] = 0;
      tree_.anchor_modified = true;
    }
    return TreeResult::kDone;
  }
  return RemoveChild(level - 1) ? TreeResult::kDone : TreeResult::kFailed;
}

}  // namespace

TreeResult InsertKey(TagTree& tree, const std::uint8_t* key, std::uint32_t record) {
  return Editor(tree).Insert(key, record);
}

bool InsertSortedKeys(TagTree& tree, std::span<const std::uint8_t* const> keys,
                      std::span<const std::uint32_t> records) {
  Editor editor(tree);
  for (std::size_t i = 0; i < keys.size() && i < records.size(); ++i) {
    if (editor.InsertNext(keys[i], records[i]) == TreeResult::kFailed) return false;
  }
  return true;
}

TreeResult DeleteKey(TagTree& tree, const std::uint8_t* key, std::uint32_t record) {
  return Editor(tree).Delete(key, record);
}

bool CheckInsertPath(TagTree& tree, const std::uint8_t* key) {
  return Editor(tree).CheckInsert(key);
}

TreeResult CheckDeletePath(TagTree& tree, const std::uint8_t* key, std::uint32_t record) {
  return Editor(tree).CheckDelete(key, record);
}

}  // namespace vx
