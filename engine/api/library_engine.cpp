// The library's engines (vexel::Engine, each over an engine of its own), the scope every call
// runs in, opening and creating tables. (engine/startup/engine.cpp is the engine itself.)

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vexel/vexel.hpp>

#include "engine/api/internal.h"
#include "engine/expr/expression.h"
#include "engine/foundation/errors.h"
#include "engine/foundation/file_utils.h"
#include "engine/foundation/settings.h"
#include "engine/foundation/strings.h"
#include "engine/index/cdx_orders.h"
#include "engine/index/ndx_orders.h"
#include "engine/index/orders.h"
#include "engine/index/table_check.h"
#include "engine/memo/memo_check.h"
#include "engine/startup/engine_startup.h"
#include "engine/table/dbf_records.h"
#include "engine/table/language_driver.h"
#include "engine/table/table_code_page.h"
#include "engine/workarea/hooks.h"
#include "engine/workarea/locks.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/codepage.h"
#include "platform/os/file.h"
#include "platform/os/path_text.h"

namespace vexel {

namespace detail {

bool IsLockCode(int code) { return code == 32 || code == 33 || code == 1017 || code == 1202; }

struct Scope::Saved {
  bool ansi;
  std::uint16_t override_mode;
  std::uint8_t retries;
  std::uint8_t wait_seconds;
  std::uint32_t wait_ms;
  bool raise;
  bool exceptions;
  vx::ErrorHandlerProcType handler;
  bool soft_seek;
  bool key_padding;
  int case_page;
  std::uint8_t area;
};

Scope::Scope(const std::shared_ptr<Engine::Impl>& engine)
    : lock_(engine->mutex), engine_scope_(engine->engine) {
  Enter();
}

Scope::Scope(const Table::Impl& table)
    : lock_(table.engine->mutex), engine_scope_(table.engine->engine) {
  if (table.area == 0) Fail(215, "the table " + vx::os::PathText(table.path) + " is closed");
  Enter();
  vx::CurrentArea = static_cast<std::uint8_t>(table.area);
  vx::LockRetries = static_cast<std::uint8_t>(std::clamp(table.options.lock_retries, 0, 255));
  vx::LockWaitSeconds = 0;
  vx::LockWaitMs = static_cast<std::uint32_t>(std::max(1, table.options.lock_wait_ms));
}

void Scope::Enter() {
  // Every call of the library comes through here, with the engine's state already current
  // (engine_scope_): what the library changes below is this engine's alone.
  saved_ = std::make_unique<Saved>(Saved{vx::AnsiTables, vx::OpenModeOverride, vx::LockRetries,
                                         vx::LockWaitSeconds, vx::LockWaitMs, vx::RaiseOnError,
                                         vx::UseExceptions, vx::ErrorHandlerProc, vx::SoftSeek,
                                         vx::KeyPadding, vx::CaseCodePage, vx::CurrentArea});
  // Records pass as stored: this library converts text between the table's page and UTF-8.
  vx::AnsiTables = true;
  vx::RaiseOnError = true;
  vx::UseExceptions = true;
  vx::ErrorHandlerProc = nullptr;
  vx::SoftSeek = false;
  vx::KeyPadding = false;
}

Scope::~Scope() {
  const Saved& s = *saved_;
  vx::AnsiTables = s.ansi;
  vx::OpenModeOverride = s.override_mode;
  vx::LockRetries = s.retries;
  vx::LockWaitSeconds = s.wait_seconds;
  vx::LockWaitMs = s.wait_ms;
  vx::RaiseOnError = s.raise;
  vx::UseExceptions = s.exceptions;
  vx::ErrorHandlerProc = s.handler;
  vx::SoftSeek = s.soft_seek;
  vx::KeyPadding = s.key_padding;
  vx::CaseCodePage = s.case_page;
  vx::CurrentArea = s.area;
  vx::EngineErrorCode = 0;
}

std::vector<Advice> AdviceOf(const std::vector<vx::EngineAdvice>& engine) {
  std::vector<Advice> advice;
  for (const vx::EngineAdvice& a : engine) {
    switch (a.remedy) {
      case vx::EngineRemedy::kRepair:
        advice.push_back({Remedy::repair, a.effect});
        break;
      case vx::EngineRemedy::kRepairNdx:
        advice.push_back({Remedy::repair_ndx, a.effect});
        break;
      case vx::EngineRemedy::kAddTag:
        advice.push_back({Remedy::add_tag, a.effect});
        break;
    }
  }
  return advice;
}

void RethrowEngineError() {
  try {
    throw;
  } catch (const vx::EVexelError& e) {
    // The text begins "Error # <code> (": the code as it was raised.
    int code = static_cast<int>(vx::LastErrorCode);
    if (const char* text = e.what(); std::strncmp(text, "Error # ", 8) == 0) {
      code = std::atoi(text + 8);
    }
    if (code == 0) code = 254;
    vx::EngineErrorCode = 0;
    vx::LastErrorCode = 0;
    std::string text = e.Fault();
    for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) text.replace(at, 2, ": ");
    if (IsLockCode(code)) throw LockError(code, text);
    throw Error(code, text, AdviceOf(e.Advice()));
  } catch (const std::bad_alloc&) {
    throw Error(8, "not enough memory");
  } catch (const std::exception& e) {
    throw Error(254, e.what());
  }
}

void FreeExpression(const std::shared_ptr<Engine::Impl>& engine, vx::Expr& expr) noexcept {
  if (!expr) return;
  Quietly([&] {
    Scope scope(engine);
    expr = vx::Expr();
  });
}

void Fail(int code, const std::string& message) { throw Error(code, message); }
void FailLock(const std::string& message) { throw LockError(33, message); }
void FailInput(int code, const std::string& message) { throw InputError(code, message); }

std::string ToUtf8(int page, std::string_view stored) {
  return vx::os::DecodeCodePage(page, stored, vx::os::OnFault::kReplace).text;
}

std::string FromUtf8(int page, std::string_view utf8, const std::string& where) {
  vx::os::ConvertedText result = vx::os::EncodeCodePage(page, utf8, vx::os::OnFault::kStop);
  if (result.fault == vx::os::TextFault::kNone) return std::move(result.text);
  if (result.fault == vx::os::TextFault::kInvalidUtf8) {
    FailInput(220, where + ": the text is not UTF-8 (at byte " +
                  std::to_string(result.fault_offset + 1) + ")");
  }
  FailInput(220, where + ": \"" + std::string(utf8.substr(result.fault_offset, result.fault_length)) +
                "\" has no place in code page " + std::to_string(page));
}

}  // namespace detail

