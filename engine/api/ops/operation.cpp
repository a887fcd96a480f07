#include "engine/api/ops/operation.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <ostream>

#include "engine/foundation/errors.h"
#include "engine/foundation/strings.h"
#include "engine/index/index_build.h"
#include "engine/index/ndx_orders.h"
#include "engine/index/orders.h"
#include "engine/index/table_check.h"
#include "engine/memo/memo_check.h"
#include "engine/memo/memo_file.h"
#include "engine/table/dbf_file.h"
#include "engine/table/dbf_records.h"
#include "engine/table/language_driver.h"
#include "engine/workarea/hooks.h"
#include "engine/workarea/locks.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/codepage.h"
#include "platform/os/file.h"
#include "platform/os/system.h"
#include "platform/os/path_text.h"

namespace vx::ops {

namespace {

// The outermost OperationEngine of the calling thread.
constinit thread_local OperationEngine* running_operation = nullptr;

}  // namespace

OperationEngine::OperationEngine() : outer_(running_operation) {
  impl_ = outer_ != nullptr ? outer_->impl_ : std::make_shared<vexel::Engine::Impl>();
  if (outer_ == nullptr) running_operation = this;
}

OperationEngine::~OperationEngine() {
  if (outer_ == nullptr) running_operation = nullptr;
}

std::string Shortened(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  std::size_t cut = limit;
  // Back to the first byte of a UTF-8 sequence (continuation bytes are 10xxxxxx).
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return std::string(text.substr(0, cut)) + "...";
}

void RefuseReadOnly(const vexel::OpenOptions& options, const std::string& file) {
  if (options.mode != vexel::OpenMode::read_only) return;
  throw vexel::InputError(
      5, file + " was opened read-only (OpenMode::read_only); nothing was changed");
}

vexel::OpenOptions ExclusiveUse(const vexel::OpenOptions& options, const std::string& file) {
  RefuseReadOnly(options, file);
  vexel::OpenOptions exclusive = options;
  exclusive.mode = vexel::OpenMode::exclusive;
  return exclusive;
}

std::string Quoted(std::string_view text) { return "\"" + Shortened(text, 60) + "\""; }

void Warn(const vexel::OpenOptions& options, const std::string& message,
          std::vector<vexel::Advice> advice) {
  if (options.warn) options.warn(vexel::Warning(message, std::move(advice)));
}

void RefuseCutTable(TableRecord& t, const std::string& file, const std::string& nothing) {
  const RecordTally tally = TallyRecords(t);
  if (!tally.Cut()) return;
  const std::string partial =
      tally.partial_bytes == 0
          ? ""
          : " and " + std::to_string(tally.partial_bytes) + " bytes of a cut one";
  throw DataError{file + " is damaged: its header counts " + std::to_string(tally.counted) +
                  " records, the file holds " + std::to_string(tally.whole) + partial + ". " +
                  nothing,
                  {{vexel::Remedy::check, "shows the damage"}}};
}

// ---------------------------------------------------------------------------------------------
// Progress

Progress::Progress(const vexel::OpenOptions& options, std::string label, std::int64_t total)
    : options_(options), label_(std::move(label)), total_(total) {}

Progress::~Progress() {
  if (following_) SetIndexProgress(nullptr, nullptr, 0);
  if (started_ && options_.progress) {
    try {
      options_.progress(label_, -1, total_);
    } catch (...) {
    }
  }
}

void Progress::Step(std::int64_t done) {
  if (!options_.progress || total_ <= 0) return;
  started_ = true;
  options_.progress(label_, done, total_);
}

void Progress::IndexStep(void* context, int step, int steps) {
  auto* progress = static_cast<Progress*>(context);
  if (steps <= 0) return;
  progress->label_ = "index";
  progress->total_ = steps;
  progress->Step(step);
}

void Progress::FollowIndexBuild() {
  if (!options_.progress) return;
  following_ = true;
  SetIndexProgress(IndexStep, this, 100);
}

// ---------------------------------------------------------------------------------------------
// Text

namespace {

std::string Hex(std::uint8_t byte) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", byte);
  return text;
}

// "byte 0x81", "bytes 0x93 0x7B": the input a fault stopped at.
std::string FaultBytes(std::string_view input, std::size_t offset, std::size_t length) {
  std::string text = length > 1 ? "bytes" : "byte";
  for (std::size_t i = offset; i < offset + length && i < input.size() && i < offset + 4; ++i) {
    text += " " + Hex(static_cast<std::uint8_t>(input[i]));
  }
  return text;
}

}  // namespace

