#include "engine/index/index_build.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "engine/foundation/errors.h"
#include "engine/foundation/file_utils.h"
#include "engine/foundation/strings.h"
#include "engine/index/key_maker.h"
#include "engine/index/orders.h"
#include "engine/index/sorted_runs.h"
#include "engine/table/dbf_records.h"
#include "engine/workarea/locks.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/codepage.h"
#include "platform/os/file.h"
#include "platform/os/file_id.h"

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
        item_length_(static_cast<std::size_t>(header.ItemLength())),
        max_keys_(header.MaxKeys()),
        unique_(unique),
        compare_(compare) {
    const int fill = std::clamp<int>(IndexBuildFill, 1, 100);
    leaf_keys_ = static_cast<std::size_t>(std::max(1, (max_keys_ * fill + 99) / 100));
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
  // A level's entries as node items: the 4-byte pointer, then the key, item length bytes each.
  using Items = std::vector<std::uint8_t>;
  struct Level {
    Items filling;
    Items held;  // the full node before `filling`, not yet written
    bool overflowed = false;
  };

  std::size_t Count(const Items& items) const { return items.size() / item_length_; }

  // Entries per node: keys in a leaf (as many as the fill setting leaves room for), children
  // (items and the trailing pointer) in a branch.
  std::size_t Capacity(std::size_t level) const {
    if (level == 0) return leaf_keys_;
    return static_cast<std::size_t>(max_keys_) + 1;
  }

  bool Push(std::size_t level, std::uint32_t pointer, const std::uint8_t* key) {
    if (levels_.size() <= level) levels_.resize(level + 1);
    if (Count(levels_[level].filling) == Capacity(level)) {
      Level& l = levels_[level];
      if (l.overflowed) {
        auto held = std::move(l.held);
        if (WriteNode(level, held, true) == 0) return false;
      }
      // WriteNode may have grown levels_: take the level again.
      Level& now = levels_[level];
      now.held = std::move(now.filling);
      now.filling.clear();
      now.filling.reserve(Capacity(level) * item_length_);
      now.overflowed = true;
    }
    Items& items = levels_[level].filling;
    const std::size_t at = items.size();
    items.resize(at + item_length_);
    PutLe32(items.data() + at, pointer);
    std::memcpy(items.data() + at + 4, key, static_cast<std::size_t>(key_length_));
    return true;
  }

  // Evens out the last two nodes of a level when the last one is short: a leaf needs one key,
  // a branch two children (one item besides its trailing pointer).
  void Share(std::size_t level, Items& held, Items& last) const {
    const std::size_t least = level == 0 ? 1 : 2;
    if (Count(last) >= least) return;
    const std::size_t total = Count(held) + Count(last);
    const std::size_t keep = (total - total / 2) * item_length_;
    last.insert(last.begin(), held.begin() + static_cast<std::ptrdiff_t>(keep), held.end());
    held.resize(keep);
  }

  // Writes one node of a level (a branch's last entry becomes its trailing pointer) and, with
  // `up`, hands its page and highest key to the level above. Answers the page, 0 after a report.
  std::uint32_t WriteNode(std::size_t level, const Items& entries, bool up) {
    const std::size_t count = Count(entries);
    const std::size_t items = count - (level == 0 || count == 0 ? 0 : 1);
    const std::size_t at = pending_.size();
    pending_.resize(at + kMdxNodeSize, 0);
    std::uint8_t* node = pending_.data() + at;
    PutLe32(node, static_cast<std::uint32_t>(items));
    // The items as they are; a branch's last entry gives only its pointer, the trailing one.
    const std::size_t bytes = items * item_length_ + (items < count ? 4 : 0);
    if (bytes > 0) std::memcpy(node + 8, entries.data(), bytes);
    const std::uint32_t page = next_page_;
    next_page_ += 2;
    const std::uint8_t* highest =
        count == 0 ? nullptr : entries.data() + (count - 1) * item_length_ + 4;
    KeyBuffer key{};
    if (highest != nullptr) std::memcpy(key.data(), highest, static_cast<std::size_t>(key_length_));
    if (pending_.size() >= kBatchBytes && !Flush()) return 0;
    if (up && !Push(level + 1, page, key.data())) return 0;
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
  std::size_t item_length_;
  int max_keys_;
  std::size_t leaf_keys_ = 1;
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
  bool Scan(SortedRuns& runs);
  bool Feed(SortedRuns& runs, TreeWriter& writer);
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
  bool met_for_ = false;
  std::uint64_t done_ = 0;
  std::uint64_t interval_ = 1;
  int calls_ = 0;
};

namespace {

// What the expression compiler said of the last expression it refused, as ": what at position
// n" (its first line, without the code's description); empty when it said nothing.
std::string CompilerSays() {
  std::string said = LastErrorMessage;
  said = said.substr(0, said.find("\r\n"));
  constexpr std::string_view kPrefix = "Error in expression : ";
  if (said.starts_with(kPrefix)) said.erase(0, kPrefix.size());
  return said.empty() ? std::string() : ": " + said;
}

}  // namespace

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
                  "Invalid key expression for " + name + CompilerSays());
    }
  }
  if (!condition.empty()) {
    header_.bytes[245] = 1;
    SetText(header_, 762, condition);
    QuietErrors quiet;
    EngineErrorCode = 0;
    if (!CompileTagExpressions(header_, expressions_)) {
      return Fail(EngineErrorCode != 0 ? EngineErrorCode : 362,
                  "Invalid FOR expression for " + name + CompilerSays());
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

bool TagBuilder::Scan(SortedRuns& runs) {
  QuietErrors quiet;
  return ForEachStoredRecord(
      t_,
      [&] {
        Progress();
        if (!MeetsFor(expressions_, t_, RecordForm::kStored)) return true;
        met_for_ = true;
        std::uint8_t* e = runs.Slot();
        if (e == nullptr) return false;
        KeyBuffer key{};
        int length = 0;
        if (!MakeKey(expressions_, header_, t_, key, length, RecordForm::kStored)) {
          SetEngineError(254, "Key expression cannot be evaluated for record " +
                                  std::to_string(t_.record_number) + " [MakeIndex]");
          return false;
        }
        std::memcpy(e, key.data(), static_cast<std::size_t>(key_length_));
        runs.Add(static_cast<std::uint32_t>(t_.record_number));
        return true;
      },
      "MakeIndex");
}

// Feeds the sorted entries to the tree: from memory when nothing spilled, else by merging runs.
bool TagBuilder::Feed(SortedRuns& runs, TreeWriter& writer) {
  if (!runs.Finish()) return false;
  LastRuns += runs.runs();
  while (const std::uint8_t* e = runs.Next()) {
    Progress();
    if (!writer.Add(e, GetLe32(e + key_length_))) return false;
  }
  return !runs.failed();
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
  SortedRuns runs(key_length_, compare_, IndexBuildBudget, SplitPath(file_.name()).dir,
                  "MakeIndex");
  if (ProgressProc != nullptr && ProgressSteps > 0) {
    interval_ = std::max<std::uint64_t>(1, 2 * (n / static_cast<std::uint64_t>(ProgressSteps)));
  }
  NoteFieldKey(expressions_, header_, t_);
  bool ok = Scan(runs);
  std::uint32_t root = 0;
  TreeWriter writer(file_, header_, def_.unique, compare_);
  if (ok) ok = Feed(runs, writer);
  if (ok) {
    root = writer.Finish();
    ok = root != 0;
  }
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
    // Made exclusively and kept open from here to the rename: never reached by name again.
    os::File created;
    const int code = os::CreateUniqueFile(SplitPath(path).dir, "VXI", "TMP", temp_, created);
    if (code != 0) {
      temp_.clear();
      return Fail(code, "Cannot create a temporary file beside " + path);
    }
    if (keep_old && os::FileExists(path) && !CopyOld(created)) return false;
    // A new index takes the mode and owner of the one it replaces, else of the table.
    os::TakeModeAndOwner(os::FileExists(path) ? path : t.file_name, created);
    return file_.CreateMdxHeader(std::move(created), temp_, t.file_name);
  }

  MdxFile& file() { return file_; }

  // Writes the header, flushes and closes the file and renames it over the index. An index that
  // another open holds is not replaced (225, naming the table). False after a report.
  bool Commit(const TableRecord& t) {
    if (!file_.WriteHeader()) return false;
    int code = file_.file().Flush();
    if (code != 0) return Fail(code, "Error writing index file: " + temp_);
    os::File old;
    if (os::FileExists(path_)) {
      // Held deny-all across the rename: no program following the sharing protocol has it open.
      if (os::File::Open(path_, os::kOpenReadWriteDenyAll, old) != 0) {
        SetEngineError(225, t.file_name + " " + op_ + "(" + path_ + ")");
        return false;
      }
    }
    // The file renamed is the one made and still held here, never one planted in its place.
    code = file_.file().MoveTo(path_, true, &old);
    if (code == os::kIoAccessDenied && !os::NamesOpenFile(temp_, file_.file())) {
      return Fail(code, temp_ + " is no longer the file this build made");
    }
    if (code != 0) return Fail(code, "Cannot replace " + path_ + " by " + temp_);
    temp_.clear();
    code = file_.Close();
    if (code != 0) return Fail(code, "Error writing index file: " + path_);
    return true;
  }

 private:
  bool Fail(int code, const std::string& text) {
    SetEngineError(static_cast<std::uint16_t>(code), text + " [" + op_ + "]");
    return false;
  }

  bool CopyOld(os::File& to) {
    os::File from;
    int code = os::File::Open(path_, os::kOpenReadWriteDenyAll, from);
    if (code != 0) return Fail(code, "Unable to open index: " + path_);
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
    return true;
  }

  MdxFile file_;
  std::string path_;
  std::string temp_;
  const char* op_ = "";
};

}  // namespace