using detail::Fail;
using detail::Guarded;
using detail::Scope;

vx::TableRecord& Table::Impl::table() const {
  vx::TableRecord* t = vx::AreaTable(area);
  if (t == nullptr) Fail(215, "the table " + vx::os::PathText(path) + " is not open");
  return *t;
}

bool Engine::Impl::CodePagesFromLocale() {
  static const bool set = [] {
    vx::os::SetCodePagesFromLocale();
    return true;
  }();
  return set;
}

Engine::Engine() : impl_(std::make_shared<Impl>()) {}

Engine::~Engine() = default;

namespace detail {

// USE reads words out of the command: a name holding them would be misread.
void RefuseUnusableName(const std::string& name) {
  std::string upper = " " + vx::os::AnsiUpperText(name) + " ";
  for (const char* word : {" EXCLUSIVE ", " ALIAS ", "LINKED LIST", "VIRTUAL FILE"}) {
    if (upper.find(word) != std::string::npos) {
      Fail(220, "the file name " + name + " holds the word \"" +
                    std::string(word).substr(word[0] == ' ' ? 1 : 0) +
                    "\", which this library cannot pass on");
    }
  }
  if (name.find_first_not_of(" \t") == std::string::npos) Fail(220, "no file name given");
}

}  // namespace detail