CodePageChoice ChooseCodePage(const TableMark& mark, const vexel::OpenOptions& o) {
  return ChooseTableCodePage(mark, o.codepage, "chosen by the caller", o.ansi);
}

TableText::TableText(const TableRecord& table, const vexel::OpenOptions& options)
    : lossy_(options.lossy) {
  const CodePageChoice choice = ChooseCodePage(ReadTableMark(table), options);
  if (!choice.warning.empty()) {
    Warn(options, choice.warning, {{vexel::Remedy::other_code_page, "chooses another"}});
  }
  page_ = choice.page;
}

std::string TableText::ToUtf8(std::string_view bytes, const std::string& where) {
  os::ConvertedText result =
      os::DecodeCodePage(page_, bytes, lossy_ ? os::OnFault::kReplace : os::OnFault::kStop);
  if (result.fault == os::TextFault::kNone || (lossy_ && result.replaced > 0)) {
    replaced_ += result.replaced;
    return std::move(result.text);
  }
  throw DataError{where + ": " + FaultBytes(bytes, result.fault_offset, result.fault_length) +
                  " at position " + std::to_string(result.fault_offset + 1) +
                  " is no character of code page " + std::to_string(page_),
                  {{vexel::Remedy::other_code_page, "reads another page"},
                   {vexel::Remedy::lossy, "gives \"?\""}}};
}

std::string TableText::FromUtf8(std::string_view utf8, const std::string& where) {
  os::ConvertedText result =
      os::EncodeCodePage(page_, utf8, lossy_ ? os::OnFault::kReplace : os::OnFault::kStop);
  if (result.fault == os::TextFault::kNone || (lossy_ && result.replaced > 0)) {
    replaced_ += result.replaced;
    return std::move(result.text);
  }
  if (result.fault == os::TextFault::kInvalidUtf8) {
    throw InputError{where + ": the text is not UTF-8 (" +
                     FaultBytes(utf8, result.fault_offset, result.fault_length) + " at position " +
                     std::to_string(result.fault_offset + 1) + ")"};
  }
  throw InputError{where + ": " + Quoted(utf8.substr(result.fault_offset, result.fault_length)) +
                   " has no place in code page " + std::to_string(page_),
                   {{vexel::Remedy::lossy, "stores \"?\""}}};
}

std::string TableText::Name(std::string_view utf8) const {
  return os::EncodeCodePage(page_, utf8, os::OnFault::kReplace).text;
}

void TableText::ReportReplacements(const vexel::OpenOptions& options) const {
  if (replaced_ == 0) return;
  Warn(options, std::to_string(replaced_) + (replaced_ == 1 ? " character" : " characters") +
                    " of code page " + std::to_string(page_) + " replaced by \"?\"",
       {{vexel::Remedy::lossy, ""}});
}

void CheckCodePageMark(int page, bool level7) {
  // A page no driver byte names is written to a .cpg file (WriteCodePageMark).
  if (!LanguageDriverForCodePage(page) && !os::CodePageAvailable(page)) {
    throw InputError{"no language driver is known for code page " + std::to_string(page) +
                     ", and this system cannot convert it"};
  }
  if (level7 && DriverNameForCodePage(page).empty()) {
    throw InputError{"no level 7 language driver name is known for code page " +
                     std::to_string(page) + " (437, 850, 852, 866 and 1252 have one)"};
  }
}

std::uint8_t WriteCodePageMark(const std::string& file, int page) {
  CheckCodePageMark(page, false);
  std::uint8_t id = 0;
  std::string why;
  switch (WriteTableMark(file, page, id, why)) {
    case MarkWrite::kWritten:
    case MarkWrite::kCpgWritten:
      return id;
    case MarkWrite::kNoDriver:
    case MarkWrite::kNoDriverName:
      CheckCodePageMark(page, true);
      break;
    case MarkWrite::kDbase2:
      throw InputError{file + " is a dBASE II table: it has no language driver byte"};
    case MarkWrite::kLocked:
      throw LockRefused{file + " cannot be opened for exclusive use (" + why +
                        "): another program may have it open"};
    case MarkWrite::kChanged:
      throw DataError{file + " changed while its mark was being written; nothing was written"};
    case MarkWrite::kFailed:
      break;
  }
  throw DataError{"writing the mark into " + file + " failed (" + why + ")"};
}

