#include "browser/sort_builder.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <new>
#include <optional>

#include "browser/browser_table.h"
#include "engine/table/field_values.h"

namespace vx::browser {

namespace {

constexpr std::size_t kBlockBytes = 1 << 20;
// Comparisons between looks at the cancel switch during the sort.
constexpr std::uint64_t kCancelCheck = 1 << 16;

// Thrown from a comparison to leave the sort when it was cancelled.
struct Cancelled {};

double NumberOf(const char* bytes, std::size_t length) {
  std::string text(bytes, length);
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return -std::numeric_limits<double>::infinity();
  char* end = nullptr;
  const double value = std::strtod(text.c_str() + first, &end);
  return end == text.c_str() + first ? -std::numeric_limits<double>::infinity() : value;
}

double LogicalOf(char c) {
  switch (c) {
    case 'T':
    case 't':
    case 'Y':
    case 'y':
      return 2;
    case 'F':
    case 'f':
    case 'N':
    case 'n':
      return 1;
    default:
      return 0;
  }
}

}  // namespace

SortBuilder::SortBuilder(SortSource source) : source_(std::move(source)) {
  thread_ = std::thread([this] { Run(); });
}

SortBuilder::~SortBuilder() {
  cancel_ = true;
  Wait();
}

void SortBuilder::Wait() {
  if (thread_.joinable()) thread_.join();
}

void SortBuilder::Run() {
  // The window's thread comes first: this one yields the processor to it (nice 10 for this
  // thread alone), so that a sort never slows the keys and the painting down.
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
  try {
    Sort();
  } catch (const Cancelled&) {
    error_ = "cancelled";
  } catch (const std::bad_alloc&) {
    error_ = "not enough memory to sort " + std::to_string(source_.record_count) + " records";
  }
  if (!error_.empty()) {
    order_.clear();
    positions_.clear();
  }
  done_ = true;
}

namespace {

// One key's values of every record, kept compact: a number per record, or the field's bytes of
// every record side by side.
class KeyColumn {
 public:
  KeyColumn(const SortKey& key, std::size_t count)
      : field_(key.field),
        descending_(key.descending),
        kind_(ValueKind(key.field)),
        width_(key.field.length) {
    if (Numeric()) {
      numbers_.reserve(count);
    } else {
      texts_.reserve(count * width_);
    }
  }
  // Whether the field lies within records of `record_length` bytes.
  bool Fits(std::uint32_t record_length) const {
    return field_.offset != 0 && std::uint32_t{field_.offset} + field_.length <= record_length;
  }
  void Take(const char* record) {
    constexpr double kBlank = -std::numeric_limits<double>::infinity();
    const char* value = record + field_.offset;
    if (kind_ == 'T') {
      // Binary numbers and date-times go through the engine's reading of them.
      const std::optional<DateTimeValue> at = BinaryDateTime(field_, record);
      numbers_.push_back(at ? at->day_number + at->milliseconds / 86400000.0 : kBlank);
    } else if (kind_ == 'N' && IsBinaryField(field_)) {
      numbers_.push_back(BinaryNumber(field_, record).value_or(kBlank));
    } else if (kind_ == 'N') {
      numbers_.push_back(NumberOf(value, width_));
    } else if (kind_ == 'L') {
      numbers_.push_back(LogicalOf(value[0]));
    } else {
      texts_.insert(texts_.end(), value, value + width_);
    }
  }
  // Records a and b (0-based) in this key's order: < 0, 0 or > 0.
  int Compare(std::size_t a, std::size_t b) const {
    int order = 0;
    if (Numeric()) {
      order = numbers_[a] < numbers_[b] ? -1 : (numbers_[b] < numbers_[a] ? 1 : 0);
    } else {
      order = std::memcmp(texts_.data() + a * width_, texts_.data() + b * width_, width_);
    }
    return descending_ ? -order : order;
  }

 private:
  bool Numeric() const { return kind_ == 'N' || kind_ == 'T' || kind_ == 'L'; }

  FieldEntry field_;
  bool descending_;
  char kind_;
  std::size_t width_;
  std::vector<double> numbers_;
  std::vector<char> texts_;
};

}  // namespace

void SortBuilder::Sort() {
  const SortSource& s = source_;
  const auto count = static_cast<std::size_t>(std::max(s.record_count, 0));
  std::vector<KeyColumn> keys;
  keys.emplace_back(SortKey{s.field, s.descending}, count);
  for (const SortKey& key : s.more) keys.emplace_back(key, count);
  std::ifstream file(s.path, std::ios::binary);
  bool fit = file && s.record_length != 0;
  for (const KeyColumn& key : keys) fit = fit && key.Fits(s.record_length);
  if (!fit) {
    error_ = "cannot read " + s.path;
    return;
  }
  const std::size_t per_block = std::max<std::size_t>(1, kBlockBytes / s.record_length);
  std::vector<char> block(per_block * s.record_length);
  file.seekg(s.header_length);
  std::size_t read = 0;
  while (read < count) {
    if (cancel_) throw Cancelled{};
    const std::size_t wanted = std::min(per_block, count - read);
    file.read(block.data(), static_cast<std::streamsize>(wanted * s.record_length));
    const auto whole = static_cast<std::size_t>(file.gcount()) / s.record_length;
    for (std::size_t i = 0; i < whole; ++i) {
      for (KeyColumn& key : keys) key.Take(block.data() + i * s.record_length);
    }
    read += whole;
    progress_ = static_cast<int>(60.0 * static_cast<double>(read) / std::max<double>(1, count));
    if (whole < wanted) break;  // the file ends early: the records it holds
  }
  std::vector<std::int32_t> order(read);
  for (std::size_t i = 0; i < read; ++i) order[i] = static_cast<std::int32_t>(i + 1);
  // Records equal in every key stay in record order: the record number breaks ties, so any
  // sort is stable.
  std::uint64_t comparisons = 0;
  // About n log2 n comparisons: progress runs from 60 to 95 over them.
  const double expected = std::max(1.0, static_cast<double>(read) * std::log2(read + 2.0));
  const auto compare = [&](std::int32_t a, std::int32_t b) {
    if (++comparisons % kCancelCheck == 0) {
      if (cancel_) throw Cancelled{};
      progress_ =
          60 + static_cast<int>(std::min(35.0, 35.0 * static_cast<double>(comparisons) / expected));
    }
    const auto ia = static_cast<std::size_t>(a - 1), ib = static_cast<std::size_t>(b - 1);
    for (const KeyColumn& key : keys) {
      if (const int order_ab = key.Compare(ia, ib); order_ab != 0) return order_ab < 0;
    }
    return a < b;
  };
  std::sort(order.begin(), order.end(), compare);
  if (cancel_) throw Cancelled{};
  positions_ = PositionsOf(order);
  order_ = std::move(order);
  progress_ = 100;
}

}  // namespace vx::browser