namespace {

// Opens the production index of the table just opened. Answers false (the area closed) when a
// shared table's index cannot be used because this user may not write there (no semaphore file
// can be made beside it): the caller opens the table for reading instead.
// Opens the index OpenOptions::index names in place of the production index: an .MDX in the
// work area, a .CDX later (OpenCdx). InputError, the area closed, when it is not there.
void OpenOtherIndex(Table::Impl& impl, vx::TableRecord& t) {
  const std::string name = vx::os::PathText(impl.options.index);
  const bool cdx = vx::IsCdxName(name);
  const std::string path = cdx ? vx::CdxPath(t, name) : vx::IndexPath(t, name);
  std::string refusal;
  if (vx::IsNdxName(name)) {
    refusal = name + " is an .NDX: OpenOptions::ndx_files names those";
  } else if (!vx::os::FileExists(path)) {
    refusal = "no index " + path;
  } else if (!cdx) {
    refusal = vx::UnsupportedIndexFile(path);
  }
  if (!refusal.empty()) {
    vx::QuietErrors quiet;
    vx::CloseArea();
    detail::FailInput(220, refusal);
  }
  if (cdx) return;
  try {
    vx::SetIndexTo(name);
  } catch (...) {
    vx::QuietErrors quiet;
    vx::CloseArea();
    throw;
  }
  vx::Set_Order_To(0);
}

bool OpenIndex(Table::Impl& impl, vx::TableRecord& t) {
  if (!impl.options.index.empty()) {
    OpenOtherIndex(impl, t);
    return true;
  }
  if (!vx::HasProductionIndex() || !vx::os::FileExists(vx::IndexPath(t, {}))) return true;
  // An index this engine does not read: the records read without it; its tags and the edits
  // that would leave it stale are refused when asked for (unless ignore_index, then edits go).
  if (std::string unsupported = vx::UnsupportedIndex(t); !unsupported.empty()) {
    if (!impl.options.ignore_index) impl.unsupported_index = std::move(unsupported);
    return true;
  }
  bool opened;
  {
    vx::QuietErrors quiet;
    vx::EngineErrorCode = 0;
    opened = vx::OpenProductionIndex();
  }
  if (opened) {
    vx::Set_Order_To(0);
    return true;
  }
  const int code = vx::EngineErrorCode != 0 ? static_cast<int>(vx::EngineErrorCode) : 222;
  const std::string message = vx::LastErrorMessage;
  vx::EngineErrorCode = 0;
  if (code == vx::os::kIoAccessDenied && impl.options.mode == OpenMode::shared) {
    vx::CloseArea();
    return false;
  }
  const std::string what = "the production index of " + vx::os::PathText(impl.path) +
                           " cannot be read (" + message + ")";
  // The caller asked to go on without it; a reader never needs it, and says so.
  if (impl.options.ignore_index) return true;
  if (impl.options.mode == OpenMode::read_only) {
    impl.warnings.push_back(what + "; the table is read without its tags");
    impl.index_fault_code = code;
    impl.index_fault = what;
    return true;
  }
  vx::CloseArea();
  // The option's name is the same in every language binding (C++ and Python).
  Fail(code, what + "; opening it read-only, or with ignore_index, reads it without the index");
}

// USE in the impl's mode, then the production index; answers false, nothing left open, when a
// shared open was refused for want of write access (to the table or its memo file, or to make
// the semaphore file beside the index).
bool UseTable(Table::Impl& impl, const std::string& name, int area) {
  if (impl.options.mode == OpenMode::read_only) {
    vx::OpenModeOverride = vx::os::kOpenReadOnlyDenyNone;
  }
  const std::string command = name +
                              (impl.options.mode == OpenMode::exclusive ? " EXCLUSIVE" : "") +
                              " ALIAS VEXEL" + std::to_string(area);
  // A reader never needs the memo file: without it the memo fields read as blank. A writer
  // does; its refusal says how to read the table anyway.
  vx::TolerantMemoOpen tolerant;
  if (impl.options.mode == OpenMode::shared) {
    {
      vx::QuietErrors quiet;
      vx::EngineErrorCode = 0;
      vx::Use(command);
    }
    if (vx::SelectedTable() == nullptr && vx::EngineErrorCode == vx::os::kIoAccessDenied) {
      vx::EngineErrorCode = 0;
      return false;
    }
    if (vx::EngineErrorCode != 0) {
      const std::uint16_t code = vx::EngineErrorCode;
      const std::string message = vx::LastErrorMessage;
      vx::SetEngineError(code, message);  // reported as any failed open is
    }
  } else {
    vx::Use(command);
  }
  const std::string failure = tolerant.outermost() ? vx::TolerantMemoOpen::Failure() : "";
  if (!failure.empty() && vx::SelectedTable() != nullptr) {
    const int code =
        vx::TolerantMemoOpen::FailureCode() != 0 ? vx::TolerantMemoOpen::FailureCode() : 2;
    if (impl.options.mode != OpenMode::read_only) {
      vx::CloseArea();
      // A memo file this user may only read: the table opens for reading.
      if (code == vx::os::kIoAccessDenied && impl.options.mode == OpenMode::shared) return false;
      const std::string message =
          name + ": " + failure + "; a read_only open reads the table without it";
      if (detail::IsLockCode(code)) throw LockError(code, message);
      Fail(code, message);
    }
    impl.warnings.push_back(failure + "; memo fields read as blank");
  }
  vx::TableRecord* t = vx::SelectedTable();
  if (t == nullptr) Fail(2, "cannot open " + name);
  impl.area = area;
  const vx::CodePageChoice choice = vx::ChooseTableCodePage(
      vx::ReadTableMark(*t), impl.options.codepage, "OpenOptions", impl.options.ansi);
  impl.codepage = choice.page;
  // Keys convert case in the page the text is read in.
  t->code_page = choice.page;
  impl.version = t->version();
  impl.fields = std::make_shared<const std::vector<Field>>(detail::FieldsOf(*t, impl.codepage));
  bool indexed = false;
  // The engine keeps a structural FoxPro .CDX current on every edit; a caller that opened the
  // table ignoring its index edits without it and leaves it stale.
  if (impl.options.ignore_index && t->HasStructuralCdx()) {
    t->stale_cdx_accepted = true;
    if (impl.options.mode != OpenMode::read_only) {
      impl.warnings.push_back(vx::DerivedFileName(t->file_name, "CDX") +
                              " (a FoxPro compound index) is ignored: edits leave it stale");
    }
  }
  try {
    indexed = OpenIndex(impl, *t);
  } catch (...) {
    impl.area = 0;
    throw;
  }
  if (!indexed) {
    impl.area = 0;
    return false;
  }
  detail::OpenCdx(impl, *t);
  // The .NDX files the caller named are kept current by every edit through this table.
  if (impl.options.mode != OpenMode::read_only) {
    try {
      for (const std::filesystem::path& ndx : impl.options.ndx_files) vx::AttachNdx(vx::os::PathText(ndx));
    } catch (...) {
      vx::QuietErrors quiet;
      vx::CloseArea();
      impl.area = 0;
      throw;
    }
  }
  return indexed;
}
}  // namespace