// ---------------------------------------------------------------------------------------------
// Sessions

namespace {

// A FoxPro table with a structural .CDX: the engine keeps it current on every edit. One it
// cannot keep (missing, unreadable) refuses the operation before anything is written, unless
// ignore_index asks to edit anyway and leave the index stale.
void GuardStructuralCdx(const vexel::OpenOptions& options, TableRecord& t) {
  if (!t.HasStructuralCdx()) return;
  const std::string cdx = DerivedFileName(t.file_name, "CDX");
  if (options.ignore_index) {
    t.stale_cdx_accepted = true;  // the work-area layer keeps it current otherwise
    Warn(options, "warning: " + cdx +
                      " (FoxPro compound index) is not kept current and is now stale",
         {{vexel::Remedy::ignore_index, ""}});
    return;
  }
  const std::string refusal = EditRefusal(t);
  if (!refusal.empty()) throw InputError{refusal};
}

// Opens the production index of the selected table for an edit. One that exists but cannot be
// read refuses the edit before anything is written (the engine's error), unless ignore_index
// asks to edit anyway, which warns that the index is then stale.
void OpenIndexForEdits(const vexel::OpenOptions& options, const std::string& file) {
  const TableRecord* t = SelectedTable();
  if (t == nullptr || !HasProductionIndex() || !os::FileExists(IndexPath(*t, {}))) return;
  // dBASE level 7 writes its .MDX in another form (version 3, 43-byte tag entries), which this
  // program neither reads nor maintains: no repair would help, the edit is refused.
  if (const std::string unsupported = UnsupportedIndex(*t); !unsupported.empty()) {
    if (options.ignore_index) {
      Warn(options, "warning: " + unsupported + "; it is now stale");
      return;
    }
    throw vexel::NotSupported(
        220, unsupported + ": nothing was changed",
        {{vexel::Remedy::ignore_index, "edits anyway and leaves the index stale"}});
  }
  bool opened;
  {
    QuietErrors quiet;
    EngineErrorCode = 0;
    opened = OpenProductionIndex();
  }
  if (opened) {
    Set_Order_To(0);
    return;
  }
  const std::uint16_t code = EngineErrorCode != 0 ? EngineErrorCode : 222;
  const std::string message = LastErrorMessage;
  if (options.ignore_index) {
    Warn(options,
         "warning: the production index of " + file + " cannot be read (" + message +
             ") and is now stale",
         {{vexel::Remedy::repair, "rebuilds it"}});
    EngineErrorCode = 0;
    return;
  }
  // Access refused is a permission problem (an index or semaphore file, or a folder, that this
  // user may not write), which no rebuild mends.
  if (code == os::kIoAccessDenied) {
    SetEngineError(code, message +
                             " (nothing was changed: an edit needs write access to the index, "
                             "its semaphore file and their folder)");
    return;
  }
  if (vexel::detail::IsLockCode(code)) {
    SetEngineError(code, message + " (nothing was changed)");
    return;
  }
  EngineErrorCode = 0;
  throw vexel::Error(code, ErrorDescription(code) + ": " + message + "; nothing was changed",
                     {{vexel::Remedy::repair, "rebuilds the index"},
                      {vexel::Remedy::ignore_index, "edits without it"}});
}

// Whether this user may open the table file for writing (a missing file counts as writable:
// the open reports it).
bool MayWrite(const std::string& file) {
  os::File probe;
  return os::File::Open(DefaultExtension(file, "DBF"), os::kOpenReadWriteDenyNone, probe) !=
         os::kIoAccessDenied;
}

}  // namespace

WarningsToCaller::WarningsToCaller(const vexel::OpenOptions& options)
    : receiver_(Forward, const_cast<vexel::OpenOptions*>(&options)) {}

