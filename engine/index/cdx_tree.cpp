#include "engine/index/cdx_tree.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <map>
#include <span>
#include <string>

#include "engine/foundation/errors.h"
#include "engine/index/mdx_format.h"

namespace vx {

namespace {

using Page = std::array<std::uint8_t, kCdxNodeSize>;

constexpr std::size_t kLeafAreaAt = 24;
constexpr std::size_t kBranchAt = 12;

void PutBe32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

const std::uint8_t* Bytes(const std::string& s) {
  return reinterpret_cast<const std::uint8_t*>(s.data());
}

std::string Hex(std::uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", v);
  return text;
}

// The widths of a leaf's bit fields for keys of `key_length` bytes and records up to
// `max_record`: counts as wide as the key length needs, the record number taking the rest of
// whole bytes (at most 32 bits).
struct LeafWidths {
  int count_bits = 0;
  int record_bits = 0;
  int field_bytes = 0;
};

LeafWidths WidthsFor(int key_length, std::uint32_t max_record) {
  LeafWidths w;
  w.count_bits = static_cast<int>(std::bit_width(static_cast<unsigned>(key_length)));
  const int needed = std::max(1, static_cast<int>(std::bit_width(max_record)));
  w.field_bytes = (needed + 2 * w.count_bits + 7) / 8;
  w.record_bits = std::min(32, w.field_bytes * 8 - 2 * w.count_bits);
  return w;
}

// The bytes shared with the key before and the trailing fill left out of entry `key`.
void Counts(const std::string* previous, const std::string& key, std::uint8_t trail,
            std::size_t& dup, std::size_t& trailing) {
  const std::size_t length = key.size();
  trailing = 0;
  while (trailing < length && static_cast<std::uint8_t>(key[length - 1 - trailing]) == trail) {
    ++trailing;
  }
  dup = 0;
  if (previous != nullptr) {
    while (dup < length - trailing && (*previous)[dup] == key[dup]) ++dup;
  }
}

// The entry area bytes a leaf of `entries` takes.
std::size_t LeafBytes(const std::vector<CdxEntry>& entries, int key_length, std::uint8_t trail) {
  std::uint32_t max_record = 1;
  std::size_t fresh = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    max_record = std::max(max_record, entries[i].record);
    std::size_t dup = 0;
    std::size_t trailing = 0;
    Counts(i > 0 ? &entries[i - 1].key : nullptr, entries[i].key, trail, dup, trailing);
    fresh += entries[i].key.size() - dup - trailing;
  }
  const LeafWidths w = WidthsFor(key_length, max_record);
  return fresh + entries.size() * static_cast<std::size_t>(w.field_bytes);
}

std::size_t BranchCapacity(int key_length) {
  return (kCdxNodeSize - kBranchAt) / (static_cast<std::size_t>(key_length) + 8);
}

bool Fits(const CdxNode& node, int key_length, std::uint8_t trail) {
  if (node.leaf) return LeafBytes(node.entries, key_length, trail) <= kCdxLeafArea;
  return node.entries.size() <= BranchCapacity(key_length);
}

bool Encode(const CdxNode& node, int key_length, std::uint8_t trail, Page& out) {
  return node.leaf ? EncodeCdxLeaf(node.entries, key_length, trail, node.root, node.left,
                                   node.right, out)
                   : EncodeCdxBranch(node.entries, key_length, node.root, node.left, node.right,
                                     out);
}

int ComparePair(const CdxTag& tag, const CdxEntry& e, const std::uint8_t* key,
                std::uint32_t record) {
  const int c = CdxFile::Compare(tag, Bytes(e.key), key, tag.header.key_length);
  if (c != 0) return c;
  return e.record < record ? -1 : (e.record > record ? 1 : 0);
}

// The pages of one change of one tag: every node it reads or changes, written together by
// Commit, which puts back what it wrote when a write fails.
class Change {
 public:
  Change(CdxFile& file, std::size_t tag)
      : file_(file), tag_(file.tags()[tag]), old_size_(file.size()), end_(file.size()) {}

