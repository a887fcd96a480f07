#pragma once
// (key, record number) entries sorted within a memory budget, for the index builder and the
// checker: entries are collected in memory; when the budget is full they are sorted and written
// as one sorted run to a temporary file, and reading back merges the runs k ways (or walks the
// memory when nothing spilled). Entries compare by a key comparator, equal keys by record
// number ascending.
//
// An entry is the key (key length bytes) followed by the record number (4 bytes,
// little-endian).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/foundation/file_utils.h"
#include "engine/index/key_codec.h"
#include "engine/index/mdx_format.h"
#include "platform/os/file.h"

namespace vx {

class SortedRuns {
 public:
  // `budget` bytes of memory for entries (at least 256 entries are held whatever it says);
  // runs go to a "VXP" temporary file in `temp_dir`; `operation` names the caller in messages.
  SortedRuns(int key_length, KeyComparator compare, std::uint64_t budget, std::string temp_dir,
             std::string operation);
  ~SortedRuns();
  SortedRuns(const SortedRuns&) = delete;
  SortedRuns& operator=(const SortedRuns&) = delete;

  // Where the next entry goes: key length bytes of key; false after a report (a run that could
  // not be written).
  std::uint8_t* Slot();
  // Takes the entry whose key Slot() gave room for.
  void Add(std::uint32_t record);

  // Ends the collection: sorts what is in memory and, when runs were written, writes the last
  // one and prepares the merge. False after a report.
  bool Finish();
  // The next entry in order, null at the end or after a report (then failed() is true).
  const std::uint8_t* Next();
  bool failed() const { return failed_; }

  std::size_t entry_size() const { return entry_size_; }
  int runs() const { return static_cast<int>(runs_.size()); }
  std::uint64_t count() const { return total_; }

 private:
  struct Run;
  bool Fail(int code, const std::string& text);
  bool WriteRun();
  void SortInMemory();
  bool Refill(Run& run);
  bool Later(std::size_t a, std::size_t b) const;

  int key_length_;
  KeyComparator compare_;
  std::size_t entry_size_;
  std::string temp_dir_;
  std::string operation_;
  std::vector<std::uint8_t> entries_;
  std::size_t count_ = 0;
  std::size_t capacity_ = 0;
  std::uint64_t total_ = 0;
  std::vector<std::uint32_t> order_;
  std::size_t at_ = 0;  // next entry of order_ (nothing spilled)
  TempFile temp_;       // deleted when the object goes, however it goes
  os::File file_;
  std::uint64_t end_ = 0;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> runs_;  // offset, entries
  std::vector<Run> merging_;
  std::vector<std::size_t> heap_;  // runs by their head entries, the lowest first
  std::size_t share_ = 0;          // entries read into each run's buffer at a time
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::size_t pending_ = kNone;  // the run whose head entry Next handed out last
  bool merge_ = false;
  bool failed_ = false;
};

}  // namespace vx
