#pragma once
// Index orders of the work areas: opening a table's .MDX (SetIndexTo), choosing the controlling
// order (Set_Order_To, SetOrderToTag), moving through it (the work-area layer's index hooks) and
// searching it by key (Find). IndexInit installs the hooks at start-up; the work-area layer
// never names this unit. Key maintenance on edits and index building live elsewhere.
//
// Per work area: the open file, one tag descriptor per tag (its header, comparator, key maker
// and a cursor over its tree), the controlling tag and the natural-order flag:
//
//   closed --SetIndexTo--> open, tag 1 controlling, on its first visible record
//   open --Set_Order_To(n)--> tag n controlling, synchronized with the current record
//   open --Set_Order_To(0)--> natural order (the index stays open)
//   open --CloseIndex / closing the table / ShutdownIndex--> closed
//
// Every cursor keeps its own copy of the nodes from its root to its leaf, so switching orders
// never re-seeks a position; a change by another program (the semaphore's update counter)
// forgets every position and re-synchronizes the controlling order with the current record.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/index/index_state.h"
#include "engine/index/key_maker.h"
#include "engine/index/mdx_file.h"
#include "engine/table/dbf_file.h"

namespace vx {

// The current engine's search switches and the result of its last search: whether the last Find
// (or seek) found its key; whether Find pads character texts with blanks to the key length
// (off); whether a Find that misses stands on the next higher key (off).
inline constexpr EngineField<&IndexState::index_found> IndexFound;
inline constexpr EngineField<&IndexState::key_padding> KeyPadding;
inline constexpr EngineField<&IndexState::soft_seek> SoftSeek;
// Bytes of index nodes kept in memory per open index (1 MiB; 0: none). Only indexes of tables
// that no other program can change use it (exclusive tables, or sharing off); in shared mode
// every node is read from the file.
inline constexpr EngineField<&IndexState::node_cache_budget> NodeCacheBudget;

// One open tag of a work area.
struct OrderTag {
  int tag_number = 0;
  std::string name;
  TagHeader header;
  bool anchor_modified = false;
  KeyComparator compare = CompareCharKeys;
  bool character = false;
  bool descending = false;
  bool soundex = false;
  TagCursor cursor;
  KeyBuffer current_key{};
  TagExpressions expressions;
  // The record's key before an edit, and whether the record was in the tag then.
  KeyBuffer remembered_key{};
  bool remembered_in = false;
  std::uint32_t remembered_record = 0;
};

// Opens an index for the selected table, after closing the open one. Without a name, the
// production index (the table's name with "MDX"); a name without extension gets "MDX", a name
// without a directory is taken from the table's directory. A missing file is error 2
// "SetIndexTo(<name>)"; see mdx_file.h for damaged files. Answers whether the index is open.
bool SetIndexTo(std::string_view name = {});
// Opens the production index when the table's header says it has one (and the file exists).
bool OpenProductionIndex();
// Selects order n (0 natural, 1..tag count); errors 220 and 221 as the messages say.
void Set_Order_To(int n);
// Selects the first tag (in tag-table order) whose name begins with `name` (trimmed, cut to
// 10, upper-cased); an empty name selects natural order. Error 220 when none matches.
bool SetOrderToTag(std::string_view name);
// The controlling tag's number; 0 in natural order, with no index or no table.
int CurrentOrder();
// Searches the controlling order for a key text; answers the found flag (IndexFound). Not
// found: the area goes to EOF, or with SoftSeek stays on the next higher key. An empty text
// finds the first key of a character tag (it begins every key; padded, it is the blank key)
// and nothing in a tag of numbers or dates.
bool Find(std::string_view text);
// Find with a text in the bytes the table stores (its own code page), for callers that convert
// the user's text themselves: an OEM table's text is not converted from ANSI, which could not
// give back every OEM character.
bool FindStored(std::string_view stored);
// Appends of many records in one call on the selected area: while the scope lasts, the first
// append takes the semaphore's update bracket and keeps it, and an append that ends 50 ms or
// more after the bracket was taken lets it go, so other programs' readers and writers wait no
// longer than that; the scope's end lets it go too. Under the bracket each append makes its
// keys and its record waits behind; letting the bracket go writes the records, then each tag's
// keys sorted, each changed page once (a failed write takes back every record appended under
// the bracket): other programs, locked out meanwhile, see a key only with its record. A single
// append outside a batch keeps the bracket for itself alone. Nested scopes count as one.
class AppendBatch {
 public:
  AppendBatch();
  ~AppendBatch();  // quietly, keeping an error already recorded
  AppendBatch(const AppendBatch&) = delete;
  AppendBatch& operator=(const AppendBatch&) = delete;
  // Ends the batch at once; false after a report (the held writes could not be written).
  bool Close();