  struct Node {
    CdxNode node;
    Page raw{};
    bool fresh = false;   // a new page
    bool changed = false;  // entries or attributes changed: encoded anew
    bool relinked = false;  // only the sibling links changed: patched in the raw bytes
    bool dropped = false;   // no longer in the tree
  };

  const CdxTag& tag() const { return tag_; }
  int key_length() const { return tag_.header.key_length; }

  // The node at `offset`, read once per change; null after a report.
  Node* Load(std::uint32_t offset) {
    auto it = nodes_.find(offset);
    if (it != nodes_.end()) return &it->second;
    Node n;
    if (!file_.ReadNode(tag_, offset, n.node, n.raw)) return nullptr;
    return &nodes_.emplace(offset, std::move(n)).first->second;
  }
  std::uint32_t Allocate(bool leaf) {
    const auto offset = static_cast<std::uint32_t>(end_);
    end_ += kCdxNodeSize;
    Node& n = nodes_[offset];
    n.fresh = true;
    n.changed = true;
    n.node.leaf = leaf;
    return offset;
  }
  Node& At(std::uint32_t offset) { return nodes_.at(offset); }
  void SetRoot(std::uint32_t root) { root_ = root; }
  std::uint32_t Root() const { return root_ != 0 ? root_ : tag_.header.root; }
  bool Fail(const std::string& what) {
    SetEngineError(222, "Index file damaged: " + file_.path() + ": tag " + tag_.name + ": " + what);
    return false;
  }