ExclusiveBuild::ExclusiveBuild(std::string op, std::string path)
    : op_(std::move(op)), path_(std::move(path)) {
  TableRecord* t = InUse(op_);
  if (t == nullptr) return;
  if (!t->exclusive && SharingEnabled) {
    CloseIndex();
    int code = 0;
    {
      QuietErrors quiet;
      code = SetExclusive(true);
    }
    if (code != 0) {
      SetEngineError(225, t->file_name + " " + op_ + "(" + path_ + ")");
      return;
    }
    reopened_ = true;
  }
  table_ = t;
}

ExclusiveBuild::~ExclusiveBuild() {
  if (!reopened_) return;
  const CleanupErrors cleanup;
  Release();
}

bool ExclusiveBuild::Release() {
  if (!reopened_) return true;
  reopened_ = false;
  int code = 0;
  {
    QuietErrors quiet;
    code = SetExclusive(false);
  }
  if (code == 0) return true;
  SetEngineError(static_cast<std::uint16_t>(code),
                 "Cannot_Reopen_Database_Sharable " + op_ + "(" + path_ + ")");
  return false;
}

bool PutStagedIndex(os::File& file, const std::string& temp, const std::string& path) {
  int code = file.Flush();
  if (code != 0) {
    SetEngineError(static_cast<std::uint16_t>(code), "Error writing index file: " + temp);
    return false;
  }
  code = file.MoveTo(path, true);
  if (code == os::kIoAccessDenied && !os::NamesOpenFile(temp, file)) {
    SetEngineError(os::kIoAccessDenied, temp + " is no longer the file this build made");
    return false;
  }
  if (code != 0) {
    SetEngineError(static_cast<std::uint16_t>(code), "Cannot replace " + path + " by " + temp);
    return false;
  }
  return true;
}

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
  ExclusiveBuild exclusive("MakeIndex", path);
  TableRecord* t = exclusive.table();
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
  if (!exclusive.Release()) return false;
  if (fault.code != 0) SetEngineError(fault.code, fault.message);
  return fault.code == 0;
}

bool AddIndexTag(const TagDefinition& definition, std::string_view file_name) {
  TableRecord* probe = InUse("AddIndexTag");
  if (probe == nullptr) return false;
  const std::string path = IndexPath(*probe, file_name);
  ExclusiveBuild exclusive("AddIndexTag", path);
  TableRecord* t = exclusive.table();
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
  if (!exclusive.Release()) return false;
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
