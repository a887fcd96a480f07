#pragma once
// Test support: writes a whole FoxPro .CDX from sorted keys, bottom-up (compressed leaves,
// branch entries carrying their child's last key and record, sibling links, the tag directory
// over the tag names), written from the format's description apart from the engine's reader so
// that the two check each other. Only for preparing files; it is not the engine's writer.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vx::test {

struct CdxTagShape {
  std::string name;
  std::string key_expression;
  std::string for_expression;  // empty: no FOR condition
  int key_length = 10;
  bool numeric = false;  // number or date keys: left-out trailing bytes are zero, not blanks
  bool descending = false;
  bool unique = false;
  bool candidate = false;
  std::string collation;  // empty: none named
  int keys_per_leaf = 0;  // 0: as many as fit
  int keys_per_branch = 0;
  // Keys (key_length bytes each) with their record numbers, in any order: written in the tag's.
  std::vector<std::pair<std::string, std::uint32_t>> items;
};

std::vector<unsigned char> BuildCdx(const std::vector<CdxTagShape>& tags);

// Where things landed in the last file BuildCdx wrote, for tests that damage it.
struct CdxLayout {
  std::vector<std::uint32_t> tag_headers;              // by tag, in the order given
  std::vector<std::vector<std::uint32_t>> tag_nodes;   // by tag: root first, then level by level
  std::uint32_t directory_root = 0;
};
const CdxLayout& LastCdxLayout();

// The key bytes of a number (or a date's Julian day number) in a .CDX.
std::string CdxNumber(double value);

}  // namespace vx::test
