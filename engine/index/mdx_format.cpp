#include "engine/index/mdx_format.h"

#include <algorithm>
#include <cstring>

#include "platform/os/codepage.h"

namespace vx {

namespace {

std::string ZeroTerminated(const std::uint8_t* p, std::size_t max) {
  std::size_t n = 0;
  while (n < max && p[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

}  // namespace

void PutLe16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

void PutLe32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

int ItemLengthFor(int key_length) { return (key_length + 4 + 3) / 4 * 4; }

std::string MdxHeader::TableName() const { return ZeroTerminated(bytes.data() + 4, 16); }

TagEntry MdxHeader::EntryAt(int i) const {
  const std::uint8_t* e = Entry(i);
  TagEntry out;
  out.header_page = GetLe32(e);
  out.name = ZeroTerminated(e + 4, 11);
  out.left = e[16];
  out.right = e[17];
  out.parent = e[18];
  out.type = static_cast<char>(e[20]);
  return out;
}

std::string MdxHeader::TagName(int i) const {
  if (i < 1 || i > TagCount() || i > kMdxMaxTags) return {};
  return ZeroTerminated(Entry(i) + 4, kMaxTagNameLength);
}

std::string HeaderFault(const MdxHeader& h) {
  // dBASE level 7 writes version 3, with 43-byte tag entries and longer field names in its keys:
  // this engine neither reads nor maintains such an index, so edits of its table are refused.
  if (h.Version() == 3) {
    return "version 3 (a dBASE level 7 index, which this program does not read or maintain)";
  }
  if (h.Version() != 2) return "version " + std::to_string(h.Version());
  if (GetLe16(h.bytes.data() + 20) != 2 || GetLe16(h.bytes.data() + 22) != kMdxNodeSize) {
    return "node size";
  }
  if (h.bytes[26] != kMdxTagEntrySize) return "tag entry size " + std::to_string(h.bytes[26]);
  if (h.TagCount() > kMdxMaxTags) return "tag count " + std::to_string(h.TagCount());
  return {};
}

MdxHeader NewMdxHeader(std::string_view table_name, int year, int month, int day, bool production) {
  MdxHeader h;
  std::uint8_t* b = h.bytes.data();
  b[0] = 2;
  b[1] = static_cast<std::uint8_t>(year - 1900);
  b[2] = static_cast<std::uint8_t>(month);
  b[3] = static_cast<std::uint8_t>(day);
  const std::size_t n = std::min<std::size_t>(table_name.size(), 15);
  std::memcpy(b + 4, table_name.data(), n);
  PutLe16(b + 20, 2);
  PutLe16(b + 22, kMdxNodeSize);
  b[24] = production ? 1 : 0;
  b[25] = kMdxTagEntries;
  b[26] = kMdxTagEntrySize;
  std::memcpy(b + 44, b + 1, 3);
  h.dirty = true;
  return h;
}

void RebuildNameTree(MdxHeader& h) {
  const int n = std::min(h.TagCount(), kMdxMaxTags);
  for (int i = 0; i <= n; ++i) {
    std::uint8_t* e = h.Entry(i);
    e[16] = e[17] = e[18] = 0;
  }
  for (int i = 2; i <= n; ++i) {
    int at = 1;
    while (true) {
      std::uint8_t* node = h.Entry(at);
      const bool right = std::memcmp(h.Entry(i) + 4, node + 4, 11) >= 0;
      std::uint8_t& link = node[right ? 17 : 16];
      if (link == 0) {
        link = static_cast<std::uint8_t>(i);
        h.Entry(i)[18] = static_cast<std::uint8_t>(at);
        break;
      }
      at = link;
    }
  }
  std::uint8_t* anchor = h.Entry(0);
  anchor[16] = 0;
  anchor[17] = n > 0 ? 1 : 0;
  anchor[18] = 0;
  h.dirty = true;
}

namespace {

// Removes entry k (1 up to the count): the last entry moves into its place, the count drops and
// the name tree is rebuilt.
void RemoveEntryAt(MdxHeader& h, int k, int n) {
  if (k != n) std::memcpy(h.Entry(k), h.Entry(n), kMdxTagEntrySize);
  std::memset(h.Entry(n), 0, kMdxTagEntrySize);
  h.bytes[28] = static_cast<std::uint8_t>(n - 1);
  RebuildNameTree(h);
}

}  // namespace

bool RemoveTagEntry(MdxHeader& h, std::string_view name) {
  const std::string wanted = os::AnsiUpperText(name.substr(0, 11));
  if (wanted.empty()) return false;
  const int n = std::min(h.TagCount(), kMdxMaxTags);
  for (int k = 0; k <= n; ++k) {
    if (std::memcmp(h.Entry(k) + 4, wanted.data(), wanted.size()) != 0) continue;
    if (k == 0) continue;  // the anchor holds no name of its own
    RemoveEntryAt(h, k, n);
    return true;
  }
  return false;
}

bool AddTagEntry(MdxHeader& h, std::string_view name, std::uint32_t header_page, char type) {
  const std::string upper = os::AnsiUpperText(name.substr(0, kMaxTagNameLength));
  // Only a tag of exactly this name is replaced: a shorter new name ("N") must not take the
  // place of a longer tag that begins with it ("NAME").
  const int count = std::min(h.TagCount(), kMdxMaxTags);
  for (int k = 1; k <= count; ++k) {
    if (h.TagName(k) == upper) {
      RemoveEntryAt(h, k, count);
      break;
    }
  }
  const int n = h.TagCount() + 1;
  if (n > kMdxMaxTags) return false;
  h.bytes[28] = static_cast<std::uint8_t>(n);
  std::uint8_t* e = h.Entry(n);
  std::memset(e, 0, kMdxTagEntrySize);
  PutLe32(e, header_page);
  std::memcpy(e + 4, upper.data(), upper.size());
  e[19] = 2;
  e[20] = static_cast<std::uint8_t>(type);
  RebuildNameTree(h);
  return true;
}

std::string TagHeader::KeyExpression() const {
  return ZeroTerminated(bytes.data() + 24, kMaxExpressionLength);
}

std::string TagHeader::ForExpression() const {
  return ZeroTerminated(bytes.data() + 762, kMaxExpressionLength);
}

std::string TagHeaderFault(const TagHeader& t) {
  const char type = t.KeyType();
  if (type != 'C' && type != 'D' && type != 'N' && type != 'F') {
    return "key type " + std::to_string(static_cast<unsigned char>(type));
  }
  const int length = t.KeyLength();
  if (length < 1 || length > kMaxKeyLength) return "key length " + std::to_string(length);
  if ((type == 'N' || type == 'F') && length != 12) return "key length " + std::to_string(length);
  if (type == 'D' && length != 8) return "key length " + std::to_string(length);
  if (t.ItemLength() != ItemLengthFor(length)) {
    return "item length " + std::to_string(t.ItemLength());
  }
  if (t.MaxKeys() < 1 || t.MaxKeys() > kNodeItemSpace / t.ItemLength()) {
    return "keys per node " + std::to_string(t.MaxKeys());
  }
  return {};
}

bool CountFits(int count, int item_length, int max_keys) {
  return count >= 0 && count <= max_keys && 8 + count * item_length + 4 <= 1024;
}

}  // namespace vx
