#include "engine/index/mdx_file.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <memory>

#include "engine/foundation/dates.h"
#include "engine/foundation/errors.h"
#include "engine/foundation/strings.h"
#include "engine/index/index_state.h"

namespace vx {

namespace {

// Deeper trees than this cannot come from a real file: even nodes of two keys reach 2^31
// records within 31 levels.
constexpr std::size_t kMaxDepth = 32;

std::string CorruptText(const std::string& file_name) {
  return "Invalid dBASE key expression or corrupted index file " + file_name;
}

}  // namespace

bool MdxFile::Open(const std::string& path, int open_mode) {
  Changed();
  name_ = path;
  const int code = os::File::Open(path, open_mode, file_);
  if (code != 0) {
    SetEngineError(static_cast<std::uint16_t>(code), "Unable to open index: " + path);
    return false;
  }
  // Indexes only grow while open: rebuilds and repairs need the file to themselves.
  file_.AssumeNoCuts();
  RefreshSize();
  if (size_ < kMdxMinFileSize) {
    file_.Close();
    SetEngineError(222, "Unable to open index: " + path);
    return false;
  }
  if (!ReadHeader()) {
    file_.Close();
    return false;
  }
  return true;
}

bool MdxFile::CreateMdxHeader(const std::string& path, const std::string& table_file,
                              int open_mode) {
  if (os::FileExists(path)) {
    name_ = path;
    const int code = os::File::Open(path, open_mode, file_);
    if (code != 0) {
      SetEngineError(static_cast<std::uint16_t>(code), "Unable to open index: " + path);
      return false;
    }
    file_.AssumeNoCuts();
    RefreshSize();
    if (size_ < kMdxHeaderSize || !ReadHeader()) {
      if (size_ < kMdxHeaderSize) SetEngineError(222, "Unable to open index: " + path);
      file_.Close();
      return false;
    }
    return true;
  }
  os::File file;
  const int code = os::File::Create(path, file);
  if (code != 0) {
    SetEngineError(static_cast<std::uint16_t>(code),
                   "Error writing index file: " + path + " [CreateMdxHeader]");
    return false;
  }
  return CreateMdxHeader(std::move(file), path, table_file);
}

bool MdxFile::CreateMdxHeader(os::File file, const std::string& path,
                              const std::string& table_file) {
  name_ = path;
  file_ = std::move(file);
  file_.AssumeNoCuts();
  RefreshSize();
  if (size_ > 0) {
    if (size_ < kMdxHeaderSize || !ReadHeader()) {
      if (size_ < kMdxHeaderSize) SetEngineError(222, "Unable to open index: " + path);
      file_.Close();
      return false;
    }
    return true;
  }
  int code = 0;
  const std::string today = TodayStored();
  header_ = NewMdxHeader(SplitPath(table_file).name, std::stoi(today.substr(0, 4)),
                         std::stoi(today.substr(4, 2)), std::stoi(today.substr(6, 2)), true);
  if (code == 0) code = file_.WriteAt(0, std::as_bytes(std::span(header_.bytes)));
  if (code != 0) {
    file_.Close();
    SetEngineError(static_cast<std::uint16_t>(code),
                   "Error writing index file: " + path + " [CreateMdxHeader]");
    return false;
  }
  header_.dirty = false;
  file_.AssumeNoCuts();
  RefreshSize();
  return true;
}

void MdxFile::RefreshSize() {
  std::uint64_t size = 0;
  if (file_.Size(size) == 0) size_ = size;
}

bool MdxFile::WriteNode(std::uint32_t page, const NodeBytes& node) {
  Changed();
  if (holding_) {
    // What the tree editor writes passes its checks (it keeps them); the mark saves reading
    // a held node through them again at every insert into it.
    held_nodes_[page] = HeldNode{node, true};
  } else if (const int code =
                 file_.WriteAt(std::uint64_t{page} * kMdxPageSize, std::as_bytes(std::span(node)));
             code != 0) {
    SetEngineError(static_cast<std::uint16_t>(code), "Error writing index file: " + name_);
    cache_.erase(page);
    return false;
  }
  const std::uint64_t end = std::uint64_t{page} * kMdxPageSize + kMdxNodeSize;
  if (end > size_) size_ = end;
  const auto hit = cache_.find(page);
  if (hit != cache_.end()) {
    hit->second.node = node;
    hit->second.checked = false;
  }
  return true;
}

std::uint32_t MdxFile::AppendNode() {
  RefreshSize();
  // New nodes go at the header's page counter, as other programs put them: a file cut short
  // still has live pages named below the counter past its end, which a node at the file's end
  // would overwrite. A counter below the file's end (a program stopped between writing a node
  // and the counter, or a damaged counter) does not take pages that may be live: the node goes
  // at the end then. A file whose size is not a whole number of pages counts its last page.
  const std::uint64_t end = (size_ + kMdxPageSize - 1) / kMdxPageSize;
  const std::uint64_t page = std::max<std::uint64_t>(GetLe32(header_.bytes.data() + 32), end);
  if (page + 2 > 0xFFFFFFFFu) {
    SetEngineError(222, "Index file too large: " + name_);
    return 0;
  }
  NodeBytes zero{};
  if (!WriteNode(static_cast<std::uint32_t>(page), zero)) return 0;
  PutLe32(header_.bytes.data() + 32, static_cast<std::uint32_t>(page + 2));
  header_.dirty = true;
  if (holding_) {
    held_header_ = true;
    return static_cast<std::uint32_t>(page);
  }
  // The counter goes to the disk before the node can be linked: other programs allocate at the
  // counter, and a program that stops before the header is written must not leave a live node
  // beyond it.
  const int code = file_.WriteAt(32, std::as_bytes(std::span(header_.bytes).subspan(32, 4)));
  if (code != 0) {
    SetEngineError(static_cast<std::uint16_t>(code),
                   "Error writing index file: " + name_ + " [AppendNode]");
    return 0;
  }
  return static_cast<std::uint32_t>(page);
}

bool MdxFile::WriteTagHeader(int tag, const TagHeader& header) {
  if (tag < 1 || tag > header_.TagCount()) {
    CorruptHeader();
    return false;
  }
  Changed();
  if (holding_) {
    held_tag_headers_[tag] = header;
    return true;
  }
  const std::uint32_t page = header_.EntryAt(tag).header_page;
  const int code =
      file_.WriteAt(std::uint64_t{page} * kMdxPageSize, std::as_bytes(std::span(header.bytes)));
  if (code != 0) {
    SetEngineError(static_cast<std::uint16_t>(code), "Error writing index file: " + name_ +
                                                         " [tag: " + header_.TagName(tag) +
                                                         "] [WriteAnchor]");
    return false;
  }
  return true;
}

bool MdxFile::WriteHeader() {
  Changed();
  if (holding_) {
    held_header_ = true;
    header_.dirty = false;
    return true;
  }
  const int code = file_.WriteAt(0, std::as_bytes(std::span(header_.bytes)));
  if (code != 0) {
    SetEngineError(static_cast<std::uint16_t>(code), "Error writing index file: " + name_);
    return false;
  }
  header_.dirty = false;
  return true;
}

void MdxFile::CorruptHeader() { SetEngineError(222, CorruptText(name_)); }

bool MdxFile::ReadHeader() {
  // A header read anew may name pages other programs appended since the size was last taken.
  Changed();
  RefreshSize();
  std::size_t got = 0;
  const int code = file_.ReadAt(0, std::as_writable_bytes(std::span(header_.bytes)), got);
  if (code != 0 || got != kMdxHeaderSize) {
    SetEngineError(code != 0 ? static_cast<std::uint16_t>(code) : 222,
                   "Unable to open index: " + name_);
    return false;
  }
  header_.dirty = false;
  if (!HeaderFault(header_).empty()) {
    CorruptHeader();
    return false;
  }
  return true;
}

void MdxFile::HoldWrites() {
  if (holding_) return;
  RefreshSize();
  hold_size_ = size_;
  holding_ = true;
}

bool MdxFile::FlushHeldWrites(bool& restored) {
  restored = true;
  if (!holding_) return true;
  holding_ = false;
  // Each write names its bytes where they are held; the new pages (appended one after another)
  // are gathered into runs written with one call each.
  struct Write {
    std::uint64_t offset;
    std::span<const std::byte> bytes;
    std::span<std::byte> before{};  // what the file held there (within its old size)
  };
  std::vector<Write> writes;
  const auto bytes_of = [](const auto& array) { return std::as_bytes(std::span(array)); };
  if (held_header_) writes.push_back({0, bytes_of(header_.bytes)});
  std::vector<std::uint32_t> pages;
  pages.reserve(held_nodes_.size());
  for (const auto& [page, node] : held_nodes_) pages.push_back(page);
  std::sort(pages.begin(), pages.end());
  // New pages first: until a page that was there before links them, they are not part of a tree.
  const auto first_new = std::partition_point(pages.begin(), pages.end(), [&](std::uint32_t p) {
    return std::uint64_t{p} * kMdxPageSize < hold_size_;
  });
  std::vector<std::byte> fresh;
  fresh.reserve(static_cast<std::size_t>(pages.end() - first_new) * kMdxNodeSize);
  std::vector<std::pair<std::uint64_t, std::size_t>> runs;  // offset, bytes
  for (auto it = first_new; it != pages.end(); ++it) {
    const std::uint64_t offset = std::uint64_t{*it} * kMdxPageSize;
    const auto node = bytes_of(held_nodes_[*it].node);
    if (runs.empty() || runs.back().first + runs.back().second != offset) {
      runs.emplace_back(offset, 0);
    }
    fresh.insert(fresh.end(), node.begin(), node.end());
    runs.back().second += node.size();
  }
  std::size_t at = 0;
  for (const auto& [offset, length] : runs) {
    writes.push_back({offset, std::span<const std::byte>(fresh).subspan(at, length)});
    at += length;
  }
  for (auto it = pages.begin(); it != first_new; ++it) {
    writes.push_back({std::uint64_t{*it} * kMdxPageSize, bytes_of(held_nodes_[*it].node)});
  }
  std::vector<int> tags;
  for (const auto& [tag, header] : held_tag_headers_) tags.push_back(tag);
  std::sort(tags.begin(), tags.end());
  for (int tag : tags) {
    writes.push_back({std::uint64_t{header_.EntryAt(tag).header_page} * kMdxPageSize,
                      bytes_of(held_tag_headers_[tag].bytes)});
  }
  Changed();
  // The bytes each write replaces, read before the first write.
  std::size_t before_bytes = 0;
  for (const Write& w : writes) {
    if (w.offset < hold_size_) before_bytes += std::min<std::uint64_t>(w.bytes.size(), hold_size_ - w.offset);
  }
  // (Not zeroed: every byte is read into before it is used.)
  const std::unique_ptr<std::byte[]> before(new std::byte[std::max<std::size_t>(before_bytes, 1)]);
  int code = 0;
  at = 0;
  for (Write& w : writes) {
    if (w.offset >= hold_size_) continue;
    const auto length =
        static_cast<std::size_t>(std::min<std::uint64_t>(w.bytes.size(), hold_size_ - w.offset));
    w.before = std::span(before.get() + at, length);
    at += length;
    std::size_t got = 0;
    code = file_.ReadAt(w.offset, w.before, got);
    if (code == 0 && got != length) code = 222;
    if (code != 0) break;
  }
  std::size_t written = 0;
  if (code == 0) {
    for (; written < writes.size(); ++written) {
      code = file_.WriteAt(writes[written].offset, writes[written].bytes);
      if (code != 0) break;
    }
  }
  if (code == 0) {
    held_nodes_.clear();
    held_tag_headers_.clear();
    held_header_ = false;
    header_.dirty = false;
    RefreshSize();
    return true;
  }
  // The write that failed may have changed part of its bytes: it is put back with the others.
  const std::size_t tried = std::min(written + 1, writes.size());
  for (std::size_t i = tried; i-- > 0;) {
    if (!writes[i].before.empty() && file_.WriteAt(writes[i].offset, writes[i].before) != 0) {
      restored = false;
    }
  }
  held_nodes_.clear();
  held_tag_headers_.clear();
  held_header_ = false;
  std::uint64_t size = 0;
  if (file_.Size(size) != 0 || (size > hold_size_ && file_.Truncate(hold_size_) != 0)) {
    restored = false;
  }
  cache_.clear();
  SetEngineError(static_cast<std::uint16_t>(code), "Error writing index file: " + name_);
  {
    QuietErrors quiet;
    const std::uint16_t error = EngineErrorCode;
    const std::string message = LastErrorMessage;
    if (!ReadHeader()) restored = false;
    EngineErrorCode = error;
    LastErrorMessage = message;
  }
  return false;
}

bool MdxFile::DropHeldWrites() {
  holding_ = false;
  held_nodes_.clear();
  held_tag_headers_.clear();
  held_header_ = false;
  cache_.clear();
  return ReadHeader();
}

void MdxFile::Changed() { ++CurrentState<IndexState>().index_generation; }

std::uint64_t MdxFile::Generation() { return CurrentState<IndexState>().index_generation; }

int MdxFile::Close() {
  Changed();
  if (holding_ && file_.IsOpen()) {
    QuietErrors quiet;
    bool restored = true;
    FlushHeldWrites(restored);
  }
  return file_.IsOpen() ? file_.Close() : 0;
}

bool MdxFile::ReadTagHeader(int tag, TagHeader& out) {
  if (tag < 1 || tag > header_.TagCount()) {
    CorruptHeader();
    return false;
  }
  if (const auto held = held_tag_headers_.find(tag); held != held_tag_headers_.end()) {
    out = held->second;
    return true;
  }
  const std::uint32_t page = header_.EntryAt(tag).header_page;
  const std::uint64_t offset = std::uint64_t{page} * kMdxPageSize;
  // A tag header inside the file header or past the end is a damaged entry.
  if (page < kMdxHeaderSize / kMdxPageSize || offset + kTagHeaderSize > size_) {
    CorruptHeader();
    return false;
  }
  std::size_t got = 0;
  const int code = file_.ReadAt(offset, std::as_writable_bytes(std::span(out.bytes)), got);
  if (code != 0 || got != kTagHeaderSize) {
    SetEngineError(code != 0 ? static_cast<std::uint16_t>(code) : 222,
                   "Error reading index file: " + name_ + " [tag: " + header_.TagName(tag) +
                       "] [ReadAnchorNodes]");
    return false;
  }
  if (!TagHeaderFault(out).empty()) {
    CorruptHeader();
    return false;
  }
  return true;
}

void MdxFile::SetNodeCache(std::uint32_t budget) {
  cache_nodes_ = budget / kMdxNodeSize;
  cache_.clear();
}

bool MdxFile::ReadNode(std::uint32_t page, NodeBytes& out, const IndexErrorContext& context,
                       int level) {
  if (!held_nodes_.empty()) {
    if (const auto held = held_nodes_.find(page); held != held_nodes_.end()) {
      out = held->second.node;
      return true;
    }
  }
  if (cache_nodes_ > 0) {
    const auto hit = cache_.find(page);
    if (hit != cache_.end()) {
      out = hit->second.node;
      return true;
    }
  }
  const std::uint64_t offset = std::uint64_t{page} * kMdxPageSize;
  const auto fail = [&](std::uint16_t code) {
    SetEngineError(code, "Error reading index file: " + name_ + " [tag: " + context.tag_name +
                             "] [SeekAndRead]");
    return false;
  };
  if (offset + kMdxNodeSize > size_) {
    // Another program may have appended the page since the size was taken.
    RefreshSize();
    if (offset + kMdxNodeSize > size_) return fail(222);
  }
  std::size_t got = 0;
  const int code = file_.ReadAt(offset, std::as_writable_bytes(std::span(out)), got);
  if (code != 0) return fail(static_cast<std::uint16_t>(code));
  if (got != kMdxNodeSize) return fail(222);
  if (cache_nodes_ > 0) {
    if (cache_.size() >= cache_nodes_) {
      int deepest = 0;
      for (const auto& [p, cached] : cache_) deepest = std::max(deepest, cached.level);
      std::erase_if(cache_, [&](const auto& entry) { return entry.second.level == deepest; });
      if (cache_.size() >= cache_nodes_) cache_.clear();
    }
    cache_.emplace(page, CachedNode{out, level});
  }
  return true;
}

void TagCursor::Attach(MdxFile* file, const TagHeader& header, KeyComparator compare,
                       const IndexErrorContext& context) {
  file_ = file;
  compare_ = compare;
  context_ = context;
  SetHeader(header);
}

void TagCursor::SetHeader(const TagHeader& header) {
  root_ = header.RootPage();
  key_length_ = header.KeyLength();
  item_length_ = header.ItemLength();
  max_keys_ = header.MaxKeys();
  Reset();
}

void TagCursor::Reset() {
  path_.clear();
  bof_ = false;
  eof_ = false;
}

bool TagCursor::Fail(std::uint16_t code, const std::string& text) {
  path_.clear();
  SetEngineError(code, text);
  return false;
}

bool TagCursor::BadPage(std::uint32_t page) {
  return Fail(254, "Invalid Node Number (" + std::to_string(page) + ") in DBF Area " +
                       std::to_string(context_.area) + ", Order " + std::to_string(context_.order) +
                       " [GetNode]");
}

bool TagCursor::Push(std::uint32_t page) {
  if (page < kMdxHeaderSize / kMdxPageSize) return BadPage(page);
  if (path_.size() >= kMaxDepth) return BadPage(page);
  for (const Level& level : path_) {
    if (level.page == page) return BadPage(page);
  }
  Level& level = path_.emplace_back();
  level.page = page;
  level.position = 0;
  if (!file_->ReadNode(page, level.node, context_, static_cast<int>(path_.size()) - 1)) {
    path_.clear();
    return false;
  }
  // Bytes 2..3 of the count are always 0 on disk; the count is the low half.
  const int count = View(level).KeyCount();
  if (!CountFits(count, item_length_, max_keys_)) {
    return OutOfOrder();
  }
  return true;
}

bool TagCursor::CountLeaf() {
  // Every leaf of a sound tree is visited once per walk; more visits than the file has nodes
  // means that branches share children.
  if (++leaves_walked_ > file_->size() / kMdxNodeSize + 1) {
    return BadPage(path_.empty() ? 0 : path_.back().page);
  }
  return true;
}

void TagCursor::TurnTo(int direction) {
  // A walk that turns round visits the leaves behind it again: only a walk in one direction
  // can tell shared children from a user going back and forth.
  if (walk_direction_ != direction) leaves_walked_ = 0;
  walk_direction_ = direction;
}

bool TagCursor::DescendEdge(bool leftmost) {
  while (true) {
    Level& top = path_.back();
    const NodeView view = View(top);
    const int count = view.KeyCount();
    if (view.IsLeaf()) {
      top.position = leftmost ? 0 : std::max(count - 1, 0);
      return CountLeaf();
    }
    top.position = leftmost ? 0 : count;
    if (!Push(view.Child(top.position))) return false;
  }
}

bool TagCursor::First() {
  Reset();
  leaves_walked_ = 0;
  walk_direction_ = 0;
  if (!Push(root_) || !DescendEdge(true)) return false;
  if (View(path_.back()).KeyCount() == 0 && !Next()) return false;
  if (!OnItem()) {
    bof_ = eof_ = true;
  } else {
    bof_ = eof_ = false;
  }
  return true;
}

bool TagCursor::Last() {
  Reset();
  leaves_walked_ = 0;
  walk_direction_ = 0;
  if (!Push(root_) || !DescendEdge(false)) return false;
  if (View(path_.back()).KeyCount() == 0 && !Prior()) return false;
  if (!OnItem()) {
    bof_ = eof_ = true;
  } else {
    bof_ = eof_ = false;
  }
  return true;
}

bool TagCursor::OnItem() const {
  if (path_.empty()) return false;
  const Level& leaf = path_.back();
  return leaf.position >= 0 && leaf.position < View(leaf).KeyCount();
}

std::uint32_t TagCursor::Record() const {
  const Level& leaf = path_.back();
  return View(leaf).Pointer(leaf.position);
}

const std::uint8_t* TagCursor::Key() const {
  const Level& leaf = path_.back();
  return View(leaf).Key(leaf.position);
}

int TagCursor::ItemsLeftInLeaf() const {
  return OnItem() ? View(path_.back()).KeyCount() - path_.back().position : 0;
}

std::uint32_t TagCursor::RecordAhead(int ahead) const {
  const Level& leaf = path_.back();
  return View(leaf).Pointer(leaf.position + ahead);
}

const std::uint8_t* TagCursor::KeyAhead(int ahead) const {
  const Level& leaf = path_.back();
  return View(leaf).Key(leaf.position + ahead);
}

void TagCursor::SkipInLeaf(int ahead) {
  // A programming error: the step stays inside the leaf (see ItemsLeftInLeaf).
  assert(ahead >= 0 && ahead < ItemsLeftInLeaf());
  path_.back().position += ahead;
}

const std::uint8_t* TagCursor::LeafLastKey() const {
  if (!OnItem()) return nullptr;
  const Level& leaf = path_.back();
  return View(leaf).Key(View(leaf).KeyCount() - 1);
}

std::vector<std::uint32_t> TagCursor::PathPages() const {
  std::vector<std::uint32_t> pages;
  for (const Level& level : path_) pages.push_back(level.page);
  return pages;
}

bool TagCursor::Next() {
  if (path_.empty()) return First();
  TurnTo(1);
  Level& leaf = path_.back();
  const int count = View(leaf).KeyCount();
  if (leaf.position + 1 < count) {
    ++leaf.position;
    eof_ = false;
    bof_ = false;
    return true;
  }
  // Climb to the nearest ancestor with a child after the one we came from; empty leaves on
  // the way are passed over.
  KeyBuffer last{};
  const bool had_key = OnItem();
  if (had_key) std::memcpy(last.data(), Key(), static_cast<std::size_t>(key_length_));
  std::size_t keep = path_.size() - 1;
  while (true) {
    std::size_t level = keep;
    while (level > 0 && path_[level - 1].position >= View(path_[level - 1]).KeyCount()) --level;
    if (level == 0) {
      // No next leaf: EOF, the position stays on the last item.
      eof_ = true;
      return true;
    }
    path_.resize(level);
    ++path_.back().position;
    if (!Push(View(path_.back()).Child(path_.back().position)) || !DescendEdge(true)) {
      return false;
    }
    if (View(path_.back()).KeyCount() > 0) {
      if (had_key && compare_(Key(), last.data(), key_length_) < 0) return OutOfOrder();
      eof_ = false;
      bof_ = false;
      return true;
    }
    keep = path_.size() - 1;
  }
}

bool TagCursor::OutOfOrder() {
  return Fail(222, CorruptText(file_->name()) + " [tag: " + context_.tag_name + "] [GetNode]");
}

bool TagCursor::Prior() {
  if (path_.empty()) return Last();
  TurnTo(-1);
  Level& leaf = path_.back();
  if (leaf.position > 0) {
    --leaf.position;
    if (leaf.position >= View(leaf).KeyCount()) leaf.position = View(leaf).KeyCount() - 1;
    eof_ = false;
    bof_ = false;
    return true;
  }
  KeyBuffer last{};
  const bool had_key = OnItem();
  if (had_key) std::memcpy(last.data(), Key(), static_cast<std::size_t>(key_length_));
  std::size_t keep = path_.size() - 1;
  while (true) {
    std::size_t level = keep;
    while (level > 0 && path_[level - 1].position == 0) --level;
    if (level == 0) {
      bof_ = true;
      return true;
    }
    path_.resize(level);
    --path_.back().position;
    if (!Push(View(path_.back()).Child(path_.back().position)) || !DescendEdge(false)) {
      return false;
    }
    if (View(path_.back()).KeyCount() > 0) {
      if (had_key && compare_(Key(), last.data(), key_length_) > 0) return OutOfOrder();
      eof_ = false;
      bof_ = false;
      return true;
    }
    keep = path_.size() - 1;
  }
}

bool TagCursor::Seek(const std::uint8_t* key, int length, bool& found) {
  found = false;
  Reset();
  leaves_walked_ = 0;
  walk_direction_ = 0;
  if (!Push(root_)) return false;
  while (true) {
    Level& top = path_.back();
    const NodeView view = View(top);
    const int count = view.KeyCount();
    // Lower bound: the first item whose key is not lower than the search key.
    int low = 0;
    int high = count;
    while (low < high) {
      const int mid = (low + high) / 2;
      if (compare_(view.Key(mid), key, length) < 0) {
        low = mid + 1;
      } else {
        high = mid;
      }
    }
    top.position = low;
    if (view.IsLeaf()) break;
    if (!Push(view.Child(low))) return false;
  }
  if (!CountLeaf()) return false;
  Level& leaf = path_.back();
  const int count = View(leaf).KeyCount();
  if (leaf.position >= count) {
    // Beyond every key of this leaf: the answer is the first item of the next one.
    leaf.position = std::max(count - 1, 0);
    if (count == 0) leaf.position = 0;
    const std::vector<Level> before = path_;
    if (count > 0 || path_.size() > 1) {
      if (!Next()) return false;
    } else {
      eof_ = true;
    }
    if (eof_) {
      path_ = before;
      path_.back().position = count;
      eof_ = true;
      return true;
    }
  }
  eof_ = false;
  bof_ = false;
  found = OnItem() && compare_(Key(), key, length) == 0;
  return true;
}

}  // namespace vx
