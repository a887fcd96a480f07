#pragma once
// The multiple-tag index file (.MDX, dBASE IV layout): its header, tag table and name tree, tag
// headers ("anchor nodes"), B-tree nodes and key items, as typed views over the fixed byte
// layouts, with the checks that every byte read from such a file must pass. Key encodings and
// comparators are in key_codec.h; reading pages from an open file is in mdx_file.h.
//
// The file is addressed in 512-byte pages (page number * 512 = byte offset); nodes and tag
// headers take 1024 bytes (two pages) and may start on any page. New pages are always appended.
// Integers are little-endian.
//
// File header, 2048 bytes at offset 0:
//
//   OFFSET SIZE MEANING
//   0      1    format version (2)
//   1      3    creation date: year - 1900, month, day
//   4      16   table name without directory or extension, zero-terminated (15 characters kept)
//   20     2    node size in pages (2)
//   22     2    node size in bytes (1024)
//   24     1    production-index flag (1: opened with its table)
//   25     1    entries in the tag table (48)
//   26     1    size of one tag-table entry (32)
//   27     1    reserved
//   28     1    tags in use (0..47)
//   29     3    reserved
//   32     4    page counter: last allocated page + 1 (we allocate at the file size; check
//                reads it: other programs allocate here)
//   36     8    reserved (free-page list of the format, unused)
//   44     3    date of last update: year - 1900, month, day
//   47     465  reserved
//   512    1536 tag table: 48 entries of 32 bytes; entry 0 anchors the name tree
//
// Tag-table entry i (1..47) at 512 + 32 * i:
//
//   OFFSET SIZE MEANING
//   0      4    page of the tag header
//   4      11   tag name, upper case, zero-terminated (10 characters)
//   15     1    reserved
//   16     1    name tree: left child entry (names that compare lower)
//   17     1    name tree: right child entry (names equal or higher)
//   18     1    name tree: parent entry
//   19     1    2
//   20     1    key type letter C, D, N or F
//   21     11   reserved
//
// Tag header, 1024 bytes at its page (the first 983 are read and rewritten):
//
//   OFFSET SIZE MEANING
//   0      4    page of the root node
//   4      4    reserved
//   8      1    key format: 0x10 always; 0x08 descending; 0x40 unique
//   9      1    key type letter C, D, N or F
//   10     2    reserved
//   12     2    key length (1..100)
//   14     2    keys per node = 1012 div item length
//   16     2    1 for type D, else 0
//   18     2    item length = key length + 4, rounded up to a multiple of 4
//   20     3    reserved
//   23     1    unique flag (nonzero: unique)
//   24     220  key expression, zero-terminated
//   244    1    reserved
//   245    1    1 when the tag has a FOR condition
//   246    1    1 once a record has met the FOR condition (0: the tag has never held a key)
//   247    515  reserved
//   762    221  FOR condition, zero-terminated
//   983    41   reserved
//
// Node, 1024 bytes:
//
//   OFFSET          SIZE     MEANING
//   0               4        key count n (low 16 bits; bytes 2..3 are 0 on disk and mark a
//                            node as modified while it is held in memory)
//   4               4        reserved
//   8               n * L    key items 0..n-1 (L = item length)
//   8 + n * L       4        trailing pointer: 0 in a leaf; in a branch the child holding the
//                            keys above the last key
//
// Key item, L bytes: a 4-byte pointer (leaf: record number; branch: child page, whose subtree's
// highest key is the item's key), then the key (key length bytes), zero padding to L.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vx {

inline constexpr std::uint32_t kMdxPageSize = 512;
inline constexpr std::uint32_t kMdxNodeSize = 1024;
inline constexpr std::uint32_t kMdxHeaderSize = 2048;
inline constexpr std::uint32_t kMdxMinFileSize = 3072;
inline constexpr int kMdxMaxTags = 47;
inline constexpr int kMdxTagEntries = 48;
inline constexpr int kMdxTagEntrySize = 32;
inline constexpr int kMdxTagTableOffset = 512;
inline constexpr std::size_t kTagHeaderSize = 983;
inline constexpr int kMaxKeyLength = 100;
inline constexpr int kMaxExpressionLength = 220;
inline constexpr int kMaxTagNameLength = 10;
// Bytes of a node that hold items and the trailing pointer.
inline constexpr int kNodeItemSpace = 1012;
// The record pointer of the empty-position item: a position that stands on no key.
inline constexpr std::uint32_t kNoPosition = 0xFFFFFFFF;

inline constexpr std::uint8_t kKeyFormatAlways = 0x10;
inline constexpr std::uint8_t kKeyFormatDescending = 0x08;
inline constexpr std::uint8_t kKeyFormatUnique = 0x40;

// Inline: every key step of a walk reads a count and a pointer through them.
inline std::uint16_t GetLe16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t GetLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
void PutLe16(std::uint8_t* p, std::uint16_t v);
void PutLe32(std::uint8_t* p, std::uint32_t v);

