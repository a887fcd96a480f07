#include "engine/index/index_build.h"

#include <algorithm>
#include <cstring>
#include <queue>
#include <span>

#include "engine/foundation/errors.h"
#include "engine/foundation/file_utils.h"
#include "engine/foundation/strings.h"
#include "engine/index/key_maker.h"
#include "engine/index/orders.h"
#include "engine/table/dbf_records.h"
#include "engine/workarea/locks.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/codepage.h"
#include "platform/os/file.h"

namespace vx {

namespace {

constexpr EngineField<&IndexState::progress_proc> ProgressProc;
constexpr EngineField<&IndexState::progress_context> ProgressContext;
constexpr EngineField<&IndexState::progress_steps> ProgressSteps;
constexpr EngineField<&IndexState::last_runs> LastRuns;

// Bytes read from the table, and bytes of nodes written, per batch.
constexpr std::size_t kBatchBytes = 1 << 20;

void SetText(TagHeader& header, std::size_t offset, const std::string& text) {
  std::memset(header.bytes.data() + offset, 0, kMaxExpressionLength + 1);
  std::memcpy(header.bytes.data() + offset, text.data(),
              std::min<std::size_t>(text.size(), kMaxExpressionLength));
}

// Sorts entry numbers by their entries: quicksort with the median of the first, middle and
// last as pivot, the smaller side recursed into and the larger iterated; short partitions by
// insertion.
class EntrySorter {
 public:
  EntrySorter(const std::uint8_t* entries, int key_length, KeyComparator compare)
      : entries_(entries), key_length_(key_length), size_(key_length + 4), compare_(compare) {}

  bool Less(std::uint32_t a, std::uint32_t b) const {
    const std::uint8_t* x = entries_ + std::size_t{a} * size_;
    const std::uint8_t* y = entries_ + std::size_t{b} * size_;
    const int c = compare_(x, y, key_length_);
    if (c != 0) return c < 0;
    return GetLe32(x + key_length_) < GetLe32(y + key_length_);
  }

  void Sort(std::uint32_t* first, std::uint32_t* last) {
    if (last - first < 2) return;  // also no arithmetic on the null of an empty array
    while (last - first > 16) {
      std::uint32_t* mid = first + (last - first) / 2;
      std::uint32_t* back = last - 1;
      if (Less(*mid, *first)) std::swap(*mid, *first);
      if (Less(*back, *first)) std::swap(*back, *first);
      if (Less(*back, *mid)) std::swap(*back, *mid);
      const std::uint32_t pivot = *mid;
      std::uint32_t* i = first;
      std::uint32_t* j = back;
      while (i <= j) {
        while (Less(*i, pivot)) ++i;
        while (Less(pivot, *j)) --j;
        if (i <= j) std::swap(*i++, *j--);
      }
      if (j + 1 - first < last - i) {
        Sort(first, j + 1);
        first = i;
      } else {
        Sort(i, last);
        last = j + 1;
      }
    }
    for (std::uint32_t* p = first + 1; p < last; ++p) {
      const std::uint32_t v = *p;
      std::uint32_t* q = p;
      while (q > first && Less(v, *(q - 1))) {
        *q = *(q - 1);
        --q;
      }
      *q = v;
    }
  }

 private:
  const std::uint8_t* entries_;
  int key_length_;
  std::size_t size_;
  KeyComparator compare_;
};

// Writes nodes bottom-up at the end of the index file, consecutively, in batches.
//
// Each level of the tree has the node being filled and, once the level has overflowed, the full
// node before it, held back unwritten. A full node is written only when the one after it
// overflows in turn, so at the end the last two nodes of every level can share their entries:
// no node is left with one child or one key, and every leaf stays at the same depth. A leaf
// holds up to the tag's keys per node; a branch up to that many items plus the trailing
// pointer, its children's pages each with the highest key below it.
class TreeWriter {
 public:
  TreeWriter(MdxFile& file, const TagHeader& header, bool unique, KeyComparator compare)
      : file_(file),
        key_length_(header.KeyLength()),
        item_length_(header.ItemLength()),
        max_keys_(header.MaxKeys()),
        unique_(unique),
        compare_(compare) {
    file_.RefreshSize();
    next_page_ = static_cast<std::uint32_t>((file_.size() + kMdxPageSize - 1) / kMdxPageSize);
  }

