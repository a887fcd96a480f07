#include "tests/support/mdx_writer.h"

#include <algorithm>
#include <cstring>

namespace vx::test {

namespace {

void Put32(std::vector<unsigned char>& f, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) f[at + i] = static_cast<unsigned char>(v >> (8 * i));
}
void Put16(std::vector<unsigned char>& f, std::size_t at, std::uint16_t v) {
  f[at] = static_cast<unsigned char>(v);
  f[at + 1] = static_cast<unsigned char>(v >> 8);
}
std::uint32_t Get32(const std::vector<unsigned char>& f, std::size_t at) {
  return f[at] | (f[at + 1] << 8) | (f[at + 2] << 16) |
         (static_cast<std::uint32_t>(f[at + 3]) << 24);
}

std::uint32_t NewNode(std::vector<unsigned char>& f) {
  const auto page = static_cast<std::uint32_t>(f.size() / 512);
  f.resize(f.size() + 1024, 0);
  return page;
}

struct Child {
  std::uint32_t page;
  std::string high_key;
};

}  // namespace

std::vector<unsigned char> BuildMdx(const std::string& table_name,
                                    const std::vector<TagShape>& tags) {
  std::vector<unsigned char> f(2048, 0);
  f[0] = 2;
  f[1] = 124;
  f[2] = 1;
  f[3] = 2;
  std::memcpy(&f[4], table_name.data(), std::min<std::size_t>(table_name.size(), 15));
  Put16(f, 20, 2);
  Put16(f, 22, 1024);
  f[24] = 1;
  f[25] = 48;
  f[26] = 32;
  f[28] = static_cast<unsigned char>(tags.size());
  std::vector<std::uint32_t> header_pages;
  for (std::size_t i = 0; i < tags.size(); ++i) header_pages.push_back(NewNode(f));
  for (std::size_t i = 0; i < tags.size(); ++i) {
    const TagShape& tag = tags[i];
    const std::size_t entry = 512 + 32 * (i + 1);
    Put32(f, entry, header_pages[i]);
    std::memcpy(&f[entry + 4], tag.name.data(), std::min<std::size_t>(tag.name.size(), 10));
    f[entry + 19] = 2;
    f[entry + 20] = static_cast<unsigned char>(tag.type);
    // A plain chain for the name tree is enough for readers that scan the entries.
    if (i + 1 < tags.size()) f[entry + 17] = static_cast<unsigned char>(i + 2);
    if (i > 0) f[entry + 18] = static_cast<unsigned char>(i);
  }
  if (!tags.empty()) f[512 + 17] = 1;
  for (std::size_t i = 0; i < tags.size(); ++i) {
    const TagShape& tag = tags[i];
    const int item = (tag.key_length + 4 + 3) / 4 * 4;
    const int capacity = 1012 / item;
    const int per_leaf = tag.keys_per_leaf > 0 ? std::min(tag.keys_per_leaf, capacity) : capacity;
    // Leaves.
    std::vector<Child> level;
    std::size_t at = 0;
    do {
      const std::uint32_t page = NewNode(f);
      const std::size_t base = std::size_t{page} * 512;
      int n = 0;
      std::string high;
      while (at < tag.items.size() && n < per_leaf) {
        const auto& [key, record] = tag.items[at++];
        Put32(f, base + 8 + n * item, record);
        std::memcpy(&f[base + 12 + n * item], key.data(),
                    std::min<std::size_t>(key.size(), tag.key_length));
        high = key;
        ++n;
      }
      Put32(f, base, static_cast<std::uint32_t>(n));
      level.push_back({page, high});
    } while (at < tag.items.size());
    // Branches: n items and the trailing pointer per node.
    while (level.size() > 1) {
      std::vector<Child> up;
      std::size_t c = 0;
      while (c < level.size()) {
        const std::uint32_t page = NewNode(f);
        const std::size_t base = std::size_t{page} * 512;
        const std::size_t take = std::min<std::size_t>(per_leaf + 1, level.size() - c);
        int n = 0;
        for (std::size_t k = 0; k + 1 < take; ++k, ++n) {
          Put32(f, base + 8 + n * item, level[c + k].page);
          std::memcpy(&f[base + 12 + n * item], level[c + k].high_key.data(),
                      std::min<std::size_t>(level[c + k].high_key.size(), tag.key_length));
        }
        Put32(f, base + 8 + n * item, level[c + take - 1].page);
        Put32(f, base, static_cast<std::uint32_t>(n));
        up.push_back({page, level[c + take - 1].high_key});
        c += take;
      }
      level = std::move(up);
    }
    const std::size_t h = std::size_t{header_pages[i]} * 512;
    Put32(f, h, level[0].page);
    f[h + 8] =
        static_cast<unsigned char>(0x10 | (tag.descending ? 0x08 : 0) | (tag.unique ? 0x40 : 0));
    f[h + 9] = static_cast<unsigned char>(tag.type);
    Put16(f, h + 12, static_cast<std::uint16_t>(tag.key_length));
    Put16(f, h + 14, static_cast<std::uint16_t>(capacity));
    Put16(f, h + 16, tag.type == 'D' ? 1 : 0);
    Put16(f, h + 18, static_cast<std::uint16_t>(item));
    f[h + 23] = tag.unique ? 0x40 : 0;
    std::memcpy(&f[h + 24], tag.key_expression.data(),
                std::min<std::size_t>(tag.key_expression.size(), 220));
    if (!tag.for_expression.empty()) {
      f[h + 245] = 1;
      f[h + 246] = tag.for_ever_met ? 1 : 0;
      std::memcpy(&f[h + 762], tag.for_expression.data(),
                  std::min<std::size_t>(tag.for_expression.size(), 220));
    }
  }
  Put32(f, 32, static_cast<std::uint32_t>(f.size() / 512));
  // The format's minimum: a header and one tag header's worth of pages.
  if (f.size() < 3072) f.resize(3072, 0);
  return f;
}

std::uint32_t RootPageOf(const std::vector<unsigned char>& file, int tag) {
  const std::uint32_t header_page = Get32(file, 512 + 32 * static_cast<std::size_t>(tag));
  return Get32(file, std::size_t{header_page} * 512);
}

}  // namespace vx::test
