#include "engine/index/sorted_runs.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>

#include "engine/foundation/errors.h"

namespace vx {

namespace {

// Bytes of a run written, or read back into one run's buffer, per call at most.
constexpr std::size_t kBatchBytes = 1 << 20;

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

}  // namespace

struct SortedRuns::Run {
  std::uint64_t next = 0;  // file offset of the next unread entry
  std::uint64_t left = 0;  // entries not yet read into the buffer
  std::vector<std::uint8_t> buffer;
  std::size_t at = 0;
};

SortedRuns::SortedRuns(int key_length, KeyComparator compare, std::uint64_t budget,
                       std::string temp_dir, std::string operation)
    : key_length_(key_length),
      compare_(compare),
      entry_size_(static_cast<std::size_t>(key_length) + 4),
      temp_dir_(std::move(temp_dir)),
      operation_(std::move(operation)) {
  // Each entry also takes its 4-byte place in the order being sorted, and character keys
  // two 16-byte sort items while a run is sorted.
  const bool bytes = compare == CompareCharKeys || compare == CompareCharKeysDescending;
  const std::size_t per_entry = entry_size_ + 4 + (bytes ? 32 : 0);
  capacity_ = static_cast<std::size_t>(std::max<std::uint64_t>(256, budget / per_entry));
}

SortedRuns::~SortedRuns() {
  if (file_.IsOpen()) file_.Close();
}

bool SortedRuns::Fail(int code, const std::string& text) {
  SetEngineError(static_cast<std::uint16_t>(code != 0 ? code : 222),
                 text + " [" + operation_ + "]");
  failed_ = true;
  return false;
}

std::uint8_t* SortedRuns::Slot() {
  if (count_ == capacity_ && !WriteRun()) return nullptr;
  // The memory grows with the entries, up to the budget: a small table takes little.
  if (entries_.size() < (count_ + 1) * entry_size_) {
    const std::size_t grown = std::min(capacity_, std::max<std::size_t>(1024, 2 * count_));
    entries_.resize(grown * entry_size_);
  }
  return entries_.data() + count_ * entry_size_;
}

void SortedRuns::Add(std::uint32_t record) {
  PutLe32(entries_.data() + count_ * entry_size_ + key_length_, record);
  ++count_;
  ++total_;
}

void SortedRuns::SortInMemory() {
  order_.resize(count_);
  const bool bytes = compare_ == CompareCharKeys || compare_ == CompareCharKeysDescending;
  if (!bytes || count_ < 64) {
    for (std::size_t i = 0; i < count_; ++i) order_[i] = static_cast<std::uint32_t>(i);
    EntrySorter(entries_.data(), key_length_, compare_).Sort(order_.data(), order_.data() + count_);
    return;
  }
  // Character keys compare as bytes: the entries are sorted by eight bytes of their keys taken
  // as one number, past the bytes every key shares, and only entries whose eight bytes are
  // equal are compared in full. The eight bytes sit in the sorted items themselves, so the
  // sort reads no entry for most of its work.
  const std::uint8_t* first = entries_.data();
  std::size_t common = static_cast<std::size_t>(key_length_);
  for (std::size_t i = 1; i < count_ && common > 0; ++i) {
    const std::uint8_t* e = entries_.data() + i * entry_size_;
    while (common > 0 && std::memcmp(first, e, common) != 0) {
      common = static_cast<std::size_t>(std::mismatch(first, first + common, e).first - first);
    }
  }
  const bool descending = compare_ == CompareCharKeysDescending;
  struct Item {
    std::uint64_t prefix;
    std::uint32_t index;
  };
  std::vector<Item> items(count_);
  for (std::size_t i = 0; i < count_; ++i) {
    const std::uint8_t* key = entries_.data() + i * entry_size_ + common;
    std::uint64_t prefix = 0;
    const std::size_t n = std::min<std::size_t>(8, key_length_ - common);
    for (std::size_t b = 0; b < 8; ++b) prefix = prefix << 8 | (b < n ? key[b] : 0);
    items[i] = {descending ? ~prefix : prefix, static_cast<std::uint32_t>(i)};
  }
  // By the eight bytes: a radix sort, one byte a pass from the last, passing over bytes that
  // are the same in every item.
  std::vector<Item> spare(count_);
  for (int shift = 0; shift < 64; shift += 8) {
    std::array<std::size_t, 257> starts{};
    for (const Item& item : items) ++starts[((item.prefix >> shift) & 0xFF) + 1];
    if (std::find(starts.begin(), starts.end(), count_) != starts.end()) continue;
    for (std::size_t d = 1; d < starts.size(); ++d) starts[d] += starts[d - 1];
    for (const Item& item : items) spare[starts[(item.prefix >> shift) & 0xFF]++] = item;
    items.swap(spare);
  }
  // Entries whose eight bytes are equal: by the whole key, then the record.
  const EntrySorter full(entries_.data(), key_length_, compare_);
  for (std::size_t i = 0; i < count_;) {
    std::size_t end = i + 1;
    while (end < count_ && items[end].prefix == items[i].prefix) ++end;
    if (end - i > 1) {
      std::sort(items.begin() + static_cast<std::ptrdiff_t>(i),
                items.begin() + static_cast<std::ptrdiff_t>(end),
                [&full](const Item& a, const Item& b) { return full.Less(a.index, b.index); });
    }
    i = end;
  }
  for (std::size_t i = 0; i < count_; ++i) order_[i] = items[i].index;
}

bool SortedRuns::WriteRun() {
  if (count_ == 0) return true;
  if (!file_.IsOpen()) {
    const int code = temp_.Create(temp_dir_, TempFilePrefix);
    if (code != 0) return Fail(code, "Error requesting unique file name");
    file_ = temp_.TakeFile();
  }
  SortInMemory();
  std::vector<std::uint8_t> out;
  out.reserve(std::min(kBatchBytes + entry_size_, count_ * entry_size_));
  runs_.emplace_back(end_, count_);
  for (std::size_t i = 0; i < count_; ++i) {
    const std::uint8_t* e = entries_.data() + std::size_t{order_[i]} * entry_size_;
    out.insert(out.end(), e, e + entry_size_);
    if (out.size() >= kBatchBytes || i + 1 == count_) {
      const int code = file_.WriteAt(end_, std::as_bytes(std::span(out)));
      if (code != 0) return Fail(code, "Error writing " + temp_.path());
      end_ += out.size();
      out.clear();
    }
  }
  count_ = 0;
  return true;
}

bool SortedRuns::Finish() {
  if (runs_.empty()) {
    SortInMemory();
    at_ = 0;
    return true;
  }
  if (!WriteRun()) return false;
  order_.clear();
  order_.shrink_to_fit();
  // Each run reads through its own share of the budget.
  const std::size_t budget = capacity_ * entry_size_;
  entries_.clear();
  entries_.shrink_to_fit();
  share_ = std::max<std::size_t>(1, budget / runs_.size() / entry_size_);
  share_ = std::min(share_, std::max<std::size_t>(1, kBatchBytes / entry_size_));
  merging_.resize(runs_.size());
  for (std::size_t i = 0; i < runs_.size(); ++i) {
    merging_[i].next = runs_[i].first;
    merging_[i].left = runs_[i].second;
    if (!Refill(merging_[i])) return false;
    if (!merging_[i].buffer.empty()) {
      heap_.push_back(i);
      std::push_heap(heap_.begin(), heap_.end(), [this](auto a, auto b) { return Later(a, b); });
    }
  }
  merge_ = true;
  return true;
}

bool SortedRuns::Refill(Run& r) {
  const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(r.left, share_));
  r.buffer.resize(n * entry_size_);
  r.at = 0;
  if (n == 0) return true;
  std::size_t got = 0;
  const int code = file_.ReadAt(r.next, std::as_writable_bytes(std::span(r.buffer)), got);
  if (code != 0 || got != r.buffer.size()) return Fail(code, "Error reading " + temp_.path());
  r.next += r.buffer.size();
  r.left -= n;
  return true;
}