  bool Add(const std::uint8_t* key, std::uint32_t record) {
    if (unique_ && has_previous_ && compare_(previous_.data(), key, key_length_) == 0) return true;
    std::memcpy(previous_.data(), key, static_cast<std::size_t>(key_length_));
    has_previous_ = true;
    return Push(0, record, key);
  }

  // Writes what is left, level by level upwards; answers the root page (0 after a report).
  std::uint32_t Finish() {
    for (std::size_t level = 0;; ++level) {
      Level& l = levels_[level];
      if (!l.overflowed) {
        // The top level: one node, the root (an empty leaf for a tag without keys). A branch
        // level here always holds the two or more nodes its level below ended with.
        const std::uint32_t root = WriteNode(level, l.filling, false);
        return root != 0 && Flush() ? root : 0;
      }
      Share(level, l.held, l.filling);
      auto held = std::move(l.held);
      auto filling = std::move(l.filling);
      if (WriteNode(level, held, true) == 0 || WriteNode(level, filling, true) == 0) return 0;
    }
  }

  std::uint32_t NextPage() const { return next_page_; }

 private:
  using Entry = std::pair<std::uint32_t, KeyBuffer>;
  struct Level {
    std::vector<Entry> filling;
    std::vector<Entry> held;  // the full node before `filling`, not yet written
    bool overflowed = false;
  };

  // Entries per node: keys in a leaf, children (items and the trailing pointer) in a branch.
  std::size_t Capacity(std::size_t level) const {
    return static_cast<std::size_t>(max_keys_) + (level == 0 ? 0 : 1);
  }

  bool Push(std::size_t level, std::uint32_t pointer, const std::uint8_t* key) {
    if (levels_.size() <= level) levels_.resize(level + 1);
    if (levels_[level].filling.size() == Capacity(level)) {
      Level& l = levels_[level];
      if (l.overflowed) {
        auto held = std::move(l.held);
        if (WriteNode(level, held, true) == 0) return false;
      }
      // WriteNode may have grown levels_: take the level again.
      Level& now = levels_[level];
      now.held = std::move(now.filling);
      now.filling.clear();
      now.overflowed = true;
    }
    Entry e;
    e.first = pointer;
    std::memcpy(e.second.data(), key, static_cast<std::size_t>(key_length_));
    levels_[level].filling.push_back(e);
    return true;
  }

  // Evens out the last two nodes of a level when the last one is short: a leaf needs one key,
  // a branch two children (one item besides its trailing pointer).
  void Share(std::size_t level, std::vector<Entry>& held, std::vector<Entry>& last) const {
    const std::size_t least = level == 0 ? 1 : 2;
    if (last.size() >= least) return;
    const std::size_t total = held.size() + last.size();
    const std::size_t keep = total - total / 2;
    last.insert(last.begin(), held.begin() + static_cast<std::ptrdiff_t>(keep), held.end());
    held.resize(keep);
  }

  // Writes one node of a level (a branch's last entry becomes its trailing pointer) and, with
  // `up`, hands its page and highest key to the level above. Answers the page, 0 after a report.
  std::uint32_t WriteNode(std::size_t level, const std::vector<Entry>& entries, bool up) {
    NodeBytes node{};
    const int items = static_cast<int>(entries.size()) - (level == 0 ? 0 : 1);
    PutLe32(node.data(), static_cast<std::uint32_t>(std::max(items, 0)));
    for (int i = 0; i < static_cast<int>(entries.size()); ++i) {
      std::uint8_t* item = node.data() + 8 + i * item_length_;
      PutLe32(item, entries[static_cast<std::size_t>(i)].first);
      if (i < items) {
        std::memcpy(item + 4, entries[static_cast<std::size_t>(i)].second.data(),
                    static_cast<std::size_t>(key_length_));
      }
    }
    const std::uint32_t page = next_page_;
    next_page_ += 2;
    pending_.insert(pending_.end(), node.begin(), node.end());
    if (pending_.size() >= kBatchBytes && !Flush()) return 0;
    if (up && !Push(level + 1, page, entries.back().second.data())) return 0;
    return page;
  }

