#pragma once
// The library's whole-table operations (inspect.hpp, edit.hpp, indexing.hpp, maintenance.hpp,
// codepage_assistant.hpp): what every one of them uses. An operation runs under the scope of an
// engine of its own (Run), opens its table in a work area with the bytes as stored (TableSession),
// converts text between the table's page and UTF-8 strictly or counting replacements (TableText),
// reports progress and warnings through the caller's OpenOptions, and fails with the public errors.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vexel/vexel.hpp>

#include "engine/api/internal.h"
#include "engine/foundation/errors.h"
#include "engine/table/table_code_page.h"

namespace vx {
struct TableRecord;
}

namespace vx::ops {

// The failures of an operation, thrown as the public errors (`throw InputError{"..."}`).
struct InputError : vexel::InputError {
  explicit InputError(const std::string& message, std::vector<vexel::Advice> advice = {})
      : vexel::InputError(220, message, std::move(advice)) {}
};
struct DataError : vexel::DataError {
  explicit DataError(const std::string& message, std::vector<vexel::Advice> advice = {})
      : vexel::DataError(254, message, std::move(advice)) {}
};
struct LockRefused : vexel::LockError {
  explicit LockRefused(const std::string& message) : vexel::LockError(33, message) {}
};

// The engine an operation runs on: the outermost Run of a thread makes one of its own (started
// afresh, closed with every table the operation left open when the operation ends), the Runs
// nested in it use that one. Operations in two threads thus share no engine and no mutex.
class OperationEngine {
 public:
  OperationEngine();
  ~OperationEngine();
  OperationEngine(const OperationEngine&) = delete;
  OperationEngine& operator=(const OperationEngine&) = delete;
  const std::shared_ptr<vexel::Engine::Impl>& impl() const { return impl_; }

 private:
  std::shared_ptr<vexel::Engine::Impl> impl_;
  OperationEngine* outer_;
};

// Runs `body` under the scope of the operation's engine: its mutex, the library's settings,
// and engine errors turned into vexel::Error.
template <class F>
auto Run(F&& body) -> decltype(body()) {
  const OperationEngine engine;
  vexel::detail::Scope scope(engine.impl());
  return vexel::detail::Guarded(body);
}

// Refuses (InputError) an operation that writes to a table the caller opened read_only.
void RefuseReadOnly(const vexel::OpenOptions& options, const std::string& file);
// The caller's options with the table for exclusive use, for the operations that rewrite or
// rebuild its files (refused when read_only).
vexel::OpenOptions ExclusiveUse(const vexel::OpenOptions& options, const std::string& file);

// A value in double quotes for a message, cut (at a character boundary) after about 60 bytes.
std::string Quoted(std::string_view text);
std::string Shortened(std::string_view text, std::size_t limit);

// Tells the caller how far long work has come (OpenOptions::progress).
class Progress {
 public:
  Progress(const vexel::OpenOptions& options, std::string label, std::int64_t total);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  void Step(std::int64_t done);
  // Index builds that run while this lives report as "index".
  void FollowIndexBuild();

 private:
  static void IndexStep(void* context, int step, int steps);
  const vexel::OpenOptions& options_;
  std::string label_;
  std::int64_t total_ = 0;
  bool following_ = false;
  bool started_ = false;
};

// A warning or note for the caller (OpenOptions::warn).
void Warn(const vexel::OpenOptions& options, const std::string& message,
          std::vector<vexel::Advice> advice = {});

// Sends the engine's warnings to options.warn ("warning: ..."; dropped when it is null) for a
// scope. `options` must outlive it.
class WarningsToCaller {
 public:
  explicit WarningsToCaller(const vexel::OpenOptions& options);

