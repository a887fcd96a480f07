#pragma once
// Test and benchmark support: writes a whole .MDX file from sorted keys, bottom-up, the way a
// freshly built index looks (full leaves, branch items carrying their subtree's highest key).
// Only for preparing files; the engine's own building is not this.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vx::test {

struct TagShape {
  std::string name;
  std::string key_expression;
  std::string for_expression;  // empty: no FOR condition
  char type = 'C';
  int key_length = 10;
  bool descending = false;
  bool unique = false;
  bool for_ever_met = true;  // header byte 246 when a FOR condition is present
  int keys_per_leaf = 0;     // 0: as many as a node holds
  // Keys (key_length bytes each) with their record numbers, in the tag's order.
  std::vector<std::pair<std::string, std::uint32_t>> items;
};

// The bytes of an index file for table `table_name` with these tags (production flag set).
std::vector<unsigned char> BuildMdx(const std::string& table_name,
                                    const std::vector<TagShape>& tags);
// The page of tag i's (1-based) root node in a file made by BuildMdx.
std::uint32_t RootPageOf(const std::vector<unsigned char>& file, int tag);

}  // namespace vx::test
