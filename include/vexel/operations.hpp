#pragma once
// Whole-table operations, for inspection and maintenance programs: what they share. Each
// operation opens the table itself (by path), does its work under the dBASE lock and semaphore
// protocols, and closes it again; tables the program holds open through vexel::Table stay open.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>
#include <vexel/vexel.hpp>

namespace vexel {

// A warning or note for the person running the program: its text, with any advice in this
// library's words, and the fault and the advice apart for a program that words the advice as
// its own options (Error's fault() and advice()).
struct Warning {
  Warning(std::string fault, std::vector<Advice> advice = {})
      : text(advised(fault, advice)), fault(std::move(fault)), advice(std::move(advice)) {}
  std::string text;
  std::string fault;
  std::vector<Advice> advice;
  // A callback that takes a string takes the text.
  operator const std::string&() const noexcept { return text; }
};

struct OperationOptions {
  // Shared unless exclusive (nobody else may open the table); extra attempts after a lock is
  // refused and the pause between them.
  bool exclusive = false;
  int lock_retries = 0;
  double lock_wait_seconds = 0;
  // Edit a table whose production index cannot be kept current: the index is left stale, and a
  // warning says so. Without it such an edit is refused.
  bool ignore_index = false;
  // dBASE III index files (.NDX) that edits keep current beside the production index: a name
  // without extension gets ".NDX", one without a folder the table's folder. One that is
  // missing, damaged or does not agree with the table refuses the edit before anything is
  // written.
  std::vector<std::filesystem::path> ndx_files{};
  // The page the table's text is read and written in: 0 for the table's language driver mark,
  // else the locale's DOS page (its Windows page with `ansi`).
  int codepage = 0;
  bool ansi = false;
  // Text that does not convert becomes "?" and is counted (a note says how many), instead of
  // an InputError or DataError naming the record and field.
  bool lossy = false;
  // Messages for the person running the program, a line each without its end of line:
  // warnings ("warning: ...") and notes. Null: dropped. A function of a string gets the text.
  std::function<void(const Warning& warning)> warn{};
  // How far long work has come: what it does ("pack", "index"), how much of `total` is done.
  // done < 0 ends that piece of work. Null: not told. While pack, copy and alter copy the
  // records (labels "pack", "copy", "alter") it may throw to stop the work: the table's files stay
  // as they were, and an exception of the caller's own type (not a std::exception) reaches the
  // caller unchanged. Elsewhere ("index", "append") a throw is no way to stop.
  std::function<void(const std::string& label, std::int64_t done, std::int64_t total)> progress{};
};

}  // namespace vexel
