#pragma once
// FoxPro compound index files (.CDX, compact format): the layout, an open file with checked
// reads of its tag directory, tag headers and nodes, walks and searches of one tag in key order,
// and the structural check of a tag's tree. Making keys from records and the doors' use of these
// files live in cdx_orders.h.
//
// Integers in headers and leaf bit fields are little-endian; record numbers and child offsets in
// branch nodes are big-endian. Offsets are byte offsets into the file. A header takes 1024
// bytes, a node 512; both start on a multiple of 512.
//
// Header (the file's own at offset 0, describing the tag directory; each tag's at the offset
// the directory gives):
//
//   OFFSET SIZE MEANING
//   0      4    offset of the root node
//   4      4    offset of the first free node, or -1
//   8      4    change counter (not read)
//   12     2    key length: 1..240 (the directory's: the tag name length, 10)
//   14     1    options: 0x01 unique, 0x04 candidate, 0x08 FOR condition, 0x20 compact (always
//               set), 0x40 compound, 0x80 the tag directory
//   15     1    signature (not read)
//   92     26   collation name, zero-ended (empty or MACHINE: byte order)
//   502    2    0 ascending, 1 descending
//   504    2    FOR condition's place in the expression pool
//   506    2    FOR condition's length with its zero byte
//   508    2    key expression's place in the pool (0)
//   510    2    key expression's length with its zero byte
//   512    512  expression pool: the key expression, a zero byte, the FOR condition, a zero byte
//
// Node, 512 bytes:
//
//   OFFSET SIZE MEANING
//   0      2    attributes: bit 0 the root, bit 1 a leaf
//   2      2    entry count n
//   4      4    left sibling on the same level, or -1
//   8      4    right sibling, or -1
//
// A branch holds n entries from offset 12, each the key (key length bytes), the record number
// (4, big-endian) and the child's offset (4, big-endian): the key and record of the child
// subtree's last entry. A leaf holds compressed entries:
//
//   12     2    free bytes of the entry area (488 minus what the entries take)
//   14     4    record number mask
//   18     1    duplicate count mask
//   19     1    trailing count mask
//   20     1    bits of the record number
//   21     1    bits of the duplicate count
//   22     1    bits of the trailing count
//   23     1    bytes of one entry's bit field (b)
//   24     488  entry area: n bit fields of b bytes from its start, key bytes from its end
//
// Entry i's bit field, read as a little-endian number, holds its record number in the low bits,
// then the duplicate count d (bytes shared with the key before it in the node; 0 for the first)
// and the trailing count t (bytes at the key's end left out: blanks in a character key, zero
// bytes in a number or date key). Its other key length - d - t bytes lie before those of the
// entry before it, counting down from the end of the node.
//
// Keys are in byte order (descending tags: the reverse), equal keys in record order. Number and
// date keys are an IEEE double stored big-endian, the sign bit flipped when positive and every
// bit flipped when negative, so that byte order is the numbers' order; a date is its Julian day
// number. The tag directory is a tree of the same kind over the tag names, whose record numbers
// are the offsets of the tag headers.

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os/file.h"

namespace vx {

inline constexpr std::size_t kCdxNodeSize = 512;
inline constexpr std::size_t kCdxHeaderSize = 1024;
inline constexpr std::size_t kCdxLeafArea = 488;
inline constexpr int kCdxMaxKeyLength = 240;
// Deeper than any tree a 4 GiB file can hold: a walk past it is on a cycle.
inline constexpr int kCdxMaxDepth = 32;
inline constexpr std::uint32_t kCdxNone = 0xFFFFFFFFu;

inline constexpr std::uint8_t kCdxUnique = 0x01;
inline constexpr std::uint8_t kCdxCandidate = 0x04;
inline constexpr std::uint8_t kCdxHasFor = 0x08;
inline constexpr std::uint8_t kCdxCompact = 0x20;
inline constexpr std::uint8_t kCdxCompound = 0x40;
inline constexpr std::uint8_t kCdxDirectory = 0x80;

struct CdxHeader {
  std::uint32_t offset = 0;  // where the header lies
  std::uint32_t root = 0;
  std::uint32_t free_list = kCdxNone;
  int key_length = 0;
  std::uint8_t options = 0;
  bool descending = false;
  std::string key_expression;
  std::string for_expression;
  std::string collation;  // as stored; empty or MACHINE is byte order