  bool Commit() {
    struct Written {
      std::uint64_t offset;
      std::vector<std::uint8_t> before;
    };
    std::vector<Written> written;
    std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>> writes;
    for (auto& [offset, n] : nodes_) {
      if (n.dropped || (!n.changed && !n.relinked)) continue;
      Page bytes = n.raw;
      if (n.changed) {
        if (!Encode(n.node, key_length(), tag_.trail, bytes)) {
          return Fail("node " + Hex(offset) + " does not hold its entries");
        }
      } else {
        PutLe32(bytes.data() + 4, n.node.left);
        PutLe32(bytes.data() + 8, n.node.right);
      }
      if (!n.fresh && bytes == n.raw) continue;
      writes.emplace_back(offset, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
    }
    // The tag header last: its change counter, and the root when it moved.
    std::array<std::uint8_t, 12> head{};
    std::size_t got = 0;
    int code = file_.file().ReadAt(tag_.header.offset, std::as_writable_bytes(std::span(head)), got);
    if (code == 0 && got != head.size()) return Fail("its header is cut short");
    if (code == 0) {
      std::vector<std::uint8_t> h(head.begin(), head.end());
      PutLe32(h.data(), Root());
      PutLe32(h.data() + 8, GetLe32(head.data() + 8) + 1);
      writes.emplace_back(tag_.header.offset, std::move(h));
    }
    for (const auto& [offset, bytes] : writes) {
      if (code != 0) break;
      Written w{offset, {}};
      if (offset < old_size_) {
        w.before.resize(bytes.size());
        code = file_.file().ReadAt(offset, std::as_writable_bytes(std::span(w.before)), got);
        if (code != 0) break;
      }
      code = file_.file().WriteAt(offset, std::as_bytes(std::span(bytes)));
      // A write that failed may have changed some of its bytes: it is put back too.
      written.push_back(std::move(w));
    }
    if (code == 0) {
      file_.Grown(end_);
      file_.tags()[TagIndex()].header.root = Root();
      return true;
    }
    std::string message = "Error writing index file: " + file_.path();
    bool mended = true;
    for (auto it = written.rbegin(); it != written.rend(); ++it) {
      if (!it->before.empty() &&
          file_.file().WriteAt(it->offset, std::as_bytes(std::span(it->before))) != 0) {
        mended = false;
      }
    }
    std::uint64_t size = 0;
    if (file_.file().Size(size) == 0 && size > old_size_ && file_.file().Truncate(old_size_) != 0) {
      mended = false;
    }
    if (!mended) message += " (the tag " + tag_.name + " may be damaged: rebuild it)";
    SetEngineError(static_cast<std::uint16_t>(code), message);
    return false;
  }

 private:
  std::size_t TagIndex() const {
    return static_cast<std::size_t>(&tag_ - file_.tags().data());
  }

  CdxFile& file_;
  const CdxTag& tag_;
  std::uint64_t old_size_;
  std::uint64_t end_;
  std::uint32_t root_ = 0;
  std::map<std::uint32_t, Node> nodes_;
};

struct Step {
  std::uint32_t offset = 0;
  std::size_t index = 0;
};

// The way down to where (key, record) is or would go; the leaf's index is the first entry not
// before it. False after a report.
bool Descend(Change& c, const std::uint8_t* key, std::uint32_t record, std::vector<Step>& path) {
  path.clear();
  std::uint32_t offset = c.Root();
  for (;;) {
    for (const Step& s : path) {
      if (s.offset == offset) return c.Fail("node " + Hex(offset) + " is its own descendant");
    }
    if (static_cast<int>(path.size()) >= kCdxMaxDepth) return c.Fail("a tree too deep");
    Change::Node* n = c.Load(offset);
    if (n == nullptr) return false;
    const auto& entries = n->node.entries;
    std::size_t i = 0;
    while (i < entries.size() && ComparePair(c.tag(), entries[i], key, record) < 0) ++i;
    if (n->node.leaf) {
      path.push_back({offset, i});
      return true;
    }
    if (entries.empty()) return c.Fail("node " + Hex(offset) + " is a branch without entries");
    i = std::min(i, entries.size() - 1);
    path.push_back({offset, i});
    offset = entries[i].child;
  }
}

// Takes the node at `offset` out of its level's sibling chain. False after a report.
bool Unlink(Change& c, std::uint32_t offset) {
  Change::Node& n = c.At(offset);
  const std::uint32_t left = n.node.left;
  const std::uint32_t right = n.node.right;
  if (left != kCdxNone) {
    Change::Node* l = c.Load(left);
    if (l == nullptr) return false;
    l->node.right = right;
    l->relinked = true;
  }
  if (right != kCdxNone) {
    Change::Node* r = c.Load(right);
    if (r == nullptr) return false;
    r->node.left = left;
    r->relinked = true;
  }
  c.At(offset).dropped = true;
  return true;
}

CdxEntry EntryFor(const CdxNode& node, std::uint32_t offset) {
  CdxEntry e = node.entries.back();
  e.child = offset;
  return e;
}

// Splits a node whose entries do not fit: in two where a point gives halves that both fit
// (tried from the middle outwards), else in as many as it takes, filled from the left. The new
// pages follow it in the sibling chain; `pieces` gets their offsets (empty after a report).
void Split(Change& c, std::uint32_t offset, std::vector<std::uint32_t>& pieces) {
  pieces.clear();
  const CdxNode whole = c.At(offset).node;
  const std::size_t count = whole.entries.size();
  const int length = c.key_length();
  const std::uint8_t trail = c.tag().trail;
  const auto part = [&](std::size_t from, std::size_t to) {
    CdxNode n = whole;
    n.entries.assign(whole.entries.begin() + static_cast<long>(from),
                     whole.entries.begin() + static_cast<long>(to));
    return n;
  };
  std::vector<std::size_t> cuts;  // where each piece after the first begins
  for (std::size_t d = 0; d < count && cuts.empty(); ++d) {
    for (const std::size_t k : {count / 2 + d, count / 2 - std::min(d, count / 2)}) {
      if (k == 0 || k >= count) continue;
      if (Fits(part(0, k), length, trail) && Fits(part(k, count), length, trail)) {
        cuts.push_back(k);
        break;
      }
    }
  }
  if (cuts.empty()) {
    std::size_t from = 0;
    while (from < count) {
      std::size_t to = from + 1;
      while (to < count && Fits(part(from, to + 1), length, trail)) ++to;
      if (!Fits(part(from, to), length, trail)) {
        c.Fail("node " + Hex(offset) + " holds an entry no node holds");
        return;
      }
      if (from > 0) cuts.push_back(from);
      from = to;
    }
  }
  std::uint32_t previous = offset;
  const std::uint32_t after = whole.right;
  for (std::size_t i = 0; i < cuts.size(); ++i) {
    const std::uint32_t page = c.Allocate(whole.leaf);
    Change::Node& n = c.At(page);
    n.node = part(cuts[i], i + 1 < cuts.size() ? cuts[i + 1] : count);
    n.node.root = false;
    n.node.left = previous;
    n.node.right = after;
    c.At(previous).node.right = page;
    pieces.push_back(page);
    previous = page;
  }
  Change::Node& first = c.At(offset);
  first.node.entries.resize(cuts.front());
  first.node.root = false;
  first.changed = true;
  if (after != kCdxNone) {
    Change::Node* next = c.Load(after);
    if (next == nullptr) {
      pieces.clear();
      return;
    }
    next->node.left = previous;
    next->relinked = true;
  }
}

// After the entries of the node at the end of `path` changed: splits what overflows, drops
// what is empty, merges a small node into its left sibling (`shrunk`), and carries the
// changes up to the root. False after a report.
bool Settle(Change& c, const std::vector<Step>& path, bool shrunk) {
  const int length = c.key_length();
  const std::uint8_t trail = c.tag().trail;
  std::vector<CdxEntry> carried;  // entries for the parent in place of the changed child's
  bool merged_left = false;       // the child went into its left sibling: two parent entries
  for (std::size_t level = path.size(); level-- > 0;) {
    const std::uint32_t offset = path[level].offset;
    Change::Node& n = c.At(offset);
    if (level + 1 < path.size()) {
      auto& entries = n.node.entries;
      const std::size_t at = path[level].index;
      const std::size_t first = merged_left ? at - 1 : at;
      if (!merged_left && carried.size() == 1 && entries[at].key == carried[0].key &&
          entries[at].record == carried[0].record && entries[at].child == carried[0].child) {
        break;  // the parent's entry stands: nothing above changes
      }
      entries.erase(entries.begin() + static_cast<long>(first),
                    entries.begin() + static_cast<long>(at + 1));
      entries.insert(entries.begin() + static_cast<long>(first), carried.begin(), carried.end());
      n.changed = true;
    }
    merged_left = false;
    carried.clear();
    if (n.node.entries.empty()) {
      if (level == 0) {
        n.node.leaf = true;  // an empty tree: the root an empty leaf
        n.changed = true;
        break;
      }
      if (!Unlink(c, offset)) return false;
      continue;
    }
    if (level > 0 && shrunk && path[level - 1].index > 0) {
      const CdxNode& parent = c.At(path[level - 1].offset).node;
      const std::uint32_t left = parent.entries[path[level - 1].index - 1].child;
      Change::Node* l = c.Load(left);
      if (l == nullptr) return false;
      Change::Node& self = c.At(offset);
      if (l->node.leaf == self.node.leaf && self.node.left == left && l->node.right == offset) {
        CdxNode joined = l->node;
        joined.entries.insert(joined.entries.end(), self.node.entries.begin(),
                              self.node.entries.end());
        if (Fits(joined, length, trail)) {
          l->node.entries = std::move(joined.entries);
          l->changed = true;
          if (!Unlink(c, offset)) return false;
          carried.push_back(EntryFor(c.At(left).node, left));
          merged_left = true;
          continue;
        }
      }
    }
    if (Fits(c.At(offset).node, length, trail)) {
      carried.push_back(EntryFor(c.At(offset).node, offset));
      continue;
    }
    std::vector<std::uint32_t> pieces;
    Split(c, offset, pieces);
    if (pieces.empty()) return false;
    carried.push_back(EntryFor(c.At(offset).node, offset));
    for (const std::uint32_t p : pieces) carried.push_back(EntryFor(c.At(p).node, p));
    if (level > 0) continue;
    // The root split: a new root above the pieces, split in turn while they overflow it.
    for (int guard = 0; guard < kCdxMaxDepth; ++guard) {
      const std::uint32_t root = c.Allocate(false);
      c.At(root).node.root = true;
      c.At(root).node.entries = carried;
      c.SetRoot(root);
      if (Fits(c.At(root).node, length, trail)) break;
      Split(c, root, pieces);
      if (pieces.empty()) return false;
      carried.clear();
      carried.push_back(EntryFor(c.At(root).node, root));
      for (const std::uint32_t p : pieces) carried.push_back(EntryFor(c.At(p).node, p));
    }
    break;
  }
  // A root branch with one child gives way to it.
  for (int guard = 0; guard < kCdxMaxDepth; ++guard) {
    Change::Node* root = c.Load(c.Root());
    if (root == nullptr) return false;
    if (root->node.leaf || root->node.entries.size() != 1) break;
    const std::uint32_t child = root->node.entries[0].child;
    Change::Node* below = c.Load(child);
    if (below == nullptr) return false;
    c.At(c.Root()).dropped = true;
    below->node.root = true;
    below->node.left = kCdxNone;
    below->node.right = kCdxNone;
    below->changed = true;
    c.SetRoot(child);
  }
  return true;
}

// Whether the tag's header read (else a report).
bool Readable(const Change& c) {
  if (c.tag().fault.empty()) return true;
  SetEngineError(222, c.tag().fault);
  return false;
}

// The record of the first entry with `key` (0: none). False after a report.
bool FirstHolder(Change& c, const std::uint8_t* key, std::vector<Step>& path,
                 std::uint32_t& holder) {
  holder = 0;
  if (!Descend(c, key, 0, path)) return false;
  const CdxNode& leaf = c.At(path.back().offset).node;
  const std::size_t i = path.back().index;
  if (i < leaf.entries.size() &&
      CdxFile::Compare(c.tag(), Bytes(leaf.entries[i].key), key, c.key_length()) == 0) {
    holder = leaf.entries[i].record;
  }
  return true;
}

}  // namespace

bool EncodeCdxLeaf(const std::vector<CdxEntry>& entries, int key_length, std::uint8_t trail,
                   bool root, std::uint32_t left, std::uint32_t right, Page& out) {
  out.fill(0);
  std::uint32_t max_record = 1;
  for (const CdxEntry& e : entries) max_record = std::max(max_record, e.record);
  const LeafWidths w = WidthsFor(key_length, max_record);
  const auto fields = static_cast<std::size_t>(w.field_bytes);
  PutLe16(out.data(), static_cast<std::uint16_t>(root ? 3 : 2));
  PutLe16(out.data() + 2, static_cast<std::uint16_t>(entries.size()));
  PutLe32(out.data() + 4, left);
  PutLe32(out.data() + 8, right);
  PutLe32(out.data() + 14, w.record_bits >= 32 ? 0xFFFFFFFFu : (1u << w.record_bits) - 1);
  out[18] = static_cast<std::uint8_t>((1u << w.count_bits) - 1);
  out[19] = out[18];
  out[20] = static_cast<std::uint8_t>(w.record_bits);
  out[21] = static_cast<std::uint8_t>(w.count_bits);
  out[22] = static_cast<std::uint8_t>(w.count_bits);
  out[23] = static_cast<std::uint8_t>(w.field_bytes);
  std::size_t data_at = kCdxNodeSize;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string& key = entries[i].key;
    if (key.size() != static_cast<std::size_t>(key_length)) return false;
    std::size_t dup = 0;
    std::size_t trailing = 0;
    Counts(i > 0 ? &entries[i - 1].key : nullptr, key, trail, dup, trailing);
    const std::size_t fresh = key.size() - dup - trailing;
    const std::size_t fields_end = kLeafAreaAt + (i + 1) * fields;
    if (data_at < fields_end + fresh) return false;
    data_at -= fresh;
    std::memcpy(out.data() + data_at, key.data() + dup, fresh);
    const std::uint64_t v = std::uint64_t{entries[i].record} |
                            (std::uint64_t{dup} << w.record_bits) |
                            (std::uint64_t{trailing} << (w.record_bits + w.count_bits));
    for (std::size_t k = 0; k < fields; ++k) {
      out[kLeafAreaAt + i * fields + k] = static_cast<std::uint8_t>(v >> (8 * k));
    }
  }
  if (data_at < kLeafAreaAt + entries.size() * fields) return false;
  PutLe16(out.data() + 12,
          static_cast<std::uint16_t>(data_at - kLeafAreaAt - entries.size() * fields));
  return true;
}

