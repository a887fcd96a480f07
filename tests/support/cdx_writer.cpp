#include "tests/support/cdx_writer.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace vx::test {

namespace {

constexpr std::size_t kNode = 512;
constexpr std::uint32_t kNone = 0xFFFFFFFFu;

void Le16(std::vector<unsigned char>& f, std::size_t at, unsigned v) {
  f[at] = static_cast<unsigned char>(v);
  f[at + 1] = static_cast<unsigned char>(v >> 8);
}
void Le32(std::vector<unsigned char>& f, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) f[at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(v >> (8 * i));
}
void Be32(std::vector<unsigned char>& f, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) f[at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(v >> (24 - 8 * i));
}

using Item = std::pair<std::string, std::uint32_t>;

struct Node {
  std::vector<Item> items;             // leaves: entries; branches: last key and record below
  std::vector<std::size_t> children;   // branches: node numbers on the level below
  std::uint32_t offset = 0;
};

struct Tree {
  std::vector<std::vector<Node>> levels;  // levels[0]: leaves
};

struct Widths {
  int record_bits, count_bits, bytes;
};

Widths WidthsFor(int key_length, std::uint32_t max_record) {
  const int count_bits = std::bit_width(static_cast<unsigned>(key_length));
  const int record_bits = std::max(8, static_cast<int>(std::bit_width(max_record)));
  const int bytes = (record_bits + 2 * count_bits + 7) / 8;
  return {bytes * 8 - 2 * count_bits, count_bits, bytes};
}

// Bytes an entry adds to a leaf after `previous` (empty: the leaf's first).
std::size_t Fresh(const std::string& key, const std::string* previous, char trail, std::size_t& dup,
                  std::size_t& trailing) {
  trailing = 0;
  while (trailing < key.size() && key[key.size() - 1 - trailing] == trail) ++trailing;
  dup = 0;
  if (previous != nullptr) {
    while (dup < key.size() && (*previous)[dup] == key[dup]) ++dup;
  }
  dup = std::min(dup, key.size() - trailing);
  return key.size() - dup - trailing;
}

Tree BuildTree(const std::vector<Item>& items, int key_length, char trail, const Widths& w,
               int per_leaf, int per_branch) {
  Tree tree;
  tree.levels.emplace_back();
  auto& leaves = tree.levels[0];
  std::size_t used = 0;
  for (const Item& it : items) {
    Node* leaf = leaves.empty() ? nullptr : &leaves.back();
    std::size_t dup = 0;
    std::size_t trailing = 0;
    const std::string* previous = leaf != nullptr && !leaf->items.empty() ? &leaf->items.back().first : nullptr;
    std::size_t need = Fresh(it.first, previous, trail, dup, trailing) + static_cast<std::size_t>(w.bytes);
    if (leaf == nullptr || used + need > 488 ||
        (per_leaf > 0 && static_cast<int>(leaf->items.size()) >= per_leaf)) {
      leaves.emplace_back();
      leaf = &leaves.back();
      need = Fresh(it.first, nullptr, trail, dup, trailing) + static_cast<std::size_t>(w.bytes);
      used = 0;
    }
    leaf->items.push_back(it);
    used += need;
  }
  if (leaves.empty()) leaves.emplace_back();
  const int fits = static_cast<int>((kNode - 12) / (static_cast<std::size_t>(key_length) + 8));
  const int fan = per_branch > 0 ? std::min(per_branch, fits) : fits;
  while (tree.levels.back().size() > 1) {
    const auto& below = tree.levels.back();
    std::vector<Node> up;
    for (std::size_t i = 0; i < below.size(); ++i) {
      if (up.empty() || static_cast<int>(up.back().children.size()) >= fan) up.emplace_back();
      up.back().children.push_back(i);
      up.back().items.push_back(below[i].items.back());
    }
    tree.levels.push_back(std::move(up));
  }
  return tree;
}

void WriteTree(std::vector<unsigned char>& f, Tree& tree, int key_length, char trail,
               const Widths& w) {
  const auto len = static_cast<std::size_t>(key_length);
  for (std::size_t lvl = 0; lvl < tree.levels.size(); ++lvl) {
    auto& nodes = tree.levels[lvl];
    const bool leaf = lvl == 0;
    const bool top = lvl + 1 == tree.levels.size();
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      Node& n = nodes[i];
      const std::size_t at = n.offset;
      Le16(f, at, (top ? 1u : 0u) | (leaf ? 2u : 0u));
      Le16(f, at + 2, static_cast<unsigned>(n.items.size()));
      Le32(f, at + 4, i == 0 ? kNone : nodes[i - 1].offset);
      Le32(f, at + 8, i + 1 == nodes.size() ? kNone : nodes[i + 1].offset);
      if (!leaf) {
        for (std::size_t k = 0; k < n.items.size(); ++k) {
          const std::size_t e = at + 12 + k * (len + 8);
          std::memcpy(&f[e], n.items[k].first.data(), len);
          Be32(f, e + len, n.items[k].second);
          Be32(f, e + len + 4, tree.levels[lvl - 1][n.children[k]].offset);
        }
        continue;
      }
      Le32(f, at + 14, w.record_bits >= 32 ? kNone : (1u << w.record_bits) - 1);
      f[at + 18] = static_cast<unsigned char>((1u << w.count_bits) - 1);
      f[at + 19] = static_cast<unsigned char>((1u << w.count_bits) - 1);
      f[at + 20] = static_cast<unsigned char>(w.record_bits);
      f[at + 21] = static_cast<unsigned char>(w.count_bits);
      f[at + 22] = static_cast<unsigned char>(w.count_bits);
      f[at + 23] = static_cast<unsigned char>(w.bytes);
      std::size_t end = at + kNode;
      for (std::size_t k = 0; k < n.items.size(); ++k) {
        std::size_t dup = 0;
        std::size_t trailing = 0;
        const std::size_t fresh =
            Fresh(n.items[k].first, k == 0 ? nullptr : &n.items[k - 1].first, trail, dup, trailing);
        end -= fresh;
        std::memcpy(&f[end], n.items[k].first.data() + dup, fresh);
        std::uint64_t v = n.items[k].second | (std::uint64_t{dup} << w.record_bits) |
                          (std::uint64_t{trailing} << (w.record_bits + w.count_bits));
        for (int b = 0; b < w.bytes; ++b) {
          f[at + 24 + k * static_cast<std::size_t>(w.bytes) + static_cast<std::size_t>(b)] =
              static_cast<unsigned char>(v >> (8 * b));
        }
      }
      Le16(f, at + 12, static_cast<unsigned>(end - (at + 24 + n.items.size() * static_cast<std::size_t>(w.bytes))));
    }
  }
}

