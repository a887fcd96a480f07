#pragma once
// A temporary order for one or more columns without a tag, built in a thread of its own so that the
// window goes on taking keys and scrolling. The thread reads the table file itself (a
// read-only handle of its own, no locks, no engine), takes the field's stored bytes of every
// record and sorts the record numbers by them: numbers and date-times by value, whatever their
// stored form (blank first), dates and characters by their bytes, logicals false before true;
// records equal in every key stay in record order. Keys are kept compact (a number, or the field's
// bytes, per record) so that ten million records sort in a few hundred megabytes. Progress is 0 to
// 100; Cancel stops the thread within a block of records or a few thousand comparisons, reading or
// sorting.

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "engine/table/dbf_file.h"

namespace vx::browser {

// A further column to sort by, compared when the keys before it are equal.
struct SortKey {
  FieldEntry field;
  bool descending = false;
};

struct SortSource {
  std::string path;
  std::uint32_t header_length = 0;
  std::uint32_t record_length = 0;
  std::int32_t record_count = 0;
  // The field as the table's header describes it: its place in the stored record (the
  // deletion flag at 0 comes first), its width and its stored form.
  FieldEntry field;
  bool descending = false;
  std::vector<SortKey> more{};
};

class SortBuilder {
 public:
  explicit SortBuilder(SortSource source);
  ~SortBuilder();
  SortBuilder(const SortBuilder&) = delete;
  SortBuilder& operator=(const SortBuilder&) = delete;

  void Cancel() { cancel_ = true; }
  int Progress() const { return progress_; }
  bool Done() const { return done_; }
  // Waits for the thread.
  void Wait();
  // After Done: the error ("" on success, "cancelled" after Cancel) and the order.
  const std::string& Error() const { return error_; }
  std::vector<std::int32_t> TakeOrder() { return std::move(order_); }
  // The place of each record number in the order (PositionsOf).
  std::vector<std::int32_t> TakePositions() { return std::move(positions_); }

 private:
  void Run();
  void Sort();

  SortSource source_;
  std::atomic<bool> cancel_{false};
  std::atomic<int> progress_{0};
  std::atomic<bool> done_{false};
  std::string error_;
  std::vector<std::int32_t> order_;
  std::vector<std::int32_t> positions_;
  std::thread thread_;
};

}  // namespace vx::browser
