#include "engine/index/cdx_file.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstring>
#include <set>
#include <span>

#include "engine/foundation/errors.h"
#include "engine/index/mdx_format.h"

namespace vx {

namespace {

constexpr std::size_t kLeafAreaAt = 24;
constexpr std::size_t kBranchAt = 12;
constexpr std::size_t kCollationAt = 92;
constexpr std::size_t kCollationLength = 26;

std::uint32_t GetBe32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

std::string ZeroEnded(const std::uint8_t* p, std::size_t limit) {
  std::size_t n = 0;
  while (n < limit && p[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

std::string Hex(std::uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", v);
  return text;
}

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::string TrimName(const std::string& s) {
  std::size_t b = 0;
  std::size_t e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\0')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\0')) --e;
  return s.substr(b, e - b);
}

std::uint64_t Mask(int bits) { return bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1; }

}  // namespace

std::array<std::uint8_t, 8> CdxNumberKey(double value) {
  if (value == 0) value = 0;  // -0 sorts as 0
  std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
  bits = (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
  std::array<std::uint8_t, 8> key{};
  for (int i = 0; i < 8; ++i) key[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
  return key;
}

double CdxKeyNumber(const std::uint8_t* key) {
  std::uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) bits = (bits << 8) | key[i];
  bits = (bits >> 63) != 0 ? bits & ~(std::uint64_t{1} << 63) : ~bits;
  return std::bit_cast<double>(bits);
}

std::string DecodeCdxHeader(const std::uint8_t* b, std::uint32_t offset, std::uint64_t file_size,
                            CdxHeader& h) {
  h = CdxHeader{};
  h.offset = offset;
  h.root = GetLe32(b);
  h.free_list = GetLe32(b + 4);
  h.key_length = GetLe16(b + 12);
  h.options = b[14];
  const int order = GetLe16(b + 502);
  h.collation = ZeroEnded(b + kCollationAt, kCollationLength);
  // The key expression opens the pool; the FOR condition follows its zero byte.
  const std::uint8_t* pool = b + kCdxNodeSize;
  h.key_expression = ZeroEnded(pool, kCdxNodeSize);
  const std::size_t for_at = h.key_expression.size() + 1;
  if (for_at < kCdxNodeSize) h.for_expression = ZeroEnded(pool + for_at, kCdxNodeSize - for_at);
  if (h.key_length < 1 || h.key_length > kCdxMaxKeyLength) {
    return "key length " + std::to_string(h.key_length);
  }
  if ((h.options & kCdxCompact) == 0) return "options " + Hex(h.options) + " (no compact index)";
  if (order != 0 && order != 1) return "order flag " + std::to_string(order);
  h.descending = order == 1;
  for (const char c : h.collation) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != ' ') {
      return "a collation name that is no name";
    }
  }
  h.collation = TrimName(h.collation);
  if (h.root % kCdxNodeSize != 0 || h.root < kCdxHeaderSize ||
      std::uint64_t{h.root} + kCdxNodeSize > file_size) {
    return "root " + Hex(h.root) + " in a file of " + std::to_string(file_size) + " bytes";
  }
  return {};
}

std::string DecodeCdxNode(const std::uint8_t* b, int key_length, std::uint8_t trail, CdxNode& out) {
  out = CdxNode{};
  const int attributes = GetLe16(b);
  const int count = GetLe16(b + 2);
  out.left = GetLe32(b + 4);
  out.right = GetLe32(b + 8);
  if ((attributes & ~3) != 0) return "attributes " + std::to_string(attributes);
  out.root = (attributes & 1) != 0;
  out.leaf = (attributes & 2) != 0;
  const auto length = static_cast<std::size_t>(key_length);
  if (!out.leaf) {
    const std::size_t item = length + 8;
    if (static_cast<std::size_t>(count) > (kCdxNodeSize - kBranchAt) / item) {
      return std::to_string(count) + " entries in a branch that holds " +
             std::to_string((kCdxNodeSize - kBranchAt) / item);
    }
    out.entries.resize(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < out.entries.size(); ++i) {
      const std::uint8_t* p = b + kBranchAt + i * item;
      CdxEntry& e = out.entries[i];
      e.key.assign(reinterpret_cast<const char*>(p), length);
      e.record = GetBe32(p + length);
      e.child = GetBe32(p + length + 4);
    }
    return {};
  }
  const int free_bytes = GetLe16(b + 12);
  const std::uint64_t record_mask = GetLe32(b + 14);
  const std::uint64_t dup_mask = b[18];
  const std::uint64_t trail_mask = b[19];
  const int record_bits = b[20];
  const int dup_bits = b[21];
  const int trail_bits = b[22];
  const int field_bytes = b[23];
  if (field_bytes < 1 || field_bytes > 8 || record_bits < 1 || record_bits > 32 || dup_bits > 8 ||
      trail_bits > 8 || record_bits + dup_bits + trail_bits > field_bytes * 8) {
    return "bit fields of " + std::to_string(field_bytes) + " bytes holding " +
           std::to_string(record_bits) + ", " + std::to_string(dup_bits) + " and " +
           std::to_string(trail_bits) + " bits";
  }
  if (record_mask != Mask(record_bits) || dup_mask != Mask(dup_bits) ||
      trail_mask != Mask(trail_bits)) {
    return "bit masks that disagree with their widths";
  }
  const auto fields = static_cast<std::size_t>(field_bytes);
  if (static_cast<std::size_t>(count) * fields > kCdxLeafArea) {
    return std::to_string(count) + " entries of " + std::to_string(field_bytes) +
           "-byte bit fields in a leaf";
  }
  const std::size_t fields_end = kLeafAreaAt + static_cast<std::size_t>(count) * fields;
  std::size_t data_at = kCdxNodeSize;
  out.entries.resize(static_cast<std::size_t>(count));
  std::string previous;
  for (std::size_t i = 0; i < out.entries.size(); ++i) {
    std::uint64_t v = 0;
    for (std::size_t k = fields; k-- > 0;) v = (v << 8) | b[kLeafAreaAt + i * fields + k];
    CdxEntry& e = out.entries[i];
    e.record = static_cast<std::uint32_t>(v & record_mask);
    const auto dup = static_cast<std::size_t>((v >> record_bits) & dup_mask);
    const auto trailing = static_cast<std::size_t>((v >> (record_bits + dup_bits)) & trail_mask);
    const std::string where = "entry " + std::to_string(i + 1);
    if (e.record == 0) return where + " names record 0";
    if (dup + trailing > length) {
      return where + " shares " + std::to_string(dup) + " and leaves out " +
             std::to_string(trailing) + " bytes of a " + std::to_string(length) + "-byte key";
    }
    if (i == 0 && dup != 0) return "the first entry shares bytes with none before it";
    const std::size_t fresh = length - dup - trailing;
    if (data_at < fields_end + fresh) return where + "'s key bytes run into the bit fields";
    data_at -= fresh;
    e.key.reserve(length);
    e.key.assign(previous, 0, dup);
    e.key.append(reinterpret_cast<const char*>(b + data_at), fresh);
    e.key.append(trailing, static_cast<char>(trail));
    previous = e.key;
  }
  const std::size_t left = data_at - fields_end;
  if (static_cast<std::size_t>(free_bytes) != left) {
    return "a free count of " + std::to_string(free_bytes) + " where " + std::to_string(left) +
           " bytes are free";
  }
  return {};
}

// ---------------------------------------------------------------------------------------------
// The open file

bool CdxFile::Fail(const std::string& what) {
  SetEngineError(222, "Index file damaged: " + path_ + ": " + what);
  return false;
}

int CdxFile::FindTag(std::string_view name) const {
  const std::string wanted = Upper(TrimName(std::string(name)));
  for (std::size_t i = 0; i < tags_.size(); ++i) {
    if (Upper(tags_[i].name) == wanted) return static_cast<int>(i);
  }
  return -1;
}

int CdxFile::Compare(const CdxTag& tag, const std::uint8_t* a, const std::uint8_t* b, int length) {
  const int c = std::memcmp(a, b, static_cast<std::size_t>(std::max(length, 0)));
  return tag.header.descending ? -c : c;
}

bool CdxFile::Open(const std::string& path, bool writable) {
  path_ = path;
  const int code = os::File::Open(
      path, writable ? os::kOpenReadWriteDenyNone : os::kOpenReadOnlyDenyNone, file_);
  if (code != 0) {
    SetEngineError(static_cast<std::uint16_t>(code), "Unable to open index: " + path);
    return false;
  }
  return Reload();
}

std::string CdxFile::NodePlaceFault(std::uint32_t offset) const {
  if (offset % kCdxNodeSize != 0 || offset < kCdxHeaderSize ||
      std::uint64_t{offset} + kCdxNodeSize > size_) {
    return "node offset " + Hex(offset) + " outside the file's " + std::to_string(size_) +
           " bytes";
  }
  for (const std::uint32_t h : header_offsets_) {
    if (offset >= h && offset < std::uint64_t{h} + kCdxHeaderSize) {
      return "node offset " + Hex(offset) + " lies on the tag header at " + Hex(h);
    }
  }
  return {};
}

bool CdxFile::Reload() {
  tags_.clear();
  header_offsets_.clear();
  int code = file_.Size(size_);
  std::array<std::uint8_t, kCdxHeaderSize> block{};
  std::size_t got = 0;
  if (code == 0) code = file_.ReadAt(0, std::as_writable_bytes(std::span(block)), got);
  if (code != 0) {
    SetEngineError(static_cast<std::uint16_t>(code), "Error reading index file: " + path_);
    return false;
  }
  if (got != kCdxHeaderSize) {
    return Fail("no header (the file holds " + std::to_string(size_) + " bytes)");
  }
  const std::string fault = DecodeCdxHeader(block.data(), 0, size_, header_);
  if (!fault.empty()) return Fail("not a compound index header (" + fault + ")");
  directory_ = CdxTag{};
  directory_.name = "the tag directory";
  directory_.header = header_;
  return ReadDirectory();
}

bool CdxFile::ReadDirectory() {
  struct Named {
    std::string name;
    std::uint32_t offset;
  };
  std::vector<Named> named;
  // The tag headers are not known yet: the directory's nodes are checked against the file
  // header alone, and afterwards against the tag headers it names.
  if (!Walk(directory_, [&](const std::uint8_t* key, std::uint32_t record) {
        named.push_back({TrimName(std::string(reinterpret_cast<const char*>(key),
                                              static_cast<std::size_t>(header_.key_length))),
                         record});
        return named.size() <= size_ / kCdxHeaderSize;
      })) {
    if (named.size() > size_ / kCdxHeaderSize) {
      return Fail("a tag directory naming more tags than the file has room for");
    }
    return false;
  }
  std::set<std::string> names;
  for (const Named& n : named) {
    if (n.name.empty()) return Fail("a tag without a name in the directory");
    if (!names.insert(Upper(n.name)).second) return Fail("the tag " + n.name + " named twice");
    if (n.offset % kCdxNodeSize != 0 || n.offset < kCdxHeaderSize ||
        std::uint64_t{n.offset} + kCdxHeaderSize > size_) {
      return Fail("the tag " + n.name + "'s header at " + Hex(n.offset) + " outside the file's " +
                  std::to_string(size_) + " bytes");
    }
    for (const std::uint32_t other : header_offsets_) {
      if (n.offset < std::uint64_t{other} + kCdxHeaderSize &&
          other < std::uint64_t{n.offset} + kCdxHeaderSize) {
        return Fail("the tag " + n.name + "'s header at " + Hex(n.offset) +
                    " overlaps another at " + Hex(other));
      }
    }
    header_offsets_.push_back(n.offset);
  }
  // The directory's own nodes may not lie on a tag header.
  std::vector<std::string> problems = CheckTree(directory_, nullptr);
  if (!problems.empty()) return Fail("the tag directory: " + problems.front());
  for (const Named& n : named) {
    CdxTag& tag = tags_.emplace_back();
    tag.name = n.name;
    std::array<std::uint8_t, kCdxHeaderSize> block{};
    std::size_t got = 0;
    const int code = file_.ReadAt(n.offset, std::as_writable_bytes(std::span(block)), got);
    if (code != 0) {
      SetEngineError(static_cast<std::uint16_t>(code), "Error reading index file: " + path_);
      return false;
    }
    const std::string fault = DecodeCdxHeader(block.data(), n.offset, size_, tag.header);
    if (!fault.empty()) {
      tag.fault = "Index file damaged: " + path_ + ": tag " + n.name + ": " + fault;
    } else if (const std::string place = NodePlaceFault(tag.header.root); !place.empty()) {
      tag.fault = "Index file damaged: " + path_ + ": tag " + n.name + ": root " + place;
    }
  }
  return true;
}

bool CdxFile::ReadTree(const CdxTag& tag, std::uint32_t offset, CdxNode& out, std::string& fault,
                       std::array<std::uint8_t, kCdxNodeSize>* raw) {
  fault = NodePlaceFault(offset);
  if (!fault.empty()) return false;
  std::array<std::uint8_t, kCdxNodeSize> local{};
  std::array<std::uint8_t, kCdxNodeSize>& b = raw != nullptr ? *raw : local;
  std::size_t got = 0;
  const int code = file_.ReadAt(offset, std::as_writable_bytes(std::span(b)), got);
  if (code != 0) {
    SetEngineError(static_cast<std::uint16_t>(code), "Error reading index file: " + path_);
    fault.clear();
    return false;
  }
  if (got != kCdxNodeSize) {
    fault = "node " + Hex(offset) + " past the end of the file";
    return false;
  }
  fault = DecodeCdxNode(b.data(), tag.header.key_length, tag.trail, out);
  if (!fault.empty()) {
    fault = "node " + Hex(offset) + ": " + fault;
    return false;
  }
  return true;
}

bool CdxFile::ReadNode(const CdxTag& tag, std::uint32_t offset, CdxNode& out) {
  std::string fault;
  if (ReadTree(tag, offset, out, fault)) return true;
  if (fault.empty()) return false;  // an I/O error, reported
  return Fail("tag " + tag.name + ": " + fault);
}

bool CdxFile::ReadNode(const CdxTag& tag, std::uint32_t offset, CdxNode& out,
                       std::array<std::uint8_t, kCdxNodeSize>& raw) {
  std::string fault;
  if (ReadTree(tag, offset, out, fault, &raw)) return true;
  if (fault.empty()) return false;
  return Fail("tag " + tag.name + ": " + fault);
}

bool CdxFile::PushLevel(const CdxTag& tag, std::uint32_t offset) {
  for (const Level& l : path_levels_) {
    if (l.offset == offset) {
      return Fail("tag " + tag.name + ": node " + Hex(offset) + " is its own descendant");
    }
  }
  if (static_cast<int>(path_levels_.size()) >= kCdxMaxDepth) {
    return Fail("tag " + tag.name + ": a tree too deep");
  }
  Level& level = path_levels_.emplace_back();
  level.offset = offset;
  if (!ReadNode(tag, offset, level.node)) return false;
  if (!level.node.leaf && level.node.entries.empty()) {
    return Fail("tag " + tag.name + ": node " + Hex(offset) + " is a branch without entries");
  }
  return true;
}

bool CdxFile::DownLeftmost(const CdxTag& tag, std::uint32_t offset) {
  for (;;) {
    if (!PushLevel(tag, offset)) return false;
    Level& level = path_levels_.back();
    level.index = 0;
    if (level.node.leaf) break;
    offset = level.node.entries.front().child;
  }
  if (leaf_depth_ == 0) leaf_depth_ = static_cast<int>(path_levels_.size());
  if (static_cast<int>(path_levels_.size()) != leaf_depth_) {
    return Fail("tag " + tag.name + ": leaves at two depths (node " +
                Hex(path_levels_.back().offset) + ")");
  }
  return true;
}

bool CdxFile::NextLeaf(const CdxTag& tag, bool& moved) {
  moved = false;
  for (std::size_t level = path_levels_.size() - 1; level-- > 0;) {
    Level& l = path_levels_[level];
    if (l.index + 1 < l.node.entries.size()) {
      ++l.index;
      const std::uint32_t child = l.node.entries[l.index].child;
      path_levels_.resize(level + 1);
      if (!DownLeftmost(tag, child)) return false;
      moved = true;
      return true;
    }
  }
  return true;
}

bool CdxFile::Walk(const CdxTag& tag,
                   const std::function<bool(const std::uint8_t*, std::uint32_t)>& each) {
  return WalkFrom(tag, nullptr, 0, each);
}

bool CdxFile::WalkFrom(const CdxTag& tag, const std::uint8_t* key, int length,
                       const std::function<bool(const std::uint8_t*, std::uint32_t)>& each) {
  if (!tag.fault.empty()) {
    SetEngineError(222, tag.fault);
    return false;
  }
  leaf_depth_ = 0;
  if (key != nullptr) {
    bool found = false;
    std::string there;
    std::uint32_t record = 0;
    if (!Seek(tag, key, length, found, there, record)) return false;
    if (!found) return true;
  } else {
    path_levels_.clear();
    if (!DownLeftmost(tag, tag.header.root)) return false;
  }
  std::string last;
  const std::uint64_t most_leaves = size_ / kCdxNodeSize;
  for (std::uint64_t leaves = 0;; ++leaves) {
    if (leaves > most_leaves) return Fail("tag " + tag.name + ": a walk longer than the file");
    const Level& leaf = path_levels_.back();
    for (std::size_t i = leaf.index; i < leaf.node.entries.size(); ++i) {
      const CdxEntry& e = leaf.node.entries[i];
      const auto* k = reinterpret_cast<const std::uint8_t*>(e.key.data());
      if (!last.empty() &&
          Compare(tag, reinterpret_cast<const std::uint8_t*>(last.data()), k,
                  tag.header.key_length) > 0) {
        return Fail("tag " + tag.name + ": keys out of order in node " + Hex(leaf.offset));
      }
      last = e.key;
      if (!each(k, e.record)) return false;
    }
    bool moved = false;
    if (!NextLeaf(tag, moved)) return false;
    if (!moved) return true;
  }
}

bool CdxFile::Seek(const CdxTag& tag, const std::uint8_t* key, int length, bool& found,
                   std::string& found_key, std::uint32_t& record) {
  found = false;
  if (!tag.fault.empty()) {
    SetEngineError(222, tag.fault);
    return false;
  }
  length = std::clamp(length, 0, tag.header.key_length);
  const auto below = [&](const CdxEntry& e) {
    return Compare(tag, reinterpret_cast<const std::uint8_t*>(e.key.data()), key, length) < 0;
  };
  path_levels_.clear();
  std::uint32_t offset = tag.header.root;
  for (;;) {
    if (!PushLevel(tag, offset)) return false;
    Level& level = path_levels_.back();
    const auto& entries = level.node.entries;
    std::size_t i = 0;
    while (i < entries.size() && below(entries[i])) ++i;
    if (level.node.leaf) {
      level.index = i;
      break;
    }
    // Every key of the tree is before the one sought: its last leaf ends the walk below.
    level.index = std::min(i, entries.size() - 1);
    offset = entries[level.index].child;
  }
  leaf_depth_ = static_cast<int>(path_levels_.size());
  // Past the leaf's last entry: the entry sought may open the next leaf.
  for (std::uint64_t steps = 0;; ++steps) {
    Level& leaf = path_levels_.back();
    if (leaf.index < leaf.node.entries.size()) break;
    if (steps > size_ / kCdxNodeSize) return Fail("tag " + tag.name + ": a walk longer than the file");
    bool moved = false;
    if (!NextLeaf(tag, moved)) return false;
    if (!moved) return true;
    Level& next = path_levels_.back();
    std::size_t i = 0;
    while (i < next.node.entries.size() && below(next.node.entries[i])) ++i;
    next.index = i;
  }
  const Level& leaf = path_levels_.back();
  found = true;
  found_key = leaf.node.entries[leaf.index].key;
  record = leaf.node.entries[leaf.index].record;
  return true;
}

// ---------------------------------------------------------------------------------------------
// The check

std::vector<std::string> CdxFile::CheckTree(
    const CdxTag& tag, const std::function<void(const std::uint8_t*, std::uint32_t)>& each) {
  std::vector<std::string> problems;
  if (!tag.fault.empty()) {
    problems.push_back(tag.fault);
    return problems;
  }
  std::set<std::uint32_t> seen;
  int leaf_depth = 0;
  std::string last;
  std::uint32_t last_record = 0;
  bool have_last = false;
  const int length = tag.header.key_length;
  const bool unique = tag.header.Unique() || tag.header.Candidate();
  // The node met last on each level, for the sibling links.
  std::vector<std::uint32_t> level_last(kCdxMaxDepth + 2, kCdxNone);
  std::vector<std::uint32_t> level_right(kCdxMaxDepth + 2, kCdxNone);
  auto key_of = [](const std::string& s) { return reinterpret_cast<const std::uint8_t*>(s.data()); };
  // Answers false at a structural fault (then in `problems`); `max` and `max_record` get the
  // subtree's last entry.
  std::function<bool(std::uint32_t, int, std::string&, std::uint32_t&)> visit =
      [&](std::uint32_t offset, int depth, std::string& max, std::uint32_t& max_record) -> bool {
    const std::string where = "node " + Hex(offset);
    if (depth > kCdxMaxDepth) {
      problems.push_back("a tree deeper than " + std::to_string(kCdxMaxDepth) + " levels");
      return false;
    }
    if (!seen.insert(offset).second) {
      problems.push_back(where + " is reached twice");
      return false;
    }
    CdxNode node;
    std::string fault;
    if (!ReadTree(tag, offset, node, fault)) {
      problems.push_back(fault.empty() ? LastErrorMessage : fault);
      return false;
    }
    const auto d = static_cast<std::size_t>(depth);
    if (node.root != (depth == 1)) {
      problems.push_back(where + (node.root ? " is marked as a root below the root"
                                            : " is the root without the root mark"));
    }
    if (node.left != level_last[d]) {
      problems.push_back(where + "'s left sibling is " + Hex(node.left) + ", not " +
                         Hex(level_last[d]));
    }
    if (level_last[d] != kCdxNone && level_right[d] != offset) {
      problems.push_back("node " + Hex(level_last[d]) + "'s right sibling is " +
                         Hex(level_right[d]) + ", not " + Hex(offset));
    }
    level_last[d] = offset;
    level_right[d] = node.right;
    if (node.leaf) {
      if (leaf_depth == 0) leaf_depth = depth;
      if (depth != leaf_depth) {
        problems.push_back("leaves at depths " + std::to_string(leaf_depth) + " and " +
                           std::to_string(depth) + " (" + where + ")");
        return false;
      }
      if (node.entries.empty() && depth != 1) {
        problems.push_back(where + " is an empty leaf");
        return false;
      }
      for (const CdxEntry& e : node.entries) {
        if (have_last) {
          const int c = Compare(tag, key_of(last), key_of(e.key), length);
          if (c > 0 || (c == 0 && last_record > e.record)) {
            problems.push_back("keys out of order in " + where);
            return false;
          }
          if (c == 0 && unique) {
            problems.push_back("a key twice in a " +
                               std::string(tag.header.Candidate() ? "candidate" : "unique") +
                               " tag (" + where + ", record " + std::to_string(e.record) + ")");
          }
        }
        last = e.key;
        last_record = e.record;
        have_last = true;
        if (each) each(key_of(e.key), e.record);
      }
      if (!node.entries.empty()) {
        max = node.entries.back().key;
        max_record = node.entries.back().record;
      }
      return true;
    }
    if (node.entries.empty()) {
      problems.push_back(where + " is a branch without entries");
      return false;
    }
    for (std::size_t i = 0; i < node.entries.size(); ++i) {
      std::string below;
      std::uint32_t below_record = 0;
      if (!visit(node.entries[i].child, depth + 1, below, below_record)) return false;
      if (Compare(tag, key_of(below), key_of(node.entries[i].key), length) != 0 ||
          below_record != node.entries[i].record) {
        problems.push_back(where + ": entry " + std::to_string(i + 1) +
                           " is not the last key below it");
      }
      max = below;
      max_record = below_record;
    }
    return true;
  };
  std::string max;
  std::uint32_t max_record = 0;
  if (!visit(tag.header.root, 1, max, max_record)) return problems;
  for (std::size_t d = 1; d < level_right.size(); ++d) {
    if (level_last[d] != kCdxNone && level_right[d] != kCdxNone) {
      problems.push_back("node " + Hex(level_last[d]) + " ends its level with a right sibling " +
                         Hex(level_right[d]));
    }
  }
  return problems;
}

}  // namespace vx
