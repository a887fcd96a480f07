// Cursors: file order, a tag's order over a key range, and file order through a condition.
// A cursor remembers the record it stands on; when another call moved the table's area in the
// meantime it goes back to that record before it moves on.

#include <algorithm>
#include <span>
#include <vexel/vexel.hpp>

#include "engine/api/internal.h"
#include "engine/expr/expression.h"
#include "engine/foundation/dates.h"
#include "engine/index/orders.h"
#include "engine/table/dbf_records.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/record_image.h"
#include "platform/os/path_text.h"

namespace vexel {

using detail::Fail;
using detail::Guarded;
using detail::Scope;

struct __attribute__((visibility("hidden"))) Cursor::Impl {
  enum class Kind { kScan, kOrder, kWhere };
  std::shared_ptr<Table::Impl> table;
  Kind kind = Kind::kScan;
  std::uint64_t id = 0;
  std::string tag;
  std::optional<Value> from;
  std::optional<Value> to;
  char key_type = 'C';
  bool descending = false;
  std::string to_stored;  // C: the last key's bytes
  double to_number = 0;   // N: the number; D: the day number
  vx::Expr condition;
  bool started = false;
  bool done = false;
  std::uint32_t recno = 0;
  std::optional<Record> current;
  // Filling a block: steps copy the record's bytes there instead of making `current`.
  RecordBlock* block = nullptr;
  std::shared_ptr<const RecordBlock::Layout> layout;
  // An order's blocks: the walk over the tag and the record numbers of the block being read.
  std::optional<vx::OrderWalk> walk;
  std::vector<std::uint32_t> items;
  // An .NDX's order (ndx_path) or a .CDX tag's: its records from `from` to `to`, taken when the
  // walk starts.
  std::optional<std::string> ndx_path;
  std::optional<std::vector<std::uint32_t>> file_records;
  std::size_t file_at = 0;

  ~Impl() { detail::FreeExpression(table->engine, condition); }