bool EncodeCdxBranch(const std::vector<CdxEntry>& entries, int key_length, bool root,
                     std::uint32_t left, std::uint32_t right, Page& out) {
  out.fill(0);
  if (entries.size() > BranchCapacity(key_length)) return false;
  PutLe16(out.data(), static_cast<std::uint16_t>(root ? 1 : 0));
  PutLe16(out.data() + 2, static_cast<std::uint16_t>(entries.size()));
  PutLe32(out.data() + 4, left);
  PutLe32(out.data() + 8, right);
  const auto length = static_cast<std::size_t>(key_length);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].key.size() != length) return false;
    std::uint8_t* p = out.data() + kBranchAt + i * (length + 8);
    std::memcpy(p, entries[i].key.data(), length);
    PutBe32(p + length, entries[i].record);
    PutBe32(p + length + 4, entries[i].child);
  }
  return true;
}

CdxChange CdxInsert(CdxFile& file, std::size_t tag, const std::uint8_t* key,
                    std::uint32_t record) {
  Change c(file, tag);
  if (!Readable(c)) return CdxChange::kFailed;
  std::vector<Step> path;
  const int length = c.key_length();
  if (c.tag().header.Unique() || c.tag().header.Candidate()) {
    std::uint32_t holder = 0;
    if (!FirstHolder(c, key, path, holder)) return CdxChange::kFailed;
    if (holder != 0) return CdxChange::kSkipped;
  }
  if (!Descend(c, key, record, path)) return CdxChange::kFailed;
  Change::Node& leaf = c.At(path.back().offset);
  CdxEntry e;
  e.key.assign(reinterpret_cast<const char*>(key), static_cast<std::size_t>(length));
  e.record = record;
  leaf.node.entries.insert(leaf.node.entries.begin() + static_cast<long>(path.back().index), e);
  leaf.changed = true;
  if (!Settle(c, path, false) || !c.Commit()) return CdxChange::kFailed;
  return CdxChange::kDone;
}

