#pragma once
// An open .MDX file and a cursor over one of its tags. MdxFile reads and checks the header, the
// tag headers and nodes; TagCursor walks one tag's B-tree (first, last, next, prior, seek) on
// copies of the nodes from the root down to the current leaf. Neither knows about work areas,
// expressions or semaphores: the order layer (orders.h) brings those together.
//
// Every page number, count and length read from the file is checked before it is used:
//
//   FAULT                                        CODE  TEXT
//   file shorter than 3072 bytes, short header   222   Unable to open index: <file>
//   header fields (version, node size, entries)  222   Invalid dBASE key expression or
//   tag header (type, key or item length)              corrupted index file <file>
//   key count above the node's capacity          222   (the same) [tag: <tag>] [GetNode]
//   node beyond the end of the file              222   Error reading index file: <file>
//                                                      [tag: <tag>] [SeekAndRead]
//   node page 0, inside the file header, or a    254   Invalid Node Number (<page>) in DBF
//   page already on the way down (a cycle)             Area <a>, Order <o> [GetNode]
//   the next (previous) leaf begins with a key    222   Invalid dBASE key expression or
//   lower (higher) than the one left behind            corrupted index file <file> [tag: ..
//   a walk that visits more leaves than the      254   Invalid Node Number ...
//   file has nodes (leaves shared by branches)
//
// Cursor positions: a leaf item; "one past the last item" after a seek beyond every key (EOF);
// or, in an empty tag, nothing (BOF and EOF).

#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/index/key_codec.h"
#include "engine/index/mdx_format.h"
#include "platform/os/file.h"

namespace vx {

// Names for the messages of one tag's reads.
struct IndexErrorContext {
  std::string file_name;
  std::string tag_name;
  int area = 0;
  int order = 0;
};

using NodeBytes = std::array<std::uint8_t, kMdxNodeSize>;
// A key with room for the terminating zero of character keys.
using KeyBuffer = std::array<std::uint8_t, kMaxKeyLength + 1>;

class MdxFile {
 public:
  MdxFile() = default;
  MdxFile(const MdxFile&) = delete;
  MdxFile& operator=(const MdxFile&) = delete;

  // Opens the file with an access and sharing mode, reads and checks the header. Reports the
  // faults of the table above (or the I/O code with "Unable to open index: ") and answers false.
  bool Open(const std::string& path, int open_mode);
  // Opens an existing index (read and write, `open_mode`) and reads its header, or creates a
  // new one for the table `table_file` (its name without directory or extension in the header,
  // today's date, no tags, the production flag) and writes the 2048-byte header. Reports and
  // answers false on failure.
  bool CreateMdxHeader(const std::string& path, const std::string& table_file, int open_mode);
  // The same over a file already open read and write (a temporary file just made, never opened
  // again by name): an empty one gets the new header, one with bytes is read as an index.
  bool CreateMdxHeader(os::File file, const std::string& path, const std::string& table_file);
  // Re-reads the header (another program may have added pages); false after a report.
  bool ReadHeader();
  // Closes the file; answers the close result.
  int Close();
  bool IsOpen() const { return file_.IsOpen(); }

  // Reads and checks the header of tag i (1..tag count); reports and answers false on a fault.
  bool ReadTagHeader(int tag, TagHeader& out);
  // Reads the node at `page` into `out` (checks the page against the file, nothing else).
  // `level` is the node's distance from its root: a full node cache drops its deepest nodes
  // first, so that the upper levels of every tree stay in memory.
  bool ReadNode(std::uint32_t page, NodeBytes& out, const IndexErrorContext& context,
                int level = 0);
  // Refreshes the file size (pages appended by other programs).
  void RefreshSize();
  // Writes a node at `page` (keeping a cached copy current); reports the I/O code with the
  // file's name and answers false on failure.
  bool WriteNode(std::uint32_t page, const NodeBytes& node);
  // Writes a zeroed 1024-byte node at the header's page counter, or at the end of the file when
  // that lies beyond the counter (after refreshing the size, so pages other programs appended
  // are not reused); answers its page, 0 after a report. The counter follows and the header is
  // marked modified.
  std::uint32_t AppendNode();
  // Writes the first 983 bytes of tag i's header (1..tag count) at the page its entry names.
  bool WriteTagHeader(int tag, const TagHeader& header);
  // Writes the 2048-byte file header and clears its modified flag.
  bool WriteHeader();
  // Keeps up to budget / 1024 nodes in memory (0: none). Only while no other program changes the
  // file: the order layer sets it for exclusive tables, and for shared ones drops the nodes
  // whenever the semaphore's update counter shows another program's write.
  void SetNodeCache(std::uint32_t budget);
  void DropNodeCache() {
    cache_.clear();
    Changed();
  }
  // Holding writes, for a writer that keeps other programs out of the file meanwhile (the
  // semaphore's update bracket): writes of nodes, tag headers and the header stay in memory (a
  // node written again replaces its held copy, so each page goes to the disk once) and reads see
  // them. FlushHeldWrites writes them: the header (whose page counter claims the new pages)
  // first, then the new pages, the pages that were there before, and the tag headers last
  // (a program stopped in between leaves no tag header naming a root not yet written). The
  // bytes each write replaces are read first; when a write fails, they are written back and
  // the file cut to its size before the hold, so that it holds what it held before, and
  // `restored` tells whether that succeeded. DropHeldWrites forgets what is held (nothing of it
  // reached the disk): kept nodes are dropped and the header is read again. Either way the
  // hold ends; false after a report.
  void HoldWrites();
  bool Holding() const { return holding_; }
  bool FlushHeldWrites(bool& restored);
  bool DropHeldWrites();
  // Counts, over the engine's open indexes, the changes it made to them or learnt of (a node,
  // tag header or header written, a header read again, the kept nodes dropped, a file opened or
  // closed): a copy of a cursor taken at one count still stands where it stood while the count
  // is the same.
  static std::uint64_t Generation();
  // Whether the kept copy of `page` passed the tree editor's checks since it was read; a write
  // of the node clears the mark. Without a cache nothing is marked.
  bool NodeChecked(std::uint32_t page) const {
    if (!held_nodes_.empty()) {
      if (const auto held = held_nodes_.find(page); held != held_nodes_.end()) {
        return held->second.checked;
      }
    }
    const auto hit = cache_.find(page);
    return hit != cache_.end() && hit->second.checked;
  }
  void MarkNodeChecked(std::uint32_t page) {
    if (const auto held = held_nodes_.find(page); held != held_nodes_.end()) {
      held->second.checked = true;
    }
    const auto hit = cache_.find(page);
    if (hit != cache_.end()) hit->second.checked = true;
  }