 private:
  static void Forward(void* context, const std::string& text);
  WarningReceiver receiver_;
};

// Refuses (NotSupported) a table whose production index is one this program neither reads nor
// maintains: tags can be neither built into it nor kept current.
void RefuseUnsupportedIndex(const TableRecord& t);

// Refuses (DataError) a table whose header counts more records than its file holds: an append
// would write over the cut record, a rewrite would invent the missing ones. `nothing` says what
// did not happen ("Nothing was appended"); the message names both counts and vxdbf check.
void RefuseCutTable(TableRecord& t, const std::string& file, const std::string& nothing);

// The page an operation reads and writes a table's text in (OpenOptions::codepage, else as
// the engine chooses; `ansi` takes the ANSI page for a table without a usable mark).
CodePageChoice ChooseCodePage(const TableMark& mark, const vexel::OpenOptions& options);

// Converts one table's text. With `lossy`, what cannot be converted becomes "?" and is counted;
// otherwise it is an error that names `where` ("record 3, field NAME").
class TableText {
 public:
  TableText(int page, bool lossy) : page_(page), lossy_(lossy) {}
  // From the table (the choice and its warning to options.warn).
  TableText(const TableRecord& table, const vexel::OpenOptions& options);

  int page() const { return page_; }
  // Stored bytes to UTF-8; DataError when a byte is no character of the page.
  std::string ToUtf8(std::string_view bytes, const std::string& where);
  // UTF-8 to stored bytes; InputError for ill-formed UTF-8 or a character the page lacks.
  std::string FromUtf8(std::string_view utf8, const std::string& where);
  // A field name given by the caller, in the table's bytes (never counted as lossy).
  std::string Name(std::string_view utf8) const;
  // How many characters became "?".
  std::size_t replaced() const { return replaced_; }
  // Tells the caller how many characters became "?", when any did.
  void ReportReplacements(const vexel::OpenOptions& options) const;

 private:
  int page_;
  bool lossy_;
  std::size_t replaced_ = 0;
};

// Refuses (InputError) a page whose mark cannot be written: neither a language driver for it nor
// a conversion (for a .cpg file), or, in a level 7 table, no driver name.
void CheckCodePageMark(int page, bool level7);
// Writes the mark of `page` (byte 29, and the driver name of a level 7 table) into the file's
// header under exclusive use; nothing else in the file changes. A page without a driver byte
// goes into the table's .cpg file and the byte is cleared (WriteTableMark). Answers the id
// written (0 for a .cpg).
std::uint8_t WriteCodePageMark(const std::string& file, int page);

// kRead opens the table read-only (unless exclusive; read_only is shared here) and without its memo
// file when that is missing or cannot be opened: a warning says so, and memo fields read as null.
// kWrite opens the production index for edits (refusing when it cannot be read, unless
// ignore_index). kIndex reads and writes like kWrite without opening the production index (the
// operations that build or check it open it themselves). kSource is kIndex for a table that is only
// read (the source of a copy): a file this user may not write opens read-only, its exclusive open
// still keeping other programs' writers out.
enum class Access { kRead, kWrite, kIndex, kSource };

// One operation's use of the engine: sets the engine's settings from the options, opens the
// table in a free work area with its bytes as stored, and on leaving closes that area and
// restores the settings. Runs inside Run().
class TableSession {
 public:
  TableSession(const vexel::OpenOptions& options, const std::string& file, Access access);
  ~TableSession();
  TableSession(const TableSession&) = delete;
  TableSession& operator=(const TableSession&) = delete;

  TableRecord& table() { return *table_; }
  // The table's text in its code page, and UTF-8.
  TableText& text() { return *text_; }
  // The work area the table is open in (selected while the session runs).
  int area() const { return area_; }
  // Closes the table and reports a failure of the close (the header write, the end marker);
  // then says how many characters `lossy` replaced.
  void Close();

 private:
  void Restore();

  const vexel::OpenOptions& options_;
  // The engine's warnings go to options.warn while the session lives.
  WarningsToCaller warnings_;
  bool saved_ansi_;
  unsigned saved_override_;
  unsigned saved_retries_;
  unsigned saved_wait_;
  unsigned saved_wait_ms_;
  int area_ = 0;
  TableRecord* table_ = nullptr;
  std::optional<TableText> text_;
};

}  // namespace vx::ops