void WriteHeader(std::vector<unsigned char>& f, std::size_t at, std::uint32_t root, int key_length,
                 unsigned options, bool descending, const std::string& key,
                 const std::string& condition, const std::string& collation) {
  Le32(f, at, root);
  Le32(f, at + 4, kNone);
  Le16(f, at + 12, static_cast<unsigned>(key_length));
  f[at + 14] = static_cast<unsigned char>(options);
  f[at + 15] = 1;
  std::memcpy(&f[at + 92], collation.data(), std::min<std::size_t>(collation.size(), 25));
  Le16(f, at + 502, descending ? 1 : 0);
  Le16(f, at + 504, static_cast<unsigned>(key.size() + 1));
  Le16(f, at + 506, static_cast<unsigned>(condition.size() + 1));
  Le16(f, at + 508, 0);
  Le16(f, at + 510, static_cast<unsigned>(key.size() + 1));
  std::memcpy(&f[at + 512], key.data(), std::min<std::size_t>(key.size(), 500));
  if (!condition.empty() && key.size() + 1 + condition.size() < 512) {
    std::memcpy(&f[at + 512 + key.size() + 1], condition.data(), condition.size());
  }
}

std::vector<Item> Ordered(std::vector<Item> items, bool descending) {
  std::sort(items.begin(), items.end(), [&](const Item& a, const Item& b) {
    if (a.first != b.first) return descending ? a.first > b.first : a.first < b.first;
    return a.second < b.second;
  });
  return items;
}

CdxLayout last_layout;

}  // namespace

const CdxLayout& LastCdxLayout() { return last_layout; }

std::string CdxNumber(double value) {
  if (value == 0) value = 0;
  std::uint64_t bits = std::bit_cast<std::uint64_t>(value);
  bits = (bits >> 63) != 0 ? ~bits : bits ^ (std::uint64_t{1} << 63);
  std::string key(8, '\0');
  for (int i = 0; i < 8; ++i) key[static_cast<std::size_t>(i)] = static_cast<char>(bits >> (56 - 8 * i));
  return key;
}

std::vector<unsigned char> BuildCdx(const std::vector<CdxTagShape>& tags) {
  last_layout = CdxLayout{};
  std::vector<Tree> trees;
  std::vector<Widths> widths;
  std::uint32_t next = 1024;
  for (std::size_t i = 0; i < tags.size(); ++i) {
    last_layout.tag_headers.push_back(next);
    next += 1024;
  }
  for (const CdxTagShape& t : tags) {
    std::uint32_t max_record = 1;
    for (const Item& it : t.items) max_record = std::max(max_record, it.second);
    widths.push_back(WidthsFor(t.key_length, max_record));
    trees.push_back(BuildTree(Ordered(t.items, t.descending), t.key_length, t.numeric ? '\0' : ' ',
                              widths.back(), t.keys_per_leaf, t.keys_per_branch));
    std::vector<std::uint32_t> nodes;
    for (std::size_t lvl = trees.back().levels.size(); lvl-- > 0;) {
      for (Node& n : trees.back().levels[lvl]) {
        n.offset = next;
        nodes.push_back(next);
        next += kNode;
      }
    }
    last_layout.tag_nodes.push_back(nodes);
  }
  // The directory: tag names padded to 10 with blanks, in name order, pointing at the headers.
  std::vector<Item> names;
  for (std::size_t i = 0; i < tags.size(); ++i) {
    std::string name = tags[i].name;
    name.resize(10, ' ');
    names.emplace_back(name, last_layout.tag_headers[i]);
  }
  const Widths dir_widths = WidthsFor(10, next + 1024 * 16);
  Tree directory = BuildTree(Ordered(names, false), 10, ' ', dir_widths, 0, 0);
  for (std::size_t lvl = directory.levels.size(); lvl-- > 0;) {
    for (Node& n : directory.levels[lvl]) {
      n.offset = next;
      next += kNode;
    }
  }
  last_layout.directory_root = directory.levels.back()[0].offset;
  std::vector<unsigned char> f(next, 0);
  WriteHeader(f, 0, last_layout.directory_root, 10, 0xE0, false, "", "", "");
  WriteTree(f, directory, 10, ' ', dir_widths);
  for (std::size_t i = 0; i < tags.size(); ++i) {
    const CdxTagShape& t = tags[i];
    unsigned options = 0x60;
    if (t.unique) options |= 0x01;
    if (t.candidate) options |= 0x04;
    if (!t.for_expression.empty()) options |= 0x08;
    WriteHeader(f, last_layout.tag_headers[i], trees[i].levels.back()[0].offset, t.key_length,
                options, t.descending, t.key_expression, t.for_expression, t.collation);
    WriteTree(f, trees[i], t.key_length, t.numeric ? '\0' : ' ', widths[i]);
  }
  return f;
}

}  // namespace vx::test