  bool Flush() {
    if (pending_.empty()) return true;
    const std::uint32_t first_page =
        next_page_ - static_cast<std::uint32_t>(pending_.size() / kMdxPageSize);
    const std::uint64_t offset = std::uint64_t{first_page} * kMdxPageSize;
    const int code = file_.file().WriteAt(offset, std::as_bytes(std::span(pending_)));
    if (code != 0) {
      SetEngineError(static_cast<std::uint16_t>(code),
                     "Error writing index file: " + file_.name() + " [MakeIndex]");
      return false;
    }
    pending_.clear();
    file_.RefreshSize();
    return true;
  }

  MdxFile& file_;
  int key_length_;
  int item_length_;
  int max_keys_;
  bool unique_;
  KeyComparator compare_;
  std::uint32_t next_page_ = 0;
  std::vector<Level> levels_{1};
  std::vector<std::uint8_t> pending_;
  KeyBuffer previous_{};
  bool has_previous_ = false;
};

class TagBuilder {
 public:
  TagBuilder(TableRecord& t, MdxFile& file, const TagDefinition& def)
      : t_(t), file_(file), def_(def) {}
  bool Build();

 private:
  bool Fail(std::uint16_t code, const std::string& text) {
    SetEngineError(code, text + " [AddIndexTag()]");
    return false;
  }
  bool PrepareHeader();
  bool Scan();
  bool WriteRun();
  bool Feed(TreeWriter& writer);
  void Progress() {
    if (ProgressProc == nullptr || ProgressSteps <= 0) return;
    if (++done_ % interval_ == 0 && calls_ < ProgressSteps) {
      ProgressProc(ProgressContext, ++calls_, ProgressSteps);
    }
  }