  bool Unique() const { return (options & kCdxUnique) != 0; }
  bool Candidate() const { return (options & kCdxCandidate) != 0; }
  bool HasFor() const { return (options & kCdxHasFor) != 0 && !for_expression.empty(); }
  // Whether keys are compared as bytes (no other collation named).
  bool Machine() const { return collation.empty() || collation == "MACHINE"; }
};

// Decodes the 1024 bytes of a header found at `offset` in a file of `file_size` bytes. Answers
// the fault in words (empty when sound): a key length outside 1..240, no compact flag, an order
// flag other than 0 or 1, a root that is no node offset inside the file.
std::string DecodeCdxHeader(const std::uint8_t* bytes, std::uint32_t offset,
                            std::uint64_t file_size, CdxHeader& out);

struct CdxEntry {
  std::string key;
  std::uint32_t record = 0;
  std::uint32_t child = 0;  // branches only
};

struct CdxNode {
  bool root = false;
  bool leaf = false;
  std::uint32_t left = kCdxNone;
  std::uint32_t right = kCdxNone;
  std::vector<CdxEntry> entries;
};

// Decodes a node of a tree with keys of `key_length` bytes, `trail` filling the trailing bytes a
// leaf entry leaves out. Answers the fault in words (empty when sound): attributes other than
// the root and leaf bits, more entries than the node holds, bit widths that do not fit the bit
// field or disagree with their masks, counts longer than the key, a first entry sharing bytes,
// key bytes running into the bit fields, a free count that is not what is left, record 0.
std::string DecodeCdxNode(const std::uint8_t* bytes, int key_length, std::uint8_t trail,
                          CdxNode& out);

// A tag named by the directory, with its header (or why it cannot be read).
struct CdxTag {
  std::string name;
  CdxHeader header;
  std::uint8_t trail = ' ';  // what fills left-out trailing bytes: 0 for number and date keys
  std::string fault;         // empty: the header reads
};

// An open .CDX. Every read checks what it reads: an offset that is no node inside the file or
// lies on a header, an entry count or bit field the node cannot hold, a way down that meets a
// node twice or goes deeper than kCdxMaxDepth, leaves at two depths, keys out of order: error
// 222 naming the file, the tag and the offset, never a crash or a hang. Nothing is cached
// between calls but the directory, which Reload reads again.
class CdxFile {
 public:
  // Opens the file and reads its directory; error 2 when missing, 222 when its header or its
  // directory does not read (a tag whose own header does not read is listed with its fault).
  bool Open(const std::string& path, bool writable);
  bool IsOpen() const { return file_.IsOpen(); }
  bool Reload();
  int Close() { return file_.Close(); }
  const std::string& path() const { return path_; }
  os::File& file() { return file_; }
  const CdxHeader& header() const { return header_; }
  const std::vector<CdxTag>& tags() const { return tags_; }
  std::vector<CdxTag>& tags() { return tags_; }
  // The tag of a name (any case, blanks around ignored), or -1.
  int FindTag(std::string_view name) const;

  // Orders two keys of `tag` over `length` bytes: byte order, reversed in a descending tag.
  static int Compare(const CdxTag& tag, const std::uint8_t* a, const std::uint8_t* b, int length);

  // Reads the node at `offset` of a tree with `header`'s key length.
  bool ReadNode(const CdxTag& tag, std::uint32_t offset, CdxNode& out);
  // The same, keeping the node's bytes as the file holds them in `raw`.
  bool ReadNode(const CdxTag& tag, std::uint32_t offset, CdxNode& out,
                std::array<std::uint8_t, kCdxNodeSize>& raw);
  // The file's size as last read; a writer that grows the file says so with Grown.
  std::uint64_t size() const { return size_; }
  void Grown(std::uint64_t size) { size_ = size; }

  // Calls `each` with every entry of the tag in key order (`each` answers false to stop). False
  // after a report or when `each` stopped.
  bool Walk(const CdxTag& tag,
            const std::function<bool(const std::uint8_t* key, std::uint32_t record)>& each);
  // The first entry whose first `length` key bytes are not before `key` in the tag's order:
  // false after a report; `found` false when every key is before it.
  bool Seek(const CdxTag& tag, const std::uint8_t* key, int length, bool& found,
            std::string& found_key, std::uint32_t& record);
  // Walk from the first entry Seek finds for `key` over `length` bytes (null: from the first).
  bool WalkFrom(const CdxTag& tag, const std::uint8_t* key, int length,
                const std::function<bool(const std::uint8_t* key, std::uint32_t record)>& each);
  // Levels from the root to a leaf, as the last walk or search went down.
  int Depth() const { return leaf_depth_; }

  // Checks the whole tree of `tag`: every node inside the file, off the headers and reached
  // once, the root flag on the root alone, leaves at one depth, only the root empty, keys in
  // order (none twice in a unique or candidate tag), each branch entry the last key and record
  // below it, sibling links along each level. Each entry goes to `each` in order. Answers the
  // problems in words (empty: sound); stops at the first structural one.
  std::vector<std::string> CheckTree(
      const CdxTag& tag, const std::function<void(const std::uint8_t* key, std::uint32_t record)>& each);

 private:
  struct Level {
    std::uint32_t offset = 0;
    CdxNode node;
    std::size_t index = 0;
  };
  bool Fail(const std::string& what);
  bool ReadTree(const CdxTag& tag, std::uint32_t offset, CdxNode& out, std::string& fault,
                std::array<std::uint8_t, kCdxNodeSize>* raw = nullptr);
  bool PushLevel(const CdxTag& tag, std::uint32_t offset);
  bool DownLeftmost(const CdxTag& tag, std::uint32_t offset);
  bool NextLeaf(const CdxTag& tag, bool& moved);
  bool ReadDirectory();
  // Whether [offset, offset + 512) is a node's place: on a 512 boundary, past the file header,
  // inside the file, off every tag header.
  std::string NodePlaceFault(std::uint32_t offset) const;

  os::File file_;
  std::string path_;
  std::uint64_t size_ = 0;
  CdxHeader header_;
  CdxTag directory_;
  std::vector<CdxTag> tags_;
  std::vector<std::uint32_t> header_offsets_;
  std::vector<Level> path_levels_;
  int leaf_depth_ = 0;
};

// The key bytes of a number or date (a date as its Julian day number), and back.
std::array<std::uint8_t, 8> CdxNumberKey(double value);
double CdxKeyNumber(const std::uint8_t* key);

}  // namespace vx