CdxChange CdxDelete(CdxFile& file, std::size_t tag, const std::uint8_t* key,
                    std::uint32_t record) {
  Change c(file, tag);
  if (!Readable(c)) return CdxChange::kFailed;
  std::vector<Step> path;
  if (!Descend(c, key, record, path)) return CdxChange::kFailed;
  Change::Node& leaf = c.At(path.back().offset);
  const std::size_t i = path.back().index;
  if (i >= leaf.node.entries.size() || ComparePair(c.tag(), leaf.node.entries[i], key, record) != 0) {
    return CdxChange::kSkipped;
  }
  leaf.node.entries.erase(leaf.node.entries.begin() + static_cast<long>(i));
  leaf.changed = true;
  if (!Settle(c, path, true) || !c.Commit()) return CdxChange::kFailed;
  return CdxChange::kDone;
}

bool CdxHolds(CdxFile& file, std::size_t tag, const std::uint8_t* key, std::uint32_t record,
              bool& found, std::uint32_t& other) {
  found = false;
  other = 0;
  Change c(file, tag);
  std::vector<Step> path;
  if (!Readable(c) || !FirstHolder(c, key, path, other)) return false;
  if (!Descend(c, key, record, path)) return false;
  const CdxNode& leaf = c.At(path.back().offset).node;
  const std::size_t i = path.back().index;
  found = i < leaf.entries.size() && ComparePair(c.tag(), leaf.entries[i], key, record) == 0;
  return true;
}