  const MdxHeader& header() const { return header_; }
  MdxHeader& header() { return header_; }
  const std::string& name() const { return name_; }
  os::File& file() { return file_; }
  std::uint64_t size() const { return size_; }

 private:
  void CorruptHeader();
  static void Changed();

  os::File file_;
  MdxHeader header_;
  std::string name_;
  std::uint64_t size_ = 0;
  std::size_t cache_nodes_ = 0;
  struct CachedNode {
    NodeBytes node;
    int level;
    bool checked = false;
  };
  std::unordered_map<std::uint32_t, CachedNode> cache_;
  bool holding_ = false;
  std::uint64_t hold_size_ = 0;  // the file's size when the hold began
  struct HeldNode {
    NodeBytes node;
    bool checked = false;
  };
  std::unordered_map<std::uint32_t, HeldNode> held_nodes_;
  std::unordered_map<int, TagHeader> held_tag_headers_;
  bool held_header_ = false;
};

// A position in one tag. Attach before use; the cursor keeps a copy of every node on the way
// from the root to the current leaf, so stepping inside a leaf reads nothing.
class TagCursor {
 public:
  void Attach(MdxFile* file, const TagHeader& header, KeyComparator compare,
              const IndexErrorContext& context);
  void SetContext(const IndexErrorContext& context) { context_ = context; }
  void SetHeader(const TagHeader& header);

  // Each answers false after reporting a fault; the position is then undefined (Reset).
  bool First();
  bool Last();
  // Steps to the next item; at the last item sets EOF and stays there.
  bool Next();
  // Steps to the previous item; at the first item sets BOF and stays there.
  bool Prior();
  // Positions at the first key not lower than `key` over `length` bytes (under the tag's
  // comparator). Beyond every key: EOF, one past the last item. `found`: the key there equals
  // `key` over `length` bytes.
  bool Seek(const std::uint8_t* key, int length, bool& found);

  // Forgets the position (after another program changed the file).
  void Reset();
  bool HasPosition() const { return !path_.empty(); }
  bool AtEnd() const { return eof_; }
  bool AtStart() const { return bof_; }
  void SetAtEnd(bool flag) { eof_ = flag; }
  void SetAtStart(bool flag) { bof_ = flag; }
  // Whether the position stands on an item (not on an empty tag or one past the last item).
  bool OnItem() const;
  // The record number and key of the current item (OnItem() must hold).
  std::uint32_t Record() const;
  const std::uint8_t* Key() const;
  int KeyLength() const { return key_length_; }
  KeyComparator Comparator() const { return compare_; }
  std::uint32_t LeafPage() const { return path_.empty() ? 0 : path_.back().page; }
  // The key of the current leaf's last item (null when the cursor stands on no item): every key
  // from the current one to it lies at or below it in the tag's order.
  const std::uint8_t* LeafLastKey() const;
  int Position() const { return path_.empty() ? -1 : path_.back().position; }
  // The items of the current leaf from the current one on: how many (0 when the cursor stands
  // on no item), the record and key of the one `ahead` items on (ahead below that count), and
  // a step `ahead` items on within the leaf. A walk takes a leaf's items through these without
  // the checks of a step between leaves.
  int ItemsLeftInLeaf() const;
  std::uint32_t RecordAhead(int ahead) const;
  const std::uint8_t* KeyAhead(int ahead) const;
  void SkipInLeaf(int ahead);
  // Pages of the nodes on the way down, root first (for checks of the tree's shape).
  std::vector<std::uint32_t> PathPages() const;

 private:
  struct Level {
    std::uint32_t page = 0;
    int position = 0;
    NodeBytes node{};
  };

  NodeView View(const Level& level) const {
    return NodeView(level.node.data(), item_length_, key_length_);
  }
  // Reads and checks the node at `page` as the next level below the current path.
  bool Push(std::uint32_t page);
  // Descends from the node on top of the path along the first (or last) child to a leaf.
  bool DescendEdge(bool leftmost);
  bool CountLeaf();
  // Starts the leaf count again when a step goes the other way than the walk so far.
  void TurnTo(int direction);
  bool Fail(std::uint16_t code, const std::string& text);
  bool BadPage(std::uint32_t page);
  bool OutOfOrder();

  MdxFile* file_ = nullptr;
  IndexErrorContext context_;
  KeyComparator compare_ = CompareCharKeys;
  std::uint32_t root_ = 0;
  int key_length_ = 0;
  int item_length_ = 0;
  int max_keys_ = 0;
  std::vector<Level> path_;
  bool bof_ = false;
  bool eof_ = false;
  // Leaves entered since the walk last started or turned round, and the way it goes (1 on,
  // -1 back, 0 from a First, Last or Seek): a sound tree shows every leaf once per direction.
  std::uint64_t leaves_walked_ = 0;
  int walk_direction_ = 0;
};

}  // namespace vx