// The item length of a key length: key length + 4 rounded up to a multiple of 4.
int ItemLengthFor(int key_length);

// One entry of the tag table, decoded.
struct TagEntry {
  std::uint32_t header_page = 0;
  std::string name;  // without the terminating zero
  std::uint8_t left = 0;
  std::uint8_t right = 0;
  std::uint8_t parent = 0;
  char type = ' ';
};

// The 2048-byte file header with its dirty flag.
struct MdxHeader {
  std::array<std::uint8_t, kMdxHeaderSize> bytes{};
  bool dirty = false;

  std::uint8_t Version() const { return bytes[0]; }
  bool IsProduction() const { return bytes[24] != 0; }
  int TagCount() const { return bytes[28]; }
  std::string TableName() const;
  std::uint8_t* Entry(int i) { return bytes.data() + kMdxTagTableOffset + kMdxTagEntrySize * i; }
  const std::uint8_t* Entry(int i) const {
    return bytes.data() + kMdxTagTableOffset + kMdxTagEntrySize * i;
  }
  TagEntry EntryAt(int i) const;
  // The name of tag i (1..tag count), at most 10 characters; empty when out of range.
  std::string TagName(int i) const;
};

// Checks the fixed fields of a header read from a file: version 2, nodes of two pages and 1024
// bytes, 32-byte entries, at most 47 tags. Answers an empty string when it is sound, else what
// is wrong (for the message).
std::string HeaderFault(const MdxHeader& header);

// A fresh header for a table (name as stored in the header: no directory, no extension) made on
// the given date; no tags, production flag as given.
MdxHeader NewMdxHeader(std::string_view table_name, int year, int month, int day, bool production);

// Rebuilds the name tree over entries 1..tag count (entry 1 the root, the others inserted in
// entry order, equal names going right) and anchors it in entry 0.
void RebuildNameTree(MdxHeader& header);
// Removes the first entry (from entry 0 up) whose name begins with `name` (upper-cased, at most
// 11 bytes compared): the last entry moves into its place, the count drops and the tree is
// rebuilt. Answers whether an entry was removed.
bool RemoveTagEntry(MdxHeader& header, std::string_view name);
// Adds an entry as the last one (after removing one of the same name); answers false when the
// table is full.
bool AddTagEntry(MdxHeader& header, std::string_view name, std::uint32_t header_page, char type);

// The first 983 bytes of a tag header.
struct TagHeader {
  std::array<std::uint8_t, kTagHeaderSize> bytes{};

  std::uint32_t RootPage() const { return GetLe32(bytes.data()); }
  void SetRootPage(std::uint32_t page) { PutLe32(bytes.data(), page); }
  std::uint8_t KeyFormat() const { return bytes[8]; }
  bool Descending() const { return (bytes[8] & kKeyFormatDescending) != 0; }
  bool Unique() const { return (bytes[8] & kKeyFormatUnique) != 0 || bytes[23] != 0; }
  char KeyType() const { return static_cast<char>(bytes[9]); }
  int KeyLength() const { return GetLe16(bytes.data() + 12); }
  int MaxKeys() const { return GetLe16(bytes.data() + 14); }
  int ItemLength() const { return GetLe16(bytes.data() + 18); }
  std::string KeyExpression() const;
  bool HasFor() const { return bytes[245] != 0; }
  bool ForEverMet() const { return bytes[246] != 0; }
  std::string ForExpression() const;
};

// Checks a tag header read from a file: key type C, D, N or F; key length 1..100 (12 for N and
// F, 8 for D); item length equal to the one the key length gives; keys per node at least 1 and
// at most what the item length allows. Answers an empty string when sound, else the fault.
std::string TagHeaderFault(const TagHeader& header);

// A node as read, over the tag's item length. Callers check KeyCount against the capacity
// (CountFault) before touching items.
class NodeView {
 public:
  NodeView(const std::uint8_t* data, int item_length, int key_length)
      : data_(data), item_length_(item_length), key_length_(key_length) {}
  int KeyCount() const { return GetLe16(data_); }
  // Pointer of item i (0..count-1); item count is the trailing pointer.
  std::uint32_t Pointer(int i) const { return GetLe32(data_ + 8 + i * item_length_); }
  const std::uint8_t* Key(int i) const { return data_ + 12 + i * item_length_; }
  std::uint32_t Trailing() const { return Pointer(KeyCount()); }
  bool IsLeaf() const { return Trailing() == 0; }
  // The child behind position i of a branch: item i's pointer, or the trailing pointer.
  std::uint32_t Child(int i) const { return Pointer(i); }
  int ItemLength() const { return item_length_; }
  int KeyLength() const { return key_length_; }

 private:
  const std::uint8_t* data_;
  int item_length_;
  int key_length_;
};

// Whether the key count of a node fits the capacity of its tag (and the node's bytes).
bool CountFits(int count, int item_length, int max_keys);

}  // namespace vx