 private:
  int area_ = 0;
};

// A walk of the selected area's controlling order that takes many items under one read hold,
// for a caller that reads the records itself. From the first key at or above `from` (as Find
// takes it in stored bytes; none: the first key) to the last key not above `to` (a character
// key compared over the length of `to`, so every key it begins is in; none: the last key).
// The walk keeps a copy of its place: while nothing was written to the index since, the next
// call goes on from it; otherwise it seeks the last key taken again and steps past the items
// of that key whose records it took (items other programs put in front of them stay behind).
// The area's record and the order's own position are left alone (the order is put back on the
// record by the next navigation).
struct OrderWalk {
  std::optional<std::string> from;
  std::optional<std::string> to;
  bool started = false;
  bool done = false;
  std::uint64_t generation = 0;
  TagCursor place;
  KeyBuffer last_key{};
  std::vector<std::uint32_t> last_key_records;
};
// Appends up to `count` record numbers of the next items to `records`; answers how many (0 at
// the end, and after a report).
std::size_t NextOrderItems(OrderWalk& walk, std::size_t count,
                           std::vector<std::uint32_t>& records);
// Puts the selected area's controlling order (every open order with `all`) on the current record,
// after it was read by number. A record that meets a tag's FOR condition but is not found is
// error 212: "Key: "<key>" not in index: <tag>. [SyncIndex-1] Record: <n>" when no item has its
// key, "Record with key: "<key>" not in index: <tag>. [SyncIndex-2]" when none of the items with
// its key is the record's (a unique tag holds one record of each key: its item is enough). A
// record the FOR condition leaves out, or no current record, puts the controlling order at EOF
// and every other order on its last key. Answers false after a report.
bool SyncIndex(bool all);
// The softer re-positioning of navigation: the controlling order only, with the key made from
// the record as the file holds it now. A record the FOR condition leaves out leaves the order
// quietly on the next higher key; one that meets it but is not found is error 212
// "Record with key: "<key>" not in index: <tag>. [SoftSyncIndex]".
bool SoftSyncIndex();
// Closes the index of the selected area (writing what changed).
void CloseIndex();
// The tag name of order n (empty when not open), the index file name (empty when none), and
// both for messages: "<file> [tag: <name>]".
std::string OrderTagName(int n);
std::string IndexFileName();
std::string OrderDescription(int n);
// The current record's key of order n as display text (date in the current format, number
// with the expression's width and decimals, characters as stored); empty without a key maker.
std::string OrderKeyText(int n);
// Whether order n's keys are in another writer's signed-byte order rather than this engine's
// (ProbeKeyCollation: a few node reads): keys this engine adds to it would land where that
// writer does not look for them.
bool OrderInSignedByteOrder(int n);
// Reads order n in its writer's signed-byte order (`on`) or in this engine's byte order again:
// its walks and seeks then find every key where that writer put it. Only for reading: a caller
// that turns it on refuses edits meanwhile. Answers false when n is no character tag.
bool ReadInWritersOrder(int n, bool on);
// The tag list of an index file (given name with default extension "MDX", in the table's
// directory unless it has a path): two lines per tag, "NAME,T|F,T|F,KEY" (descending, unique)
// and the FOR condition (or an empty line). The list is emptied first.
void TagList(std::vector<std::string>& list, const std::string& table_file,
             std::string_view index_name = {});

// The path of a table's index file: no name gives the production index (the table's name with
// "MDX"); a name without extension gets "MDX", one without a directory the table's directory.
std::string IndexPath(const TableRecord& table, std::string_view name);

// The open tag of order n in the selected area (1..tag count), or null.
OrderTag* OrderOf(int n);
int OrderCount();

// Start-up: fills the work-area layer's index hook table and clears every area's orders. Error
// 254 when an index engine is already installed. Shut-down closes every area's index.
void IndexInit();
void ShutdownIndex();

}  // namespace vx