namespace detail {

void OpenArea(Table::Impl& impl) {
  const std::string name = vx::os::PathText(impl.path);
  RefuseUnusableName(name);
  vx::Select(0);
  const int area = vx::Selected();
  if (UseTable(impl, name, area)) return;
  // A shared table this user may only read, or whose folder it may not write, opens for
  // reading (every edit is then refused): reading never needs write access.
  impl.options.mode = OpenMode::read_only;
  vx::Select(area);
  UseTable(impl, name, area);
}

}  // namespace detail

Table Engine::open(const std::filesystem::path& path, const OpenOptions& options) {
  auto impl = std::make_shared<Table::Impl>();
  impl->engine = impl_;
  impl->path = path;
  impl->options = options;
  Scope scope(impl_);
  // What the engine got past while opening (an index read without the semaphore) is told in
  // the Table's warnings.
  const vx::WarningReceiver warnings(
      [](void* table, const std::string& text) {
        static_cast<Table::Impl*>(table)->warnings.push_back(text);
      },
      impl.get());
  Guarded([&] { detail::OpenArea(*impl); });
  return Table(std::move(impl));
}

Engine& default_engine() {
  static Engine engine;
  return engine;
}

Table open(const std::filesystem::path& path, const OpenOptions& options) {
  return default_engine().open(path, options);
}

Table create(const std::filesystem::path& path, const std::vector<Field>& fields,
             const CreateOptions& options) {
  return default_engine().create(path, fields, options);
}

const char* version() noexcept { return VEXEL_VERSION; }

}  // namespace vexel