bool WriteCdxTree(os::File& file, std::uint64_t& size, int key_length, std::uint8_t trail,
                  int fill,
                  const std::function<bool(const std::uint8_t*& key, std::uint32_t& record)>& next,
                  std::uint32_t& root) {
  // Each level keeps its node being filled; a full one is written with the next page's offset
  // as its right sibling, and the level's last is written at the end with none.
  struct Level {
    CdxNode node;
    std::uint32_t offset = 0;
    std::uint32_t left = kCdxNone;
    std::size_t written = 0;
  };
  std::vector<Level> levels;
  const auto budget = static_cast<std::size_t>(kCdxLeafArea) * static_cast<std::size_t>(std::clamp(fill, 50, 100)) / 100;
  const std::size_t branch_room =
      std::max<std::size_t>(2, BranchCapacity(key_length) * static_cast<std::size_t>(std::clamp(fill, 50, 100)) / 100);
  const auto write = [&](Level& l, std::uint32_t right, bool is_root) -> bool {
    Page page{};
    l.node.root = is_root;
    l.node.left = is_root ? kCdxNone : l.left;
    l.node.right = is_root ? kCdxNone : right;
    if (!Encode(l.node, key_length, trail, page)) {
      SetEngineError(222, "Index entries that no node holds: " + file.path());
      return false;
    }
    const int code = file.WriteAt(l.offset, std::as_bytes(std::span(page)));
    if (code != 0) {
      SetEngineError(static_cast<std::uint16_t>(code), "Error writing index file: " + file.path());
      return false;
    }
    ++l.written;
    return true;
  };
  const auto new_page = [&]() {
    const auto offset = static_cast<std::uint32_t>(size);
    size += kCdxNodeSize;
    return offset;
  };
  // Adds an entry to level `depth`, writing the level's node when it is full.
  std::function<bool(std::size_t, CdxEntry)> add = [&](std::size_t depth, CdxEntry e) -> bool {
    if (levels.size() <= depth) {
      levels.emplace_back();
      levels.back().node.leaf = depth == 0;
      levels.back().offset = new_page();
    }
    Level& l = levels[depth];
    l.node.entries.push_back(e);
    const bool full = l.node.leaf ? LeafBytes(l.node.entries, key_length, trail) > budget
                                  : l.node.entries.size() > branch_room;
    if (!full || l.node.entries.size() == 1) return true;
    // The node is written without the entry that overflowed it, which opens the next node.
    CdxEntry last = l.node.entries.back();
    l.node.entries.pop_back();
    const std::uint32_t next_offset = new_page();
    if (!write(l, next_offset, false)) return false;
    const CdxEntry up = EntryFor(l.node, l.offset);
    levels[depth].left = levels[depth].offset;
    levels[depth].offset = next_offset;
    levels[depth].node.entries.clear();
    levels[depth].node.entries.push_back(last);
    return add(depth + 1, up);
  };
  const std::uint8_t* key = nullptr;
  std::uint32_t record = 0;
  while (next(key, record)) {
    CdxEntry e;
    e.key.assign(reinterpret_cast<const char*>(key), static_cast<std::size_t>(key_length));
    e.record = record;
    if (!add(0, std::move(e))) return false;
  }
  if (levels.empty()) {
    Level empty;
    empty.node.leaf = true;
    empty.offset = new_page();
    root = empty.offset;
    return write(empty, kCdxNone, true);
  }
  // Close the levels from the bottom: each last node goes up into the level above, if any.
  for (std::size_t depth = 0; depth < levels.size(); ++depth) {
    const bool top = depth + 1 == levels.size() && levels[depth].written == 0;
    if (!write(levels[depth], kCdxNone, top)) return false;
    if (top) {
      root = levels[depth].offset;
      return true;
    }
    if (!add(depth + 1, EntryFor(levels[depth].node, levels[depth].offset))) return false;
  }
  return false;  // not reached: the top level is always written as the root
}

}  // namespace vx