  TableRecord& t_;
  MdxFile& file_;
  const TagDefinition& def_;
  TagHeader header_;
  TagExpressions expressions_;
  KeyComparator compare_ = CompareCharKeys;
  int key_length_ = 0;
  std::size_t entry_size_ = 0;
  std::vector<std::uint8_t> entries_;
  std::size_t count_ = 0;
  std::size_t capacity_ = 0;
  bool met_for_ = false;
  TempFile runs_temp_;  // deleted when the build ends, however it ends
  os::File runs_file_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> runs_;  // offset, entries
  std::uint64_t runs_end_ = 0;
  std::uint64_t done_ = 0;
  std::uint64_t interval_ = 1;
  int calls_ = 0;
};

bool TagBuilder::PrepareHeader() {
  const std::string name = os::AnsiUpperText(TrimText(def_.name));
  if (name.empty() || name.size() > kMaxTagNameLength) {
    return Fail(220, "Invalid tag name \"" + def_.name + "\"");
  }
  const std::string key = TrimText(def_.key_expression);
  if (key.empty()) return Fail(351, "Empty key expression for " + name);
  if (key.size() > kMaxExpressionLength) {
    return Fail(300, "Expression length exceeds 100 bytes");
  }
  const std::string condition = TrimText(def_.for_condition);
  if (condition.size() > kMaxExpressionLength) {
    return Fail(300, "Expression length exceeds 100 bytes");
  }
  header_.bytes.fill(0);
  SetText(header_, 24, key);
  {
    QuietErrors quiet;
    EngineErrorCode = 0;
    if (!CompileTagExpressions(header_, expressions_)) {
      if (expressions_.key != nullptr) return Fail(254, "Wrong parser return type");
      return Fail(EngineErrorCode != 0 ? EngineErrorCode : 351,
                  "Invalid key expression for " + name);
    }
  }
  if (!condition.empty()) {
    header_.bytes[245] = 1;
    SetText(header_, 762, condition);
    QuietErrors quiet;
    EngineErrorCode = 0;
    if (!CompileTagExpressions(header_, expressions_)) {
      return Fail(EngineErrorCode != 0 ? EngineErrorCode : 362,
                  "Invalid FOR expression for " + name);
    }
  }
  char type = expressions_.result_type;
  if (type == 'F') type = 'N';
  header_.bytes[8] = kKeyFormatAlways | (def_.descending ? kKeyFormatDescending : 0) |
                     (def_.unique ? kKeyFormatUnique : 0);
  header_.bytes[9] = static_cast<std::uint8_t>(type);
  header_.bytes[23] = def_.unique ? 1 : 0;
  switch (type) {
    case 'N':
      key_length_ = kPackedLength;
      break;
    case 'D':
      key_length_ = 8;
      break;
    default: {
      key_length_ = expressions_.width;
      if (key_length_ == 0) {
        // The expression gives no width: its value on the current record tells.
        PutLe16(header_.bytes.data() + 12, kMaxKeyLength);
        KeyBuffer probe{};
        int length = 0;
        QuietErrors quiet;
        MakeKey(expressions_, header_, t_, probe, length);
        key_length_ = length;
      }
      if (key_length_ < 1 || key_length_ > kMaxKeyLength) {
        return Fail(266, "Incorrect key length: Must be 1 to 100.");
      }
    }
  }
  const int item_length = ItemLengthFor(key_length_);
  PutLe16(header_.bytes.data() + 12, static_cast<std::uint16_t>(key_length_));
  PutLe16(header_.bytes.data() + 14, static_cast<std::uint16_t>(kNodeItemSpace / item_length));
  PutLe16(header_.bytes.data() + 16, type == 'D' ? 1 : 0);
  PutLe16(header_.bytes.data() + 18, static_cast<std::uint16_t>(item_length));
  compare_ = ChooseComparator(type, expressions_.result_type, def_.descending);
  if (compare_ == nullptr) return Fail(254, "Wrong parser return type");
  entry_size_ = static_cast<std::size_t>(key_length_) + 4;
  return true;
}

bool TagBuilder::WriteRun() {
  if (count_ == 0) return true;
  if (!runs_file_.IsOpen()) {
    const int code = runs_temp_.Create(SplitPath(file_.name()).dir, "VXP");
    if (code == 0) {
      const int open = os::File::Open(runs_temp_.path(), os::kOpenReadWriteDenyAll, runs_file_);
      if (open != 0) {
        return Fail(static_cast<std::uint16_t>(open), "Cannot open " + runs_temp_.path());
      }
    } else {
      return Fail(static_cast<std::uint16_t>(code), "Error requesting unique file name");
    }
  }
  std::vector<std::uint32_t> order(count_);
  for (std::size_t i = 0; i < count_; ++i) order[i] = static_cast<std::uint32_t>(i);
  EntrySorter(entries_.data(), key_length_, compare_).Sort(order.data(), order.data() + count_);
  std::vector<std::uint8_t> out;
  out.reserve(std::min(kBatchBytes + entry_size_, count_ * entry_size_));
  runs_.emplace_back(runs_end_, count_);
  for (std::size_t i = 0; i < count_; ++i) {
    const std::uint8_t* e = entries_.data() + order[i] * entry_size_;
    out.insert(out.end(), e, e + entry_size_);
    if (out.size() >= kBatchBytes || i + 1 == count_) {
      const int code = runs_file_.WriteAt(runs_end_, std::as_bytes(std::span(out)));
      if (code != 0)
        return Fail(static_cast<std::uint16_t>(code), "Error writing " + runs_temp_.path());
      runs_end_ += out.size();
      out.clear();
    }
  }
  count_ = 0;
  return true;
}

bool TagBuilder::Scan() {
  QuietErrors quiet;
  if (!FlushAppends(t_)) return false;
  const std::int32_t n = t_.record_count;
  const std::size_t record_length = t_.record_length;
  if (record_length == 0) return true;
  const std::size_t per_block = std::max<std::size_t>(1, kBatchBytes / record_length);
  std::vector<std::uint8_t> block(per_block * record_length);
  const std::vector<char> saved = t_.record;
  const std::int32_t saved_number = t_.record_number;
  bool ok = true;
  // 64 bits: the block after the last one may start past the largest record number.
  for (std::int64_t first = 1; ok && first <= n; first += static_cast<std::int64_t>(per_block)) {
    const std::size_t want =
        std::min<std::size_t>(per_block, static_cast<std::size_t>(n - first + 1));
    std::size_t got = 0;
    const int code =
        t_.file.ReadAt(t_.RecordOffset(static_cast<std::int32_t>(first)),
                       std::as_writable_bytes(std::span(block.data(), want * record_length)), got);
    if (code != 0 || got != want * record_length) {
      SetEngineError(code != 0 ? static_cast<std::uint16_t>(code) : 222,
                     "Error reading " + t_.file_name + " [MakeIndex]");
      ok = false;
      break;
    }
    for (std::size_t i = 0; i < want; ++i) {
      std::memcpy(t_.record.data(), block.data() + i * record_length, record_length);
      t_.record_number = static_cast<std::int32_t>(first + static_cast<std::int64_t>(i));
      Progress();
      if (!MeetsFor(expressions_, t_, RecordForm::kStored)) continue;
      met_for_ = true;
      if (count_ == capacity_ && !WriteRun()) {
        ok = false;
        break;
      }
      std::uint8_t* e = entries_.data() + count_ * entry_size_;
      KeyBuffer key{};
      int length = 0;
      if (!MakeKey(expressions_, header_, t_, key, length, RecordForm::kStored)) {
        SetEngineError(254, "Key expression cannot be evaluated for record " +
                                std::to_string(t_.record_number) + " [MakeIndex]");
        ok = false;
        break;
      }
      std::memcpy(e, key.data(), static_cast<std::size_t>(key_length_));
      PutLe32(e + key_length_, static_cast<std::uint32_t>(t_.record_number));
      ++count_;
    }
  }
  t_.record = saved;
  t_.record_number = saved_number;
  return ok;
}

// Feeds the sorted entries to the tree: from memory when nothing spilled, else by merging runs.
bool TagBuilder::Feed(TreeWriter& writer) {
  if (runs_.empty()) {
    std::vector<std::uint32_t> order(count_);
    for (std::size_t i = 0; i < count_; ++i) order[i] = static_cast<std::uint32_t>(i);
    EntrySorter(entries_.data(), key_length_, compare_).Sort(order.data(), order.data() + count_);
    for (std::size_t i = 0; i < count_; ++i) {
      const std::uint8_t* e = entries_.data() + order[i] * entry_size_;
      Progress();
      if (!writer.Add(e, GetLe32(e + key_length_))) return false;
    }
    return true;
  }
  if (!WriteRun()) return false;
  LastRuns += static_cast<int>(runs_.size());
  // Each run reads through its own share of the budget.
  const std::size_t share = std::max<std::size_t>(
      entry_size_, (entries_.size() / runs_.size()) / entry_size_ * entry_size_);
  struct Run {
    std::uint64_t next = 0;  // file offset of the next unread entry
    std::uint64_t left = 0;  // entries not yet read into the buffer
    std::vector<std::uint8_t> buffer;
    std::size_t at = 0;
  };
  std::vector<Run> runs(runs_.size());
  const auto refill = [&](Run& r) {
    const std::size_t n = std::min<std::uint64_t>(r.left, share / entry_size_);
    r.buffer.resize(n * entry_size_);
    r.at = 0;
    if (n == 0) return true;
    std::size_t got = 0;
    const int code = runs_file_.ReadAt(r.next, std::as_writable_bytes(std::span(r.buffer)), got);
    if (code != 0 || got != r.buffer.size()) {
      SetEngineError(code != 0 ? static_cast<std::uint16_t>(code) : 222,
                     "Error reading " + runs_temp_.path() + " [MakeIndex]");
      return false;
    }
    r.next += r.buffer.size();
    r.left -= n;
    return true;
  };
  entries_.clear();
  entries_.shrink_to_fit();
  const EntrySorter less_of(nullptr, key_length_, compare_);
  const auto later = [&](std::size_t a, std::size_t b) {
    const std::uint8_t* x = runs[a].buffer.data() + runs[a].at;
    const std::uint8_t* y = runs[b].buffer.data() + runs[b].at;
    const int c = compare_(x, y, key_length_);
    if (c != 0) return c > 0;
    return GetLe32(x + key_length_) > GetLe32(y + key_length_);
  };
  std::priority_queue<std::size_t, std::vector<std::size_t>, decltype(later)> heads(later);
  for (std::size_t i = 0; i < runs.size(); ++i) {
    runs[i].next = runs_[i].first;
    runs[i].left = runs_[i].second;
    if (!refill(runs[i])) return false;
    if (!runs[i].buffer.empty()) heads.push(i);
  }
  while (!heads.empty()) {
    const std::size_t i = heads.top();
    heads.pop();
    Run& r = runs[i];
    const std::uint8_t* e = r.buffer.data() + r.at;
    Progress();
    if (!writer.Add(e, GetLe32(e + key_length_))) return false;
    r.at += entry_size_;
    if (r.at == r.buffer.size() && !refill(r)) return false;
    if (r.at < r.buffer.size()) heads.push(i);
  }
  return true;
}

bool TagBuilder::Build() {
  if (!PrepareHeader()) return false;
  const std::uint64_t n = static_cast<std::uint64_t>(std::max(t_.record_count, 0));
  // Disk space: every entry may spill once, and the tree takes about as much again.
  const std::int64_t free_bytes = os::DiskFreeBytes(file_.name());
  const std::uint64_t needed = n * entry_size_ * 2 + 2 * kMdxNodeSize;
  if (free_bytes >= 0 && static_cast<std::uint64_t>(free_bytes) < needed) {
    SetEngineError(227, "Available disk space: " + std::to_string(free_bytes / 1024) +
                            " KBytes;needed: " + std::to_string(needed / 1024) +
                            " KBytes [MakeIndex]");
    return false;
  }
  capacity_ =
      static_cast<std::size_t>(std::max<std::uint64_t>(256, IndexBuildBudget / (entry_size_ + 4)));
  capacity_ = std::min<std::size_t>(capacity_, static_cast<std::size_t>(n) + 1);
  entries_.resize(capacity_ * entry_size_);
  if (ProgressProc != nullptr && ProgressSteps > 0) {
    interval_ = std::max<std::uint64_t>(1, 2 * (n / static_cast<std::uint64_t>(ProgressSteps)));
  }
  bool ok = Scan();
  std::uint32_t root = 0;
  TreeWriter writer(file_, header_, def_.unique, compare_);
  if (ok) ok = Feed(writer);
  if (ok) {
    root = writer.Finish();
    ok = root != 0;
  }
  if (runs_file_.IsOpen()) runs_file_.Close();
  runs_temp_.Remove();
  while (ProgressProc != nullptr && calls_ < ProgressSteps) {
    ProgressProc(ProgressContext, ++calls_, ProgressSteps);
  }
  if (!ok) return false;
  header_.SetRootPage(root);
  if (header_.bytes[245] != 0) header_.bytes[246] = met_for_ ? 1 : 0;
  const std::uint32_t header_page = writer.NextPage();
  const std::string name = os::AnsiUpperText(TrimText(def_.name));
  NodeBytes page{};
  std::memcpy(page.data(), header_.bytes.data(), header_.bytes.size());
  if (!file_.WriteNode(header_page, page)) return false;
  if (!AddTagEntry(file_.header(), name, header_page, static_cast<char>(header_.bytes[9]))) {
    SetEngineError(222, "Tag table full: " + file_.name() + " [MakeIndex]");
    return false;
  }
  PutLe32(file_.header().bytes.data() + 32, header_page + 2);
  file_.header().dirty = true;
  return true;
}

// The selected table, held exclusively for a build: a table shared with other programs is
// reopened deny-all first (error 225 when another program has it open), and shared again by
// ShareAgain afterwards.
TableRecord* BuildTable(const std::string& op, const std::string& path, bool& reopened) {
  reopened = false;
  TableRecord* t = InUse(op);
  if (t == nullptr) return nullptr;
  if (!t->exclusive && SharingEnabled) {
    CloseIndex();
    int code = 0;
    {
      QuietErrors quiet;
      code = SetExclusive(true);
    }
    if (code != 0) {
      SetEngineError(225, t->file_name + " " + op + "(" + path + ")");
      return nullptr;
    }
    reopened = true;
  }
  return t;
}

// Shares a table that BuildTable reopened; false after a report.
bool ShareAgain(bool reopened, const std::string& op, const std::string& path) {
  if (!reopened) return true;
  int code = 0;
  {
    QuietErrors quiet;
    code = SetExclusive(false);
  }
  if (code == 0) return true;
  SetEngineError(static_cast<std::uint16_t>(code),
                 "Cannot_Reopen_Database_Sharable " + op + "(" + path + ")");
  return false;
}

bool IsProductionPath(const TableRecord& t, const std::string& path) {
  return os::ResolvePath(path) == os::ResolvePath(IndexPath(t, {}));
}

// An index built beside its final name: a temporary file (a copy of the old index when tags
// are added to it) that replaces the index in one rename only once everything is written and
// flushed. Until then the old index stays as it was; a build that fails leaves no trace.
class StagedIndex {
 public:
  StagedIndex() = default;
  StagedIndex(const StagedIndex&) = delete;
  StagedIndex& operator=(const StagedIndex&) = delete;
  ~StagedIndex() {
    if (temp_.empty()) return;
    file_.Close();
    os::DeleteFile(temp_);
  }

