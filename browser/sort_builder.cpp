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

void SortBuilder::Sort() {
  const SortSource& s = source_;
  const FieldEntry& f = s.field;
  const char kind = ValueKind(f);
  const bool logical = kind == 'L';
  const bool numeric = kind == 'N' || kind == 'T';
  // Binary numbers and date-times go through the engine's reading of them.
  const bool binary = IsBinaryField(f);
  std::ifstream file(s.path, std::ios::binary);
  if (!file || s.record_length == 0 || f.offset == 0 ||
      std::uint32_t{f.offset} + f.length > s.record_length) {
    error_ = "cannot read " + s.path;
    return;
  }
  // Compact keys: a number per record, or the field's bytes of every record side by side.
  const auto count = static_cast<std::size_t>(std::max(s.record_count, 0));
  std::vector<double> numbers;
  std::vector<char> texts;
  const std::size_t width = f.length;
  constexpr double kBlank = -std::numeric_limits<double>::infinity();
  if (numeric || logical) {
    numbers.reserve(count);
  } else {
    texts.reserve(count * width);
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
      const char* record = block.data() + i * s.record_length;
      const char* field = record + f.offset;
      if (numeric && kind == 'T') {
        const std::optional<DateTimeValue> at = BinaryDateTime(f, record);
        numbers.push_back(at ? at->day_number + at->milliseconds / 86400000.0 : kBlank);
      } else if (numeric && binary) {
        numbers.push_back(BinaryNumber(f, record).value_or(kBlank));
      } else if (numeric) {
        numbers.push_back(NumberOf(field, width));
      } else if (logical) {
        numbers.push_back(LogicalOf(field[0]));
      } else {
        texts.insert(texts.end(), field, field + width);
      }
    }
    read += whole;
    progress_ = static_cast<int>(60.0 * static_cast<double>(read) / std::max<double>(1, count));
    if (whole < wanted) break;  // the file ends early: the records it holds
  }
  std::vector<std::int32_t> order(read);
  for (std::size_t i = 0; i < read; ++i) order[i] = static_cast<std::int32_t>(i + 1);
  // Equal values stay in record order: the record number breaks ties, so any sort is stable.
  const bool descending = s.descending;
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
    int order_ab = 0;
    if (numeric || logical) {
      order_ab = numbers[ia] < numbers[ib] ? -1 : (numbers[ib] < numbers[ia] ? 1 : 0);
    } else {
      order_ab = std::memcmp(texts.data() + ia * width, texts.data() + ib * width, width);
    }
    if (order_ab == 0) return a < b;
    return descending ? order_ab > 0 : order_ab < 0;
  };
  std::sort(order.begin(), order.end(), compare);
  if (cancel_) throw Cancelled{};
  positions_ = PositionsOf(order);
  order_ = std::move(order);
  progress_ = 100;
}

}  // namespace vx::browser