bool SortedRuns::Later(std::size_t a, std::size_t b) const {
  const std::uint8_t* x = merging_[a].buffer.data() + merging_[a].at;
  const std::uint8_t* y = merging_[b].buffer.data() + merging_[b].at;
  const int c = compare_(x, y, key_length_);
  if (c != 0) return c > 0;
  return GetLe32(x + key_length_) > GetLe32(y + key_length_);
}

const std::uint8_t* SortedRuns::Next() {
  if (failed_) return nullptr;
  if (!merge_) {
    if (at_ == order_.size()) return nullptr;
    return entries_.data() + std::size_t{order_[at_++]} * entry_size_;
  }
  // The entry handed out last is passed over only now, so that it stays readable until this
  // call.
  const auto later = [this](std::size_t a, std::size_t b) { return Later(a, b); };
  if (pending_ != kNone) {
    Run& r = merging_[pending_];
    r.at += entry_size_;
    if (r.at == r.buffer.size() && !Refill(r)) return nullptr;
    if (r.at < r.buffer.size()) {
      heap_.push_back(pending_);
      std::push_heap(heap_.begin(), heap_.end(), later);
    }
    pending_ = kNone;
  }
  if (heap_.empty()) return nullptr;
  std::pop_heap(heap_.begin(), heap_.end(), later);
  pending_ = heap_.back();
  heap_.pop_back();
  const Run& r = merging_[pending_];
  return r.buffer.data() + r.at;
}

}  // namespace vx
