#pragma once
// dBASE III single-tag index files (.NDX): the layout, an open file with checked node reads,
// the tree changes of an edit (one (key, record) item in or out), searches and walks in key
// order, the bulk writer and the structural check. Making keys from records and the work
// areas' use of these files live in ndx_orders.h.
//
// The file is a run of 512-byte blocks. Block 0 is the header:
//
//   OFFSET SIZE MEANING
//   0      4    root block
//   4      4    blocks in the file: the block the next new node takes
//   8      4    0
//   12     2    key length: 1..100 for characters, 8 for numbers and dates
//   14     2    most keys a node holds: (512 - 8) / item length
//   16     2    key type: 0 characters, 1 a number or a date (an IEEE double, little-endian; a
//               date is its Julian day number)
//   18     2    item length: key length + 8, rounded up to a multiple of 4
//   20     3    0
//   23     1    1 unique (one record of each key), else 0
//   24     488  key expression, ended by a zero byte
//
// Every other block is a node:
//
//   OFFSET           SIZE   MEANING
//   0                4      key count n
//   4 + i * item     4      item i's child block (branches); 0 in a leaf
//   8 + i * item     4      item i's record number (leaves); 0 in a branch
//   12 + i * item    key    item i's key
//   4 + n * item     4      a branch's last child, which has no key
//
// A leaf holds n (key, record) items in key order. A branch holds n keys and n + 1 children:
// key i is the highest key below child i, the last child holds the keys above key n - 1. A node
// is a leaf when its first child field (offset 4) is 0. Every leaf is at one depth; only the
// root may be empty. In trees this engine writes equal keys stand in record-number order.

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/index/key_codec.h"
#include "platform/os/file.h"

namespace vx {

inline constexpr std::size_t kNdxBlockSize = 512;
inline constexpr int kNdxMaxKeyLength = 100;
inline constexpr std::size_t kNdxMaxExpressionLength = 487;
// Deeper than any tree of 2^32 blocks: a walk past it is on a cycle.
inline constexpr int kNdxMaxDepth = 40;

struct NdxHeader {
  std::uint32_t root = 0;
  std::uint32_t blocks = 0;
  int key_length = 0;
  int max_keys = 0;
  bool numeric = false;  // key type 1: doubles
  int item_length = 0;
  bool unique = false;
  std::string expression;
};

// The item length and node capacity of a key length.
int NdxItemLength(int key_length);
int NdxMaxKeys(int item_length);
// A header for a new index of `key_length` (8 when numeric).
NdxHeader NewNdxHeader(std::string expression, bool numeric, int key_length, bool unique);

// Decodes block 0. Answers the fault in words (empty when sound): a key type other than 0 or 1,
// a key length outside 1..100 (8 for numbers), an item length or capacity other than the key
// length gives, a root or block count outside the file of `file_blocks` blocks.
std::string DecodeNdxHeader(const std::uint8_t* block, std::uint64_t file_blocks, NdxHeader& out);
void EncodeNdxHeader(const NdxHeader& header, std::uint8_t* block);

struct NdxItem {
  std::uint32_t child = 0;
  std::uint32_t record = 0;
  std::string key;
};

struct NdxNode {
  std::vector<NdxItem> items;
  std::uint32_t last_child = 0;  // 0 in a leaf
  bool leaf = true;
  // The child behind slot i of a branch (i == items.size(): the last child).
  std::uint32_t Child(std::size_t i) const { return i < items.size() ? items[i].child : last_child; }
};

// An open .NDX file. Every read checks what it reads: a block outside 1..blocks - 1 or past the
// end of the file, a key count above the capacity, a way down that meets a block twice or goes
// deeper than kNdxMaxDepth, leaves at two depths, keys out of order between leaves: error 222
// naming the file and block, never a crash or a hang. Nothing is cached between calls: every
// call reads the nodes it needs, so another program's change is seen at once.
class NdxFile {
 public:
  enum class Change { kDone, kUnchanged, kFailed };