  // Creates the temporary file: a copy of the index at `path` when `keep_old` and it exists,
  // else a new empty index for the table. False after a report.
  bool Begin(const TableRecord& t, const std::string& path, bool keep_old, const char* op) {
    path_ = path;
    op_ = op;
    const int code = os::UniqueTempFile(SplitPath(path).dir, "VXI", temp_);
    if (code != 0) {
      temp_.clear();
      return Fail(code, "Cannot create a temporary file beside " + path);
    }
    if (keep_old && os::FileExists(path)) {
      if (!CopyOld()) return false;
    } else {
      // CreateMdxHeader makes the file anew; the empty one only reserved the name.
      os::DeleteFile(temp_);
    }
    return file_.CreateMdxHeader(temp_, t.file_name, os::kOpenReadWriteDenyAll);
  }

  MdxFile& file() { return file_; }

  // Writes the header, flushes and closes the file and renames it over the index. An index that
  // another open holds is not replaced (225, naming the table). False after a report.
  bool Commit(const TableRecord& t) {
    if (!file_.WriteHeader()) return false;
    int code = file_.file().Flush();
    const int closed = file_.Close();
    if (code == 0) code = closed;
    if (code != 0) return Fail(code, "Error writing index file: " + temp_);
    os::File old;
    if (os::FileExists(path_)) {
      // Held deny-all across the rename: no program following the sharing protocol has it open.
      if (os::File::Open(path_, os::kOpenReadWriteDenyAll, old) != 0) {
        SetEngineError(225, t.file_name + " " + op_ + "(" + path_ + ")");
        return false;
      }
    }
    code = os::RenameFile(temp_, path_);
    if (code != 0) return Fail(code, "Cannot replace " + path_ + " by " + temp_);
    temp_.clear();
    return true;
  }

