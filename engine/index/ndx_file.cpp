#include "engine/index/ndx_file.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "engine/foundation/errors.h"
#include "engine/index/mdx_format.h"

namespace vx {

namespace {

constexpr std::size_t kItemsAt = 4;

std::string ZeroEnded(const std::uint8_t* p, std::size_t limit) {
  std::size_t n = 0;
  while (n < limit && p[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

}  // namespace

int NdxItemLength(int key_length) { return (key_length + 8 + 3) / 4 * 4; }

int NdxMaxKeys(int item_length) {
  // The key count and a branch's last child take 8 bytes.
  return item_length <= 0 ? 0 : static_cast<int>(kNdxBlockSize - 8) / item_length;
}

NdxHeader NewNdxHeader(std::string expression, bool numeric, int key_length, bool unique) {
  NdxHeader h;
  h.root = 1;
  h.blocks = 2;
  h.key_length = numeric ? 8 : key_length;
  h.item_length = NdxItemLength(h.key_length);
  h.max_keys = NdxMaxKeys(h.item_length);
  h.numeric = numeric;
  h.unique = unique;
  h.expression = std::move(expression);
  return h;
}

std::string DecodeNdxHeader(const std::uint8_t* b, std::uint64_t file_blocks, NdxHeader& h) {
  h = NdxHeader{};
  h.root = GetLe32(b);
  h.blocks = GetLe32(b + 4);
  h.key_length = GetLe16(b + 12);
  h.max_keys = GetLe16(b + 14);
  const int type = GetLe16(b + 16);
  h.item_length = GetLe16(b + 18);
  h.unique = b[23] != 0;
  h.expression = ZeroEnded(b + 24, kNdxBlockSize - 24);
  if (type != 0 && type != 1) return "key type " + std::to_string(type);
  h.numeric = type == 1;
  if (h.numeric ? h.key_length != 8 : (h.key_length < 1 || h.key_length > kNdxMaxKeyLength)) {
    return "key length " + std::to_string(h.key_length);
  }
  if (h.item_length != NdxItemLength(h.key_length)) {
    return "item length " + std::to_string(h.item_length);
  }
  if (h.max_keys < 1 || h.max_keys > NdxMaxKeys(h.item_length)) {
    return "keys per node " + std::to_string(h.max_keys);
  }
  if (h.blocks < 2 || h.blocks > file_blocks) {
    return "block count " + std::to_string(h.blocks) + " in a file of " +
           std::to_string(file_blocks) + " blocks";
  }
  if (h.root < 1 || h.root >= h.blocks) return "root block " + std::to_string(h.root);
  if (h.expression.empty()) return "no key expression";
  return {};
}

void EncodeNdxHeader(const NdxHeader& h, std::uint8_t* b) {
  std::memset(b, 0, kNdxBlockSize);
  PutLe32(b, h.root);
  PutLe32(b + 4, h.blocks);
  PutLe16(b + 12, static_cast<std::uint16_t>(h.key_length));
  PutLe16(b + 14, static_cast<std::uint16_t>(h.max_keys));
  PutLe16(b + 16, h.numeric ? 1 : 0);
  PutLe16(b + 18, static_cast<std::uint16_t>(h.item_length));
  b[23] = h.unique ? 1 : 0;
  std::memcpy(b + 24, h.expression.data(),
              std::min(h.expression.size(), kNdxMaxExpressionLength));
}

// ---------------------------------------------------------------------------------------------
// The open file

bool NdxFile::Fail(const std::string& what) {
  SetEngineError(222, "Index file damaged: " + path_ + ": " + what);
  return false;
}

bool NdxFile::Open(const std::string& path, bool writable) {
  path_ = path;
  const int code = os::File::Open(
      path, writable ? os::kOpenReadWriteDenyNone : os::kOpenReadOnlyDenyNone, file_);
  if (code != 0) {
    SetEngineError(static_cast<std::uint16_t>(code), "Unable to open index: " + path);
    return false;
  }
  return Reload();
}

bool NdxFile::Reload() {
  std::uint64_t size = 0;
  int code = file_.Size(size);
  std::array<std::uint8_t, kNdxBlockSize> block{};
  std::size_t got = 0;
  if (code == 0) code = file_.ReadAt(0, std::as_writable_bytes(std::span(block)), got);
  if (code != 0) {
    SetEngineError(static_cast<std::uint16_t>(code), "Error reading index file: " + path_);
    return false;
  }
  if (got != kNdxBlockSize) return Fail("no header (the file holds " + std::to_string(size) + " bytes)");
  // A last block cut short counts: its node is read zero-filled past the end.
  file_blocks_ = (size + kNdxBlockSize - 1) / kNdxBlockSize;
  const std::string fault = DecodeNdxHeader(block.data(), file_blocks_, header_);
  if (!fault.empty()) return Fail("not a dBASE III index header (" + fault + ")");
  return true;
}

bool NdxFile::Create(os::File file, const std::string& path, NdxHeader header) {
  file_ = std::move(file);
  path_ = path;
  header_ = std::move(header);
  header_.root = 1;
  header_.blocks = 2;
  file_blocks_ = 2;
  return WriteNode(1, NdxNode{}) && WriteHeader();
}

int NdxFile::Compare(const std::uint8_t* a, const std::uint8_t* b, int length) const {
  return header_.numeric ? CompareDoubleKeys(a, b, 8) : CompareCharKeys(a, b, length);
}

std::string NdxFile::Key(const std::uint8_t* key) const {
  return std::string(reinterpret_cast<const char*>(key), static_cast<std::size_t>(header_.key_length));
}

bool NdxFile::ReadNode(std::uint32_t block, NdxNode& out) {
  if (block < 1 || block >= header_.blocks) {
    return Fail("block " + std::to_string(block) + " outside the file's " +
                std::to_string(header_.blocks) + " blocks");
  }
  std::array<std::uint8_t, kNdxBlockSize> b{};
  std::size_t got = 0;
  const int code = file_.ReadAt(std::uint64_t{block} * kNdxBlockSize,
                                std::as_writable_bytes(std::span(b)), got);
  if (code != 0) {
    SetEngineError(static_cast<std::uint16_t>(code), "Error reading index file: " + path_);
    return false;
  }
  if (got == 0) return Fail("block " + std::to_string(block) + " past the end of the file");
  const std::uint32_t count = GetLe32(b.data());
  if (count > static_cast<std::uint32_t>(header_.max_keys)) {
    return Fail("block " + std::to_string(block) + " counts " + std::to_string(count) +
                " keys, a node holds " + std::to_string(header_.max_keys));
  }
  const auto item = static_cast<std::size_t>(header_.item_length);
  out.items.resize(count);
  out.leaf = GetLe32(b.data() + kItemsAt) == 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* p = b.data() + kItemsAt + i * item;
    NdxItem& it = out.items[i];
    it.child = GetLe32(p);
    it.record = GetLe32(p + 4);
    it.key.assign(reinterpret_cast<const char*>(p + 8), static_cast<std::size_t>(header_.key_length));
    if (out.leaf ? it.child != 0 : it.child == 0) {
      return Fail("block " + std::to_string(block) + " mixes leaf and branch items");
    }
  }
  out.last_child = out.leaf ? 0 : GetLe32(b.data() + kItemsAt + count * item);
  if (!out.leaf && out.last_child == 0) {
    return Fail("block " + std::to_string(block) + " is a branch without its last child");
  }
  return true;
}

bool NdxFile::WriteNode(std::uint32_t block, const NdxNode& node) {
  std::array<std::uint8_t, kNdxBlockSize> b{};
  PutLe32(b.data(), static_cast<std::uint32_t>(node.items.size()));
  const auto item = static_cast<std::size_t>(header_.item_length);
  for (std::size_t i = 0; i < node.items.size(); ++i) {
    std::uint8_t* p = b.data() + kItemsAt + i * item;
    PutLe32(p, node.leaf ? 0 : node.items[i].child);
    PutLe32(p + 4, node.leaf ? node.items[i].record : 0);
    std::memcpy(p + 8, node.items[i].key.data(),
                std::min(node.items[i].key.size(), static_cast<std::size_t>(header_.key_length)));
  }
  if (!node.leaf) PutLe32(b.data() + kItemsAt + node.items.size() * item, node.last_child);
  const int code = file_.WriteAt(std::uint64_t{block} * kNdxBlockSize, std::as_bytes(std::span(b)));
  if (code != 0) {
    SetEngineError(static_cast<std::uint16_t>(code), "Error writing index file: " + path_);
    return false;
  }
  file_blocks_ = std::max<std::uint64_t>(file_blocks_, std::uint64_t{block} + 1);
  return true;
}

bool NdxFile::WriteHeader() {
  std::array<std::uint8_t, kNdxBlockSize> b{};
  EncodeNdxHeader(header_, b.data());
  const int code = file_.WriteAt(0, std::as_bytes(std::span(b)));
  if (code != 0) {
    SetEngineError(static_cast<std::uint16_t>(code), "Error writing index file: " + path_);
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Ways down

bool NdxFile::ItemBelow(const NdxItem& item, const std::uint8_t* key, int length,
                        std::uint32_t record, bool by_record) const {
  const int c = Compare(reinterpret_cast<const std::uint8_t*>(item.key.data()), key, length);
  return c < 0 || (c == 0 && by_record && item.record < record);
}

bool NdxFile::PushLevel(std::uint32_t block) {
  // A block met again on the way down is a cycle; a path longer than any real tree is damage.
  for (const Level& l : path_levels_) {
    if (l.block == block) return Fail("block " + std::to_string(block) + " is its own descendant");
  }
  if (static_cast<int>(path_levels_.size()) >= kNdxMaxDepth) return Fail("a tree too deep");
  Level& level = path_levels_.emplace_back();
  level.block = block;
  return ReadNode(block, level.node);
}

bool NdxFile::DownLeftmost(std::uint32_t block) {
  for (;;) {
    if (!PushLevel(block)) return false;
    Level& level = path_levels_.back();
    level.index = 0;
    if (level.node.leaf) break;
    block = level.node.Child(0);
  }
  if (leaf_depth_ == 0) leaf_depth_ = static_cast<int>(path_levels_.size());
  if (static_cast<int>(path_levels_.size()) != leaf_depth_) {
    return Fail("leaves at two depths (block " + std::to_string(path_levels_.back().block) + ")");
  }
  return true;
}

bool NdxFile::Descend(const std::uint8_t* key, int length, std::uint32_t record, bool by_record) {
  path_levels_.clear();
  leaf_depth_ = 0;
  std::uint32_t block = header_.root;
  for (;;) {
    if (!PushLevel(block)) return false;
    Level& level = path_levels_.back();
    const auto& items = level.node.items;
    if (level.node.leaf) {
      std::size_t i = 0;
      while (i < items.size() && ItemBelow(items[i], key, length, record, by_record)) ++i;
      level.index = i;
      break;
    }
    // The first child whose highest key is not below the key (equal keys may go on in the
    // next children: the leaf walk below follows them).
    std::size_t i = 0;
    while (i < items.size() &&
           Compare(reinterpret_cast<const std::uint8_t*>(items[i].key.data()), key, length) < 0) {
      ++i;
    }
    level.index = i;
    block = level.node.Child(i);
  }
  leaf_depth_ = static_cast<int>(path_levels_.size());
  // Past the leaf's last item: the item sought may open the next leaf.
  for (std::uint32_t steps = 0; path_levels_.back().index == path_levels_.back().node.items.size();
       ++steps) {
    if (steps > header_.blocks) return Fail("a walk longer than the file");
    const std::vector<Level> here = path_levels_;
    bool moved = false;
    if (!NextLeaf(moved)) return false;
    if (!moved) {
      path_levels_ = here;
      return true;
    }
    Level& leaf = path_levels_.back();
    std::size_t i = 0;
    while (i < leaf.node.items.size() &&
           ItemBelow(leaf.node.items[i], key, length, record, by_record)) {
      ++i;
    }
    leaf.index = i;
  }
  return true;
}

bool NdxFile::NextLeaf(bool& moved) {
  moved = false;
  for (std::size_t level = path_levels_.size() - 1; level-- > 0;) {
    Level& l = path_levels_[level];
    if (l.index < l.node.items.size()) {
      ++l.index;
      const std::uint32_t child = l.node.Child(l.index);
      path_levels_.resize(level + 1);
      if (!DownLeftmost(child)) return false;
      moved = true;
      return true;
    }
  }
  return true;
}

bool NdxFile::Holds(const std::uint8_t* key, std::uint32_t record, bool& found) {
  found = false;
  if (!Descend(key, header_.key_length, record, true)) return false;
  const Level& leaf = path_levels_.back();
  if (leaf.index < leaf.node.items.size()) {
    const NdxItem& it = leaf.node.items[leaf.index];
    found = it.record == record &&
            Compare(reinterpret_cast<const std::uint8_t*>(it.key.data()), key, header_.key_length) == 0;
  }
  return true;
}

bool NdxFile::Seek(const std::uint8_t* key, int length, bool& found, std::string& found_key,
                   std::uint32_t& record) {
  found = false;
  if (!Descend(key, std::min(length, header_.key_length), 0, false)) return false;
  const Level& leaf = path_levels_.back();
  if (leaf.index >= leaf.node.items.size()) return true;
  found = true;
  found_key = leaf.node.items[leaf.index].key;
  record = leaf.node.items[leaf.index].record;
  return true;
}

bool NdxFile::Walk(const std::function<bool(const std::uint8_t*, std::uint32_t)>& each) {
  path_levels_.clear();
  leaf_depth_ = 0;
  if (!DownLeftmost(header_.root)) return false;
  std::string last;
  for (std::uint32_t leaves = 0;; ++leaves) {
    if (leaves > header_.blocks) return Fail("a walk longer than the file");
    const Level& leaf = path_levels_.back();
    for (const NdxItem& it : leaf.node.items) {
      const auto* k = reinterpret_cast<const std::uint8_t*>(it.key.data());
      if (!last.empty() &&
          Compare(reinterpret_cast<const std::uint8_t*>(last.data()), k, header_.key_length) > 0) {
        return Fail("keys out of order in block " + std::to_string(leaf.block));
      }
      last = it.key;
      if (!each(k, it.record)) return false;
    }
    bool moved = false;
    if (!NextLeaf(moved)) return false;
    if (!moved) return true;
  }
}

// ---------------------------------------------------------------------------------------------
// Changes

NdxFile::Change NdxFile::Insert(const std::uint8_t* key, std::uint32_t record) {
  const int length = header_.key_length;
  if (header_.unique) {
    bool found = false;
    std::string there;
    std::uint32_t other = 0;
    if (!Seek(key, length, found, there, other)) return Change::kFailed;
    if (found && Compare(reinterpret_cast<const std::uint8_t*>(there.data()), key, length) == 0) {
      return Change::kUnchanged;
    }
  }
  if (!Descend(key, length, record, true)) return Change::kFailed;
  const std::uint32_t blocks_before = header_.blocks;
  const std::uint32_t root_before = header_.root;
  {
    Level& leaf = path_levels_.back();
    leaf.node.items.insert(leaf.node.items.begin() + static_cast<std::ptrdiff_t>(leaf.index),
                           NdxItem{0, record, Key(key)});
  }
  // Walking up: a node over capacity splits in two (the left half stays in its block, the right
  // half takes a new one, the parent gets the left half's slot); a new highest key of a subtree
  // goes into the key of the slot that leads to it.
  bool max_changed = path_levels_.back().index + 1 == path_levels_.back().node.items.size();
  std::string new_max = Key(key);
  bool split_below = false;
  std::uint32_t left_block = 0;
  std::uint32_t right_block = 0;
  std::string left_max;
  for (std::size_t lvl = path_levels_.size(); lvl-- > 0;) {
    Level& l = path_levels_[lvl];
    NdxNode& node = l.node;
    const bool is_bottom = lvl + 1 == path_levels_.size();
    bool touched = is_bottom;
    if (split_below) {
      node.items.insert(node.items.begin() + static_cast<std::ptrdiff_t>(l.index),
                        NdxItem{left_block, 0, left_max});
      if (l.index + 1 < node.items.size()) {
        node.items[l.index + 1].child = right_block;
      } else {
        node.last_child = right_block;
      }
      touched = true;
    }
    if (max_changed && !is_bottom) {
      const std::size_t slot = split_below ? l.index + 1 : l.index;
      if (slot < node.items.size()) {
        node.items[slot].key = new_max;
        max_changed = false;
        touched = true;
      }
    }
    split_below = false;
    if (node.items.size() > static_cast<std::size_t>(header_.max_keys)) {
      const std::size_t n = node.items.size();
      const std::size_t m = (n + 1) / 2;
      NdxNode left;
      NdxNode right;
      left.leaf = right.leaf = node.leaf;
      right.items.assign(node.items.begin() + static_cast<std::ptrdiff_t>(m), node.items.end());
      right.last_child = node.last_child;
      left_max = node.items[m - 1].key;
      if (node.leaf) {
        left.items.assign(node.items.begin(), node.items.begin() + static_cast<std::ptrdiff_t>(m));
      } else {
        left.items.assign(node.items.begin(),
                          node.items.begin() + static_cast<std::ptrdiff_t>(m - 1));
        left.last_child = node.items[m - 1].child;
      }
      right_block = NewBlock();
      left_block = l.block;
      if (!WriteNode(right_block, right)) return Change::kFailed;
      if (lvl == 0) {
        NdxNode root;
        root.leaf = false;
        root.items.push_back(NdxItem{left_block, 0, left_max});
        root.last_child = right_block;
        const std::uint32_t root_block = NewBlock();
        if (!WriteNode(root_block, root)) return Change::kFailed;
        if (!WriteNode(left_block, left)) return Change::kFailed;
        header_.root = root_block;
        break;
      }
      if (!WriteNode(left_block, left)) return Change::kFailed;
      split_below = true;
      continue;
    }
    if (touched && !WriteNode(l.block, node)) return Change::kFailed;
    if (!max_changed) break;
  }
  if ((header_.blocks != blocks_before || header_.root != root_before) && !WriteHeader()) {
    return Change::kFailed;
  }
  return Change::kDone;
}

NdxFile::Change NdxFile::Delete(const std::uint8_t* key, std::uint32_t record) {
  bool found = false;
  if (!Holds(key, record, found)) return Change::kFailed;
  if (!found) return Change::kUnchanged;
  const std::uint32_t root_before = header_.root;
  Level& leaf = path_levels_.back();
  const bool was_last = leaf.index + 1 == leaf.node.items.size();
  leaf.node.items.erase(leaf.node.items.begin() + static_cast<std::ptrdiff_t>(leaf.index));
  bool max_changed = was_last && !leaf.node.items.empty();
  std::string new_max = max_changed ? leaf.node.items.back().key : std::string();
  bool remove_child = false;
  for (std::size_t lvl = path_levels_.size(); lvl-- > 0;) {
    Level& l = path_levels_[lvl];
    NdxNode& node = l.node;
    const bool is_bottom = lvl + 1 == path_levels_.size();
    bool changed = is_bottom;
    if (remove_child) {
      changed = true;
      remove_child = false;
      if (l.index < node.items.size()) {
        node.items.erase(node.items.begin() + static_cast<std::ptrdiff_t>(l.index));
      } else if (!node.items.empty()) {
        // The last child goes: the one before it takes its place, and this subtree's highest
        // key is now that child's.
        node.last_child = node.items.back().child;
        new_max = node.items.back().key;
        node.items.pop_back();
        max_changed = true;
      } else {
        node.last_child = 0;
      }
    } else if (max_changed && !is_bottom) {
      if (l.index < node.items.size()) {
        node.items[l.index].key = new_max;
        max_changed = false;
        changed = true;
      }
    }
    const bool empty = node.leaf ? node.items.empty() : node.last_child == 0;
    if (empty && lvl > 0) {
      // Unlinked from its parent; the block stays unused in the file.
      remove_child = true;
      max_changed = false;
      continue;
    }
    if (lvl == 0 && empty) {
      node = NdxNode{};
    } else if (lvl == 0 && !node.leaf && node.items.empty()) {
      // A root with one child: the child is the root, the tree one level lower.
      header_.root = node.last_child;
      break;
    }
    if (changed && !WriteNode(l.block, node)) return Change::kFailed;
    if (!max_changed) break;
  }
  // The new root may itself be a branch with one child (its siblings all emptied).
  for (int depth = 0; depth < kNdxMaxDepth; ++depth) {
    NdxNode root;
    if (!ReadNode(header_.root, root)) return Change::kFailed;
    if (root.leaf || !root.items.empty()) break;
    header_.root = root.last_child;
  }
  if (header_.root != root_before && !WriteHeader()) return Change::kFailed;
  return Change::kDone;
}

// ---------------------------------------------------------------------------------------------
// The check

std::vector<std::string> NdxFile::CheckTree(
    const std::function<void(const std::uint8_t*, std::uint32_t)>& each) {
  std::vector<std::string> problems;
  std::vector<bool> seen(header_.blocks, false);
  int leaf_depth = 0;
  std::string last;
  bool have_last = false;
  const int length = header_.key_length;
  auto key_of = [](const std::string& s) { return reinterpret_cast<const std::uint8_t*>(s.data()); };
  // Answers false at a structural fault (then in `problems`); `max` gets the subtree's highest key.
  std::function<bool(std::uint32_t, int, std::string&)> visit =
      [&](std::uint32_t block, int depth, std::string& max) -> bool {
    const std::string where = "block " + std::to_string(block);
    if (depth > kNdxMaxDepth) {
      problems.push_back("a tree deeper than " + std::to_string(kNdxMaxDepth) + " levels");
      return false;
    }
    if (block < 1 || block >= header_.blocks) {
      problems.push_back(where + " outside the file's " + std::to_string(header_.blocks) + " blocks");
      return false;
    }
    if (seen[block]) {
      problems.push_back(where + " is reached twice");
      return false;
    }
    seen[block] = true;
    NdxNode node;
    {
      QuietErrors quiet;
      if (!ReadNode(block, node)) {
        problems.push_back(LastErrorMessage);
        EngineErrorCode = 0;
        return false;
      }
    }
    if (node.leaf) {
      if (leaf_depth == 0) leaf_depth = depth;
      if (depth != leaf_depth) {
        problems.push_back("leaves at depths " + std::to_string(leaf_depth) + " and " +
                           std::to_string(depth) + " (" + where + ")");
        return false;
      }
      if (node.items.empty() && block != header_.root) {
        problems.push_back(where + " is an empty leaf");
        return false;
      }
      for (const NdxItem& it : node.items) {
        if (have_last) {
          const int c = Compare(key_of(last), key_of(it.key), length);
          if (c > 0) {
            problems.push_back("keys out of order in " + where);
            return false;
          }
          if (c == 0 && header_.unique) {
            problems.push_back("a key twice in a unique index (" + where + ", record " +
                               std::to_string(it.record) + ")");
          }
        }
        last = it.key;
        have_last = true;
        if (each) each(key_of(it.key), it.record);
      }
      if (!node.items.empty()) max = node.items.back().key;
      return true;
    }
    for (std::size_t i = 0; i <= node.items.size(); ++i) {
      std::string below;
      if (!visit(node.Child(i), depth + 1, below)) return false;
      if (i < node.items.size() && Compare(key_of(below), key_of(node.items[i].key), length) != 0) {
        problems.push_back(where + ": key " + std::to_string(i + 1) +
                           " is not the highest key below it");
      }
      max = below;
    }
    return true;
  };
  std::string max;
  visit(header_.root, 1, max);
  return problems;
}

// ---------------------------------------------------------------------------------------------
// The bulk writer

bool NdxWriter::FlushLeaf() {
  if (leaf_.items.empty()) return true;
  const std::uint32_t block = next_block_++;
  if (!file_.WriteNode(block, leaf_)) return false;
  children_.push_back(Child{block, leaf_.items.back().key});
  leaf_.items.clear();
  return true;
}

bool NdxWriter::Add(const std::uint8_t* key, std::uint32_t record) {
  const int per_leaf = std::clamp(file_.header().max_keys * fill_ / 100, 1, file_.header().max_keys);
  leaf_.items.push_back(NdxItem{
      0, record,
      std::string(reinterpret_cast<const char*>(key), static_cast<std::size_t>(file_.header().key_length))});
  if (static_cast<int>(leaf_.items.size()) >= per_leaf) return FlushLeaf();
  return true;
}

bool NdxWriter::Finish() {
  if (!FlushLeaf()) return false;
  NdxHeader header = file_.header();
  if (children_.empty()) {
    // No item: the root is an empty leaf.
    if (!file_.WriteNode(next_block_, NdxNode{})) return false;
    header.root = next_block_++;
  }
  const std::size_t fan = static_cast<std::size_t>(header.max_keys) + 1;
  while (children_.size() > 1) {
    // Group sizes: full nodes, the last two sharing so that neither has only one child.
    std::vector<std::size_t> sizes(children_.size() / fan, fan);
    if (children_.size() % fan != 0) sizes.push_back(children_.size() % fan);
    if (sizes.size() > 1 && sizes.back() < 2) {
      const std::size_t both = sizes[sizes.size() - 2] + sizes.back();
      sizes[sizes.size() - 2] = both - both / 2;
      sizes.back() = both / 2;
    }
    std::vector<Child> parents;
    std::size_t at = 0;
    for (const std::size_t size : sizes) {
      NdxNode branch;
      branch.leaf = false;
      for (std::size_t i = 0; i + 1 < size; ++i) {
        branch.items.push_back(NdxItem{children_[at + i].block, 0, children_[at + i].max_key});
      }
      branch.last_child = children_[at + size - 1].block;
      const std::uint32_t block = next_block_++;
      if (!file_.WriteNode(block, branch)) return false;
      parents.push_back(Child{block, children_[at + size - 1].max_key});
      at += size;
    }
    children_ = std::move(parents);
  }
  if (!children_.empty()) header.root = children_.front().block;
  header.blocks = next_block_;
  file_.SetHeader(header);
  return file_.WriteHeader();
}

}  // namespace vx
