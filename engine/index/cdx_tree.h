#pragma once
// Writing FoxPro .CDX trees: the encoding of leaves (bit widths and counts worked out afresh for
// the entries they hold) and branches, one entry put into or taken out of a tag's tree in place,
// and a tag's tree written whole from entries in order. The layout is in cdx_file.h; which
// entries an edit of a record changes, and the locks around it, in cdx_orders.h.
//
// Changing a tree in place:
//
//   - The way down to an entry goes by its key and then its record number: a branch entry is
//     its child's last (key, record), so the first branch entry not before the sought pair
//     leads to the leaf that holds it or would hold it.
//   - A leaf or branch whose entries no longer fit in 512 bytes splits in two: the left half
//     keeps its place, the right half goes at the end of the file and into the sibling chain;
//     the parent gets an entry for it, up to a new root (the tag header then names it).
//   - A node left without entries leaves its parent and the sibling chain; a node whose entries
//     fit beside those of its left sibling under the same parent goes into it (merge). A root
//     branch left with one child gives way to it (the tree loses a level); a root left without
//     entries becomes an empty leaf. Pages a tree no longer uses stay in the file, unlisted.
//   - Every page a change writes is read first; when a write fails the pages written go back
//     and the file is cut to its old size, so a change is all or nothing.

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "engine/index/cdx_file.h"

namespace vx {

// Encodes a leaf of `entries` (keys of `key_length` bytes, in order) into 512 bytes, trailing
// `trail` bytes left out; false when they do not fit.
bool EncodeCdxLeaf(const std::vector<CdxEntry>& entries, int key_length, std::uint8_t trail,
                   bool root, std::uint32_t left, std::uint32_t right,
                   std::array<std::uint8_t, kCdxNodeSize>& out);
// Encodes a branch of `entries` (each the last key and record below its child); false when
// they do not fit.
bool EncodeCdxBranch(const std::vector<CdxEntry>& entries, int key_length, bool root,
                     std::uint32_t left, std::uint32_t right,
                     std::array<std::uint8_t, kCdxNodeSize>& out);

enum class CdxChange { kDone, kSkipped, kFailed };

// Puts (key, record) into tag `tag` of `file`, in front of greater records of equal key. A
// unique or candidate tag that holds the key already is left as it is (kSkipped). kFailed
// after a report (222 for damage met on the way, the write error otherwise), nothing changed.
CdxChange CdxInsert(CdxFile& file, std::size_t tag, const std::uint8_t* key,
                    std::uint32_t record);
// Takes (key, record) out of tag `tag`; kSkipped when it is not there.
CdxChange CdxDelete(CdxFile& file, std::size_t tag, const std::uint8_t* key,
                    std::uint32_t record);
// Whether tag `tag` holds (key, record), and (`other`) which record holds the key when
// another does (0: none). False after a report.
bool CdxHolds(CdxFile& file, std::size_t tag, const std::uint8_t* key, std::uint32_t record,
              bool& found, std::uint32_t& other);

// Writes a tag's tree from its entries in the tag's order, at the end of `file` (open for
// writing), leaves filled to `fill` percent; answers the root's offset in `root`. False after
// a report. `next` hands out the entries (false at the end).
bool WriteCdxTree(os::File& file, std::uint64_t& size, int key_length, std::uint8_t trail,
                  int fill,
                  const std::function<bool(const std::uint8_t*& key, std::uint32_t& record)>& next,
                  std::uint32_t& root);

}  // namespace vx