 private:
  bool Fail(int code, const std::string& text) {
    SetEngineError(static_cast<std::uint16_t>(code), text + " [" + op_ + "]");
    return false;
  }

  bool CopyOld() {
    os::File from;
    os::File to;
    int code = os::File::Open(path_, os::kOpenReadWriteDenyAll, from);
    if (code != 0) return Fail(code, "Unable to open index: " + path_);
    code = os::File::Open(temp_, os::kOpenReadWriteDenyAll, to);
    if (code != 0) return Fail(code, "Cannot open " + temp_);
    std::vector<std::byte> block(kBatchBytes);
    for (std::uint64_t at = 0;;) {
      std::size_t got = 0;
      code = from.ReadAt(at, block, got);
      if (code != 0) return Fail(code, "Error reading index file: " + path_);
      if (got == 0) break;
      code = to.WriteAt(at, std::span(block.data(), got));
      if (code != 0) return Fail(code, "Error writing index file: " + temp_);
      at += got;
    }
    code = to.Close();
    if (code != 0) return Fail(code, "Error writing index file: " + temp_);
    return true;
  }

  MdxFile file_;
  std::string path_;
  std::string temp_;
  const char* op_ = "";
};

}  // namespace

void SetIndexProgress(IndexProgressProc proc, void* context, int steps) {
  ProgressProc = proc;
  ProgressContext = context;
  ProgressSteps = proc == nullptr ? 0 : steps;
}

int LastBuildRuns() { return LastRuns; }

// The first fault of a build, kept while the table is shared again, then reported.
struct BuildFault {
  std::uint16_t code = 0;
  std::string message;
  void Keep() {
    if (code != 0) return;
    code = EngineErrorCode != 0 ? EngineErrorCode : 222;
    message = LastErrorMessage;
  }
};

bool MakeIndex(const std::vector<TagDefinition>& definitions, std::string_view file_name) {
  TableRecord* probe = InUse("MakeIndex");
  if (probe == nullptr) return false;
  const std::string path = IndexPath(*probe, file_name);
  bool reopened = false;
  TableRecord* t = BuildTable("MakeIndex", path, reopened);
  if (t == nullptr) return false;
  CloseIndex();
  LastRuns = 0;
  const bool production = IsProductionPath(*t, path);
  BuildFault fault;
  {
    QuietErrors quiet;
    EngineErrorCode = 0;
    StagedIndex staged;
    if (staged.Begin(*t, path, false, "MakeIndex")) {
      staged.file().header().bytes[24] = production ? 1 : 0;
      // Every definition is tried, so that each bad one is known; the first fault is the one
      // reported, and the index is then left as it was.
      for (const TagDefinition& def : definitions) {
        if (TrimText(def.name).empty()) break;
        EngineErrorCode = 0;
        if (!TagBuilder(*t, staged.file(), def).Build()) fault.Keep();
      }
      if (fault.code == 0 && !staged.Commit(*t)) fault.Keep();
    } else {
      fault.Keep();
    }
  }
  if (fault.code == 0 && production) SetProductionIndexFlag(true);
  if (!ShareAgain(reopened, "MakeIndex", path)) return false;
  if (fault.code != 0) SetEngineError(fault.code, fault.message);
  return fault.code == 0;
}

bool AddIndexTag(const TagDefinition& definition, std::string_view file_name) {
  TableRecord* probe = InUse("AddIndexTag");
  if (probe == nullptr) return false;
  const std::string path = IndexPath(*probe, file_name);
  bool reopened = false;
  TableRecord* t = BuildTable("AddIndexTag", path, reopened);
  if (t == nullptr) return false;
  CloseIndex();
  LastRuns = 0;
  const bool production = IsProductionPath(*t, path);
  BuildFault fault;
  {
    QuietErrors quiet;
    EngineErrorCode = 0;
    StagedIndex staged;
    if (staged.Begin(*t, path, true, "AddIndexTag")) {
      if (production) staged.file().header().bytes[24] = 1;
      if (!TagBuilder(*t, staged.file(), definition).Build() || !staged.Commit(*t)) fault.Keep();
    } else {
      fault.Keep();
    }
  }
  if (fault.code == 0 && production) SetProductionIndexFlag(true);
  if (!ShareAgain(reopened, "AddIndexTag", path)) return false;
  if (fault.code != 0) {
    SetEngineError(fault.code, fault.message);
    return false;
  }
  return SetIndexTo(file_name);
}

bool Reindex() {
  TableRecord* t = InUse("Reindex");
  if (t == nullptr) return false;
  const std::string path = IndexFileName();
  if (path.empty()) {
    SetEngineError(221, "Index not open. (DBF=" + t->file_name + ") [Reindex]");
    return false;
  }
  std::vector<TagDefinition> definitions;
  for (int n = 1; n <= OrderCount(); ++n) {
    const OrderTag* tag = OrderOf(n);
    TagDefinition def;
    def.name = tag->name;
    def.key_expression = tag->header.KeyExpression();
    def.for_condition = tag->header.HasFor() ? tag->header.ForExpression() : std::string();
    def.descending = tag->header.Descending();
    def.unique = tag->header.Unique();
    definitions.push_back(def);
  }
  const int controlling = CurrentOrder();
  const std::string controlling_name = controlling > 0 ? OrderTagName(controlling) : "";
  const bool built = MakeIndex(definitions, path);
  if (!SetIndexTo(path)) return false;
  if (!controlling_name.empty()) SetOrderToTag(controlling_name);
  return built;
}

}  // namespace vx