  // Opens the file; error 2 when missing, 222 when its header is no .NDX header.
  bool Open(const std::string& path, bool writable);
  // Takes a file just created and writes an empty index with `header` into it.
  bool Create(os::File file, const std::string& path, NdxHeader header);
  bool IsOpen() const { return file_.IsOpen(); }
  const NdxHeader& header() const { return header_; }
  void SetHeader(const NdxHeader& header) { header_ = header; }
  const std::string& path() const { return path_; }
  os::File& file() { return file_; }
  int Close() { return file_.Close(); }
  // Reads the header again (after another program's change, or after a lock was taken).
  bool Reload();

  // Orders two keys of this index (negative, 0, positive) over `length` bytes (the key length
  // for a full key; a shorter prefix of a character key compares only its bytes).
  int Compare(const std::uint8_t* a, const std::uint8_t* b, int length) const;

  bool ReadNode(std::uint32_t block, NdxNode& out);
  bool WriteNode(std::uint32_t block, const NdxNode& node);
  bool WriteHeader();

  // Puts (key, record) in; a unique index that holds the key already is left unchanged.
  Change Insert(const std::uint8_t* key, std::uint32_t record);
  // Takes (key, record) out; kUnchanged when no such item is there.
  Change Delete(const std::uint8_t* key, std::uint32_t record);
  // Whether the index holds (key, record); false after a report.
  bool Holds(const std::uint8_t* key, std::uint32_t record, bool& found);

  // Calls `each` with every item in key order (`each` answers false to stop). False after a
  // report or when `each` stopped.
  bool Walk(const std::function<bool(const std::uint8_t* key, std::uint32_t record)>& each);
  // The first item whose first `length` key bytes are not below `key`'s: answers false after a
  // report; `found` false when every key is lower.
  bool Seek(const std::uint8_t* key, int length, bool& found, std::string& found_key,
            std::uint32_t& record);

  // Checks the whole tree: every block inside the file and reached once, counts within the
  // capacity, only the root empty, leaves at one depth, keys in order (no key twice in a unique
  // index), each branch key equal to the highest key below it; each item goes to `each` in
  // order. Answers the problems in words (empty: sound); stops at the first structural one.
  // Levels from the root to a leaf, as the last walk, search or change went down.
  int Depth() const { return leaf_depth_; }

  std::vector<std::string> CheckTree(
      const std::function<void(const std::uint8_t* key, std::uint32_t record)>& each);

 private:
  struct Level {
    std::uint32_t block = 0;
    NdxNode node;
    std::size_t index = 0;
  };
  bool Fail(const std::string& what);
  bool Descend(const std::uint8_t* key, int length, std::uint32_t record, bool by_record);
  bool DownLeftmost(std::uint32_t block);
  // Reads `block` onto the end of the path (false, with the reason, on a cycle, a path too
  // deep or a node that does not read).
  bool PushLevel(std::uint32_t block);
  bool NextLeaf(bool& moved);
  bool ItemBelow(const NdxItem& item, const std::uint8_t* key, int length, std::uint32_t record,
                 bool by_record) const;
  std::uint32_t NewBlock() { return header_.blocks++; }
  std::string Key(const std::uint8_t* key) const;

  os::File file_;
  std::string path_;
  NdxHeader header_;
  std::uint64_t file_blocks_ = 0;
  std::vector<Level> path_levels_;
  int leaf_depth_ = 0;
};

// Writes a tree bottom-up from items given in order, node after node from block 1, then the
// header: each leaf holds up to `fill` keys, each branch up to its capacity, and the last two
// nodes of a level share their children so that no branch is left with one child.
class NdxWriter {
 public:
  NdxWriter(NdxFile& file, int fill) : file_(file), fill_(fill) {}
  bool Add(const std::uint8_t* key, std::uint32_t record);
  bool Finish();

 private:
  struct Child {
    std::uint32_t block;
    std::string max_key;
  };
  bool FlushLeaf();

  NdxFile& file_;
  int fill_;
  NdxNode leaf_;
  std::uint32_t next_block_ = 1;
  std::vector<Child> children_;
};

}  // namespace vx