void WarningsToCaller::Forward(void* context, const std::string& text) {
  Warn(*static_cast<const vexel::OpenOptions*>(context), "warning: " + text);
}

void RefuseUnsupportedIndex(const TableRecord& t) {
  if (const std::string unsupported = UnsupportedIndex(t); !unsupported.empty()) {
    throw vexel::NotSupported(
        220, unsupported + ": its tags can be neither built nor kept current; nothing was changed");
  }
}

TableSession::TableSession(const vexel::OpenOptions& options, const std::string& file,
                           Access access)
    : options_(options),
      warnings_(options),
      saved_ansi_(AnsiTables),
      saved_override_(OpenModeOverride),
      saved_retries_(LockRetries),
      saved_wait_(LockWaitSeconds),
      saved_wait_ms_(LockWaitMs) {
  if (access == Access::kWrite || access == Access::kIndex) RefuseReadOnly(options, file);
  // The engine's ANSI switch on: records pass as stored, and the operation converts between the
  // table's code page and UTF-8 itself, never by way of another page.
  AnsiTables = true;
  const bool exclusive = options.mode == vexel::OpenMode::exclusive;
  OpenModeOverride = access == Access::kRead && !exclusive          ? os::kOpenReadOnlyDenyNone
                     : access == Access::kSource && !MayWrite(file) ? os::kOpenDenyAll
                                                                    : std::uint16_t{65535};
  LockRetries = static_cast<std::uint8_t>(std::clamp(options.lock_retries, 0, 255));
  // In milliseconds (LockWaitSeconds 0); 0 is no pause.
  LockWaitSeconds = 0;
  LockWaitMs = static_cast<std::uint32_t>(std::max(0, options.lock_wait_ms));
  try {
    Select(0);
    area_ = Selected();
    {
      std::optional<TolerantMemoOpen> tolerant;
      if (access == Access::kRead) tolerant.emplace();
      Use(file + (exclusive ? " EXCLUSIVE" : ""));
      // A name of blanks and control characters is no name: USE only closes the area.
      if (SelectedTable() == nullptr) throw InputError{"no table named " + Quoted(file)};
      if (tolerant && tolerant->outermost() && !TolerantMemoOpen::Failure().empty()) {
        Warn(options, "warning: " + TolerantMemoOpen::Failure() + "; memo fields read as null");
      }
    }
    table_ = SelectedTable();
    if (!table_->damage.empty()) {
      Warn(options, "warning: " + file + " has a damaged header: " + table_->damage +
                        "; it is read with records as long as its fields, and opens only for "
                        "reading");
    }
    if (access == Access::kWrite) GuardStructuralCdx(options, *table_);
    text_.emplace(*table_, options);
    // Keys convert case in the page this operation reads the text in (the engine's choice for
    // a table without a mark follows the ANSI switch, which is on here only to pass bytes).
    table_->code_page = text_->page();
    // Edits keep the production index current: it is open (in natural order, so that record
    // numbers mean what they say) for every operation that writes.
    if (access == Access::kWrite) OpenIndexForEdits(options, file);
    // The .NDX files the caller named are kept current too.
    if (access == Access::kWrite) {
      for (const std::filesystem::path& ndx : options.ndx_files) AttachNdx(vx::os::PathText(ndx));
    }
    // Tags go into the production index: not into one this program does not maintain.
    if (access == Access::kIndex) RefuseUnsupportedIndex(*table_);
  } catch (...) {
    Restore();
    throw;
  }
}

void TableSession::Close() {
  if (area_ != 0) {
    AreaSelection selection(area_);
    table_ = nullptr;
    area_ = 0;
    CloseArea();
  }
  text_->ReportReplacements(options_);
}

void TableSession::Restore() {
  if (area_ != 0) {
    QuietErrors quiet;
    AreaSelection selection(area_);
    table_ = nullptr;
    area_ = 0;
    CloseArea();
  }
  AnsiTables = saved_ansi_;
  OpenModeOverride = static_cast<std::uint16_t>(saved_override_);
  LockRetries = static_cast<std::uint8_t>(saved_retries_);
  LockWaitSeconds = static_cast<std::uint8_t>(saved_wait_);
  LockWaitMs = saved_wait_ms_;
}

TableSession::~TableSession() { Restore(); }

}  // namespace vx::ops