  bool Next();
  bool Step();  // Next() inside the table's scope
  bool NextInFileOrder();
  bool NextInOrder();
  void SelectAndBound();
  bool PastLastKey();
  bool Holds();
  std::size_t NextBlock(RecordBlock& out, std::size_t count);
  std::size_t ReadScanBlock(RecordBlock& out, std::size_t count);
  std::size_t ReadWhereBlock(RecordBlock& out, std::size_t count);
  std::size_t ReadOrderBlock(RecordBlock& out, std::size_t count);
  std::size_t ReadItems(RecordBlock& out, std::size_t n);
  bool NextInFile();
  // Whether the order is read from its file whole (an .NDX, a .CDX tag), and its records.
  bool FromFile() const { return ndx_path.has_value() || detail::UsesCdx(*table); }
  const std::vector<std::uint32_t>& FileRecords() {
    if (!file_records) {
      file_records = ndx_path ? detail::NdxRange(*table, *ndx_path, from, to)
                              : detail::CdxRange(*table, tag, from, to);
    }
    return *file_records;
  }
  void Take(std::uint32_t n) {
    recno = n;
    if (block != nullptr) {
      const std::vector<char>& bytes = table->table().record;
      std::copy(bytes.begin(), bytes.end(), BlockAccess::Grow(*block, 1));
      BlockAccess::AddRecno(*block, n);
      return;
    }
    current = detail::RecordFromBuffer(table->table(), *table, n);
  }
};

bool Cursor::Impl::NextInFileOrder() {
  for (;;) {
    const std::uint32_t n = recno + 1;
    if (n > static_cast<std::uint32_t>(std::max(0, vx::RecCount()))) return false;
    detail::GoRecord(*table, n);
    recno = n;
    if (kind == Kind::kWhere && !Holds()) continue;
    Take(n);
    return true;
  }
}

// Whether the condition holds for the area's current record.
bool Cursor::Impl::Holds() {
  vx::CaseCodePage = table->codepage;
  const void* result = vx::Evaluate(condition.get());
  return result != nullptr && *static_cast<const std::int32_t*>(result) != 0;
}

// Whether the controlling order's current key lies beyond `to`.
bool Cursor::Impl::PastLastKey() {
  if (!to) return false;
  const std::string key = vx::OrderKeyText(vx::CurrentOrder());
  int order = 0;  // the key against the bound: <0 before, >0 after
  if (key_type == 'C') {
    const int c = key.substr(0, to_stored.size()).compare(to_stored);
    order = c < 0 ? -1 : c > 0 ? 1 : 0;
  } else {
    const double v = key_type == 'D' ? vx::TextToDate(key) : std::strtod(key.c_str(), nullptr);
    order = v < to_number ? -1 : v > to_number ? 1 : 0;
  }
  return descending ? order < 0 : order > 0;
}

// Makes the tag controlling and takes its type, its direction and the last key's value.
void Cursor::Impl::SelectAndBound() {
  Table::Impl& t = *table;
  key_type = detail::SelectTag(t, tag);
  if (key_type == 'F') key_type = 'N';
  descending = vx::OrderOf(vx::CurrentOrder())->header.Descending();
  if (to) {
    const std::string bound = detail::KeyText(t, key_type, *to);
    if (key_type == 'C') {
      to_stored = bound;
    } else if (key_type == 'D') {
      to_number = vx::TextToDate(bound);
    } else {
      to_number = std::strtod(bound.c_str(), nullptr);
    }
  }
}

// The next visible record of an .NDX's or a .CDX tag's order.
bool Cursor::Impl::NextInFile() {
  Table::Impl& t = *table;
  const std::vector<std::uint32_t>& records = FileRecords();
  while (file_at < records.size()) {
    const std::uint32_t n = records[file_at++];
    detail::GoRecord(t, n);
    if (!vx::IsVisible(t.table())) continue;
    Take(n);
    return true;
  }
  return false;
}

bool Cursor::Impl::NextInOrder() {
  Table::Impl& t = *table;
  if (FromFile()) return NextInFile();
  if (!started) {
    SelectAndBound();
    if (from) {
      const std::string key = detail::KeyText(t, key_type, *from);
      vx::SoftSeek = true;
      vx::KeyPadding = false;
      vx::FindStored(key);
    } else {
      vx::GoTop();
    }
  } else {
    if (t.positioned_by != id || vx::CurrentOrder() == 0) {
      detail::SelectTag(t, tag);
      vx::GO(static_cast<std::int32_t>(recno));
    }
    vx::SKIP(1);
  }
  if (vx::dEOF() || PastLastKey()) return false;
  Take(static_cast<std::uint32_t>(vx::RecNo()));
  return true;
}

bool Cursor::Impl::Next() {
  if (done) return false;
  Scope scope(*table);
  return Guarded([&] { return Step(); });
}

bool Cursor::Impl::Step() {
  if (done) return false;
  const bool moved = kind == Kind::kOrder ? NextInOrder() : NextInFileOrder();
  started = true;
  table->positioned_by = kind == Kind::kOrder ? id : 0;
  if (!moved) {
    done = true;
    current.reset();
    // An order walk leaves its tag controlling (see Table::seek).
    table->positioned_by = 0;
  }
  return moved;
}

// A scan's records straight from the file: one read for the block, no index and no locks (the
// record count is read again first, so records other programs appended are seen).
std::size_t Cursor::Impl::ReadScanBlock(RecordBlock& out, std::size_t count) {
  vx::TableRecord& t = table->table();
  if (!t.pending.empty() && !vx::FlushAppends(t))
    Fail(101, "cannot write " + vx::os::PathText(table->path));
  vx::RefreshRecordCount(t);
  const std::uint32_t total = static_cast<std::uint32_t>(std::max(0, t.record_count));
  if (recno >= total) return 0;
  const std::size_t wanted = std::min<std::size_t>(count, total - recno);
  const std::size_t length = layout->record_length;
  char* at = BlockAccess::Grow(out, wanted);
  std::size_t got = 0;
  const int io = t.file.ReadAt(t.RecordOffset(static_cast<std::int32_t>(recno + 1)),
                               std::as_writable_bytes(std::span(at, wanted * length)), got);
  if (io != 0) Fail(io, "cannot read " + vx::os::PathText(table->path));
  // A file cut short since the count was read (another program packing it) ends the scan.
  const std::size_t whole = got / length;
  BlockAccess::Shrink(out, wanted - whole);
  for (std::size_t i = 0; i < whole; ++i) BlockAccess::AddRecno(out, ++recno);
  return whole;
}

// A condition's records straight from the file: blocks read as a scan reads them, each record
// put into the area (its bytes, number and image, as GO leaves them) only to evaluate the
// condition; the records it does not hold for leave the block again.
std::size_t Cursor::Impl::ReadWhereBlock(RecordBlock& out, std::size_t count) {
  vx::TableRecord& t = table->table();
  if (vx::CurrentOrder() != 0) vx::Set_Order_To(0);
  table->positioned_by = 0;  // the area moves: an order walk finds its place again
  while (out.size() < count) {
    const std::size_t from = out.size();
    if (ReadScanBlock(out, count - from) == 0) break;
    BlockAccess::KeepIf(out, from, [&](const char* bytes, std::uint32_t n) {
      std::copy(bytes, bytes + t.record.size(), t.record.begin());
      t.record_number = static_cast<std::int32_t>(n);
      t.at_end = t.at_beginning = false;
      vx::GetRecordImage(t);
      return Holds();
    });
  }
  return out.size();
}

// An order's records: the tag's items taken many at a time under one read hold of the index
// (vx::NextOrderItems), then the records read straight from the file, a run of consecutive
// record numbers with one read. Neither the area nor its order moves.
std::size_t Cursor::Impl::ReadOrderBlock(RecordBlock& out, std::size_t count) {
  Table::Impl& impl = *table;
  vx::TableRecord& t = impl.table();
  if (FromFile()) {
    const std::vector<std::uint32_t>& records = FileRecords();
    const std::size_t n = std::min(count, records.size() - file_at);
    items.assign(records.begin() + static_cast<std::ptrdiff_t>(file_at),
                 records.begin() + static_cast<std::ptrdiff_t>(file_at + n));
    file_at += n;
    return ReadItems(out, n);
  }
  if (!walk) {
    SelectAndBound();
    walk.emplace();
    if (from) {
      const std::string key = detail::KeyText(impl, key_type, *from);
      // An empty text is no starting key: the walk starts at the first key, as Find's does.
      if (!key.empty()) walk->from = key;
    }
    if (to) walk->to = detail::KeyText(impl, key_type, *to);
  } else {
    detail::SelectTag(impl, tag);
  }
  if (!t.pending.empty() && !vx::FlushAppends(t))
    Fail(101, "cannot write " + vx::os::PathText(impl.path));
  items.clear();
  const std::size_t n = vx::NextOrderItems(*walk, count, items);
  impl.positioned_by = 0;
  return ReadItems(out, n);
}

// Reads the records of items[0..n) straight from the file into the block, a run of
// consecutive record numbers with one read.
std::size_t Cursor::Impl::ReadItems(RecordBlock& out, std::size_t n) {
  Table::Impl& impl = *table;
  vx::TableRecord& t = impl.table();
  if (n == 0) return 0;
  recno = items[n - 1];  // where next() goes on from
  const std::size_t length = layout->record_length;
  char* at = BlockAccess::Grow(out, n);
  for (std::size_t i = 0; i < n;) {
    std::size_t run = 1;
    while (i + run < n && items[i + run] == items[i + run - 1] + 1) ++run;
    std::size_t got = 0;
    const int io = t.file.ReadAt(t.RecordOffset(static_cast<std::int32_t>(items[i])),
                                 std::as_writable_bytes(std::span(at + i * length, run * length)),
                                 got);
    if (io != 0) Fail(io, "cannot read " + vx::os::PathText(impl.path));
    if (got != run * length) {
      Fail(222, "the index of " + vx::os::PathText(impl.path) + " names record " +
                    std::to_string(items[i] + got / length) + ", past the end of the file");
    }
    BlockAccess::AddRecnos(out, items.data() + i, run);
    i += run;
  }
  return n;
}

std::size_t Cursor::Impl::NextBlock(RecordBlock& out, std::size_t count) {
  if (layout == nullptr) layout = BlockAccess::LayoutOf(table->table(), *table);
  BlockAccess::Start(out, table, layout);
  current.reset();
  if (done || count == 0) return 0;
  vx::TableRecord& t = table->table();
  const bool plain = !t.is_virtual && t.read_hook == nullptr && t.file.IsOpen();
  // An order walk already stepped record by record goes on that way.
  if (kind == Kind::kOrder && plain && !t.skip_deleted && t.filter_proc == nullptr &&
      !t.filter_expr && (walk || file_records || !started)) {
    const std::size_t n = ReadOrderBlock(out, count);
    started = true;
    if (n == 0) done = true;
    return n;
  }
  if (kind != Kind::kOrder && plain) {
    const std::size_t n =
        kind == Kind::kScan ? ReadScanBlock(out, count) : ReadWhereBlock(out, count);
    started = true;
    if (n == 0) done = true;
    return n;
  }
  block = &out;
  struct Unset {
    RecordBlock*& block;
    ~Unset() { block = nullptr; }
  } unset{block};
  while (out.size() < count && Step()) {
  }
  return out.size();
}

Cursor::Cursor(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Cursor::Cursor(Cursor&&) noexcept = default;
Cursor& Cursor::operator=(Cursor&&) noexcept = default;
Cursor::~Cursor() = default;

bool Cursor::next() { return impl_ != nullptr && impl_->Next(); }

const Record& Cursor::record() const {
  if (impl_ == nullptr || !impl_->current) Fail(220, "the cursor stands on no record");
  return *impl_->current;
}

std::size_t Cursor::next(RecordBlock& block, std::size_t count) {
  if (impl_ == nullptr) Fail(215, "the table is closed");
  Scope scope(*impl_->table);
  return Guarded([&] { return impl_->NextBlock(block, count); });
}

Cursor::iterator Cursor::begin() { return next() ? iterator(this) : iterator(); }

namespace {

std::unique_ptr<Cursor::Impl> NewCursor(const std::shared_ptr<Table::Impl>& table,
                                        Cursor::Impl::Kind kind) {
  if (table == nullptr || table->area == 0) Fail(215, "the table is closed");
  auto c = std::make_unique<Cursor::Impl>();
  c->table = table;
  c->kind = kind;
  c->id = table->next_cursor_id++;
  return c;
}

}  // namespace

Cursor Table::scan() const { return Cursor(NewCursor(impl_, Cursor::Impl::Kind::kScan)); }

Cursor Table::order(std::string_view tag, std::optional<Value> from,
                    std::optional<Value> to) const {
  auto c = NewCursor(impl_, Cursor::Impl::Kind::kOrder);
  {
    // The tag is looked up now, so that a wrong name fails here rather than on the first step.
    Scope scope(*impl_);
    Guarded([&] {
      c->ndx_path = detail::NdxNamed(*impl_, tag);
      if (c->ndx_path) return;
      if (detail::UsesCdx(*impl_)) {
        detail::CdxTagNumber(*impl_, tag);
      } else {
        detail::TagNumber(*impl_, tag);
      }
    });
  }
  c->tag = tag;
  c->from = std::move(from);
  c->to = std::move(to);
  return Cursor(std::move(c));
}

Cursor Table::where(std::string_view condition) const {
  auto c = NewCursor(impl_, Cursor::Impl::Kind::kWhere);
  Scope scope(*impl_);
  Guarded([&] {
    const std::string stored = detail::FromUtf8(impl_->codepage, condition, "the condition");
    c->condition = detail::CompileExpression(stored, impl_->codepage);
    if (c->condition->result_type != 'L') {
      throw ExpressionError(362, "the condition is not a logical expression: " +
                                     std::string(condition));
    }
  });
  return Cursor(std::move(c));
}

}  // namespace vexel
