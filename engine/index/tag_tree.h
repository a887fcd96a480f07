#pragma once
// Changing one tag's B-tree in place: inserting a key (splitting full nodes up the descent path
// and growing a new root) and removing one (unlinking emptied nodes, shrinking the tree when
// the root is left with a single child). Nodes are never merged; pages of unlinked nodes are
// abandoned. New nodes go at the index header's page counter (MdxFile::AppendNode).
//
// Invariants every operation keeps (and CheckTagTree in index_check.h verifies):
//   - a branch item's key is the highest key of its child's subtree; the subtree behind the
//     trailing pointer holds the keys above the last item's key;
//   - a leaf's trailing pointer is 0, a branch's is not;
//   - every node holds at most the tag's keys per node, and only the root may be empty;
//   - keys are in order under the tag's comparator; a new key goes in front of its equals.
//
// The caller holds whatever lock keeps other programs out (the semaphore's lock bracket) and
// writes the tag header when `anchor_modified` is set.
//
// Before anything of an edit is written, CheckInsertPath and CheckDeletePath read (and only
// read) the nodes an insert or a removal would change and refuse a damaged way down, naming the
// page: a node on a tag header or another tag's root, a node past the end of the file,
// a key count above the tag's capacity, a leaf at another depth than the tree's first leaf, a
// page met twice on the way (a cycle).

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/index/index_state.h"
#include "engine/index/key_codec.h"
#include "engine/index/mdx_file.h"

namespace vx {

struct TagTree {
  MdxFile* file = nullptr;
  TagHeader* header = nullptr;
  KeyComparator compare = CompareCharKeys;
  IndexErrorContext context{};
  bool anchor_modified = false;  // root page or "has held a key" changed
  // Pages no node of this tag may overlap: every tag header, the other tags' roots.
  struct ForeignPage {
    std::uint32_t page = 0;
    std::string what{};  // "the tag header of tag NAME", for the message
  };
  std::vector<ForeignPage> foreign_pages{};
};

enum class TreeResult { kDone, kUnchanged, kFailed };

// The moments inside a node split at which the file is between two sound states, named for a
// test that stops the program there (to prove that a check finds what such a crash leaves and
// that a rebuild mends it):
//   kNewPageWritten    the new node holds the upper half; the old node is not yet rewritten
//   kBothPagesWritten  both halves are written; the parent does not yet know the new node
//   kNewRootWritten    a split root's new parent is written; the tag header does not name it
// `leaf` tells whether the node split is a leaf. No program sets the hook; it stays null.
enum class SplitStage { kNewPageWritten, kBothPagesWritten, kNewRootWritten };
using SplitStageHook = void (*)(SplitStage stage, bool leaf);
inline constexpr EngineField<&IndexState::split_stage_test_hook> SplitStageTestHook;

// Inserts (key, record) in front of the keys equal to it. A unique tag that already holds the
// key is left unchanged (kUnchanged). kFailed after a reported read or write fault.
TreeResult InsertKey(TagTree& tree, const std::uint8_t* key, std::uint32_t record);
// Inserts keys[i] with records[i] in turn, as InsertKey each (the tree ends the same), for keys
// in ascending order: each goes down from where its way parts from the key before's, not from
// the root. False after a reported read or write fault.
bool InsertSortedKeys(TagTree& tree, std::span<const std::uint8_t* const> keys,
                      std::span<const std::uint32_t> records);
// Removes the item (key, record). kUnchanged when the tag holds no such item.
TreeResult DeleteKey(TagTree& tree, const std::uint8_t* key, std::uint32_t record);

// Reads the way an insert of `key` would go down, checking every node on it. Answers false
// after a report (222 or 254, the page named); writes nothing.
bool CheckInsertPath(TagTree& tree, const std::uint8_t* key);
// Reads the way to the item (key, record) as a removal would, checking every node on it.
// kUnchanged when the tag holds no such item, kFailed after a report; writes nothing.
TreeResult CheckDeletePath(TagTree& tree, const std::uint8_t* key, std::uint32_t record);

}  // namespace vx
