#pragma once
// Per-engine state. Every setting, switch and table that the engine keeps between calls belongs
// to one engine: each layer keeps its share in a state struct of its own (FoundationState here,
// WorkAreaState, IndexState, ...), and the calling thread reaches its current engine's share
// through one thread-local pointer per layer. A thread that never chose an engine works on the
// default one, so a program with a single engine behaves as it always did. vx::Engine and
// vx::EngineScope (engine/startup/engine.h) own the states and switch them.
//
// The names that used to be process-wide variables (EngineErrorCode, DateStyle, SoftSeek, ...)
// stay: each is an EngineField, which reads and writes that field of the current engine. Hot
// paths fetch their layer's state once per operation instead of going through the field names.

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/os/file.h"

namespace vx {

struct TableRecord;

// The calling thread's state of one layer. Each layer specialises it for its state struct, as a
// read of that layer's thread-local pointer.
template <class State>
State& CurrentState();

template <class Member>
struct FieldOf;
template <class S, class T>
struct FieldOf<T S::*> {
  using State = S;
  using Type = T;
};

// A name for one field of the current engine, standing where a process-wide variable stood:
// reading converts to the field, assignment stores into it, `*`, `->` and `[]` reach into it.
// Not copyable, so `auto saved = SoftSeek;` cannot silently keep a name instead of a value
// (write `const bool saved = SoftSeek;`).
template <auto Member>
class EngineField {
  using State = typename FieldOf<decltype(Member)>::State;

 public:
  using Type = typename FieldOf<decltype(Member)>::Type;

  constexpr EngineField() = default;
  EngineField(const EngineField&) = delete;

  Type& operator*() const { return CurrentState<State>().*Member; }
  Type* operator->() const { return &**this; }
  operator Type&() const { return **this; }  // NOLINT: stands for the variable itself

  template <class U>
  const EngineField& operator=(U&& value) const {
    **this = std::forward<U>(value);
    return *this;
  }
  template <class I>
  decltype(auto) operator[](I&& index) const {
    return (**this)[std::forward<I>(index)];
  }
  Type& operator++() const { return ++**this; }
  Type operator++(int) const { return (**this)++; }
  Type& operator--() const { return --**this; }
  Type operator--(int) const { return (**this)--; }
  template <class U>
  Type& operator+=(const U& value) const {
    return **this += value;
  }
  template <class U>
  Type& operator-=(const U& value) const {
    return **this -= value;
  }

  template <class U>
  friend bool operator==(const EngineField& field, const U& value) {
    return *field == value;
  }
  // Texts join as the variables did: LastErrorMessage + " ...", "... " + LastErrorMessage.
  template <class U>
  friend auto operator+(const EngineField& field, U&& value) -> decltype(*field + value) {
    return *field + std::forward<U>(value);
  }
  template <class U>
  friend auto operator+(U&& value, const EngineField& field) -> decltype(value + *field) {
    return std::forward<U>(value) + *field;
  }
  template <class Stream>
  friend auto operator<<(Stream& out, const EngineField& field) -> decltype(out << *field) {
    return out << *field;
  }
};

// What the person who asked for an operation can do about its failure, kept beside the error's
// message (errors.h): the engine names the remedy, and each program words it as its own command
// or option (the library as vexel::Remedy).
enum class EngineRemedy {
  kRepair,     // rebuild the production index's tags from their definitions (check, repair)
  kRepairNdx,  // build a damaged .NDX again from its own key (its check, repair)
  kAddTag,     // build a new production index, tag by tag
};
struct EngineAdvice {
  EngineRemedy remedy;
  std::string effect;  // what the remedy does: "rebuilds it"
};

// The foundation's share: the error state and reporting switches, the settings, and the results
// the file routines keep.
struct FoundationState {
  // Error state (errors.h).
  std::uint16_t engine_error_code = 0;
  std::uint16_t last_error_code = 0;
  std::string last_error_message;
  std::vector<EngineAdvice> last_error_advice;  // goes with last_error_message
  bool raise_on_error = true;
  bool use_exceptions = true;
  void (*error_handler)() = nullptr;
  bool halting = false;
  void (*warning_proc)(void* context, const std::string& text) = nullptr;
  void* warning_context = nullptr;

  // Settings (settings.h).
  int date_style = 0;
  bool century_on = false;
  int century_base = 1956;
  char decimal_separator = '.';
  char thousands_separator = ',';
  bool flush_after_write = false;
  std::uint8_t default_dbf_version = 0x8B;
  std::uint16_t memo_block_size = 512;
  std::uint8_t extra_version_plain = 0;
  std::uint8_t extra_version_memo = 0;
  bool count_from_file_size = false;
  int removable_drives = 0;
  std::uint32_t physical_memory_kb = 0;
  std::string os_version;

  // File routines (file_utils.h).
  std::int32_t last_search_result = 0;
  std::vector<os::DirEntry> failed_erases;

  // The table layer's one setting, kept here rather than in a state of its own: the manager of
  // virtual tables (engine/table/dbf_file.h).
  void (*virtual_file_manager)(TableRecord& table) = nullptr;
};

// Thread-local pointers are read on hot paths. They keep the compiler's default TLS model: when
// the engine is linked into a program, the linker turns each access into a read at a fixed
// offset from the thread pointer; in the package's shared library and in the modules Python and
// SQLite load at run time it goes through __tls_get_addr, because the initial-exec model makes
// such a module fail to load ("cannot allocate memory in static TLS block"). Hot paths fetch the
// pointer once per operation, so the call is paid once, not per field.
extern constinit thread_local FoundationState* tls_foundation;
// The default engine's share, current in every thread until an EngineScope says otherwise. The
// default states are static objects of their layers; no engine code runs during static
// initialisation, so their order against other static objects does not matter.
extern FoundationState default_foundation;

template <>
inline FoundationState& CurrentState<FoundationState>() {
  return *tls_foundation;
}

}  // namespace vx
