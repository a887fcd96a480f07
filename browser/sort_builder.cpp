#include "browser/sort_builder.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>

namespace vx::browser {

namespace {

constexpr std::size_t kBlockBytes = 1 << 20;

struct Entry {
  double number = 0;
  std::string text;
  std::int32_t record = 0;
};

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
  const SortSource& s = source_;
  const bool numeric = s.field_type == 'N' || s.field_type == 'F';
  const bool logical = s.field_type == 'L';
  std::vector<Entry> entries;
  std::ifstream file(s.path, std::ios::binary);
  if (!file || s.record_length == 0 || s.field_offset + s.field_length > s.record_length) {
    error_ = "cannot read " + s.path;
    done_ = true;
    return;
  }
  entries.reserve(static_cast<std::size_t>(std::max(s.record_count, 0)));
  const std::size_t per_block = std::max<std::size_t>(1, kBlockBytes / s.record_length);
  std::vector<char> block(per_block * s.record_length);
  file.seekg(s.header_length);
  std::int32_t record = 0;
  while (record < s.record_count) {
    if (cancel_) {
      error_ = "cancelled";
      done_ = true;
      return;
    }
    const std::size_t wanted =
        std::min<std::size_t>(per_block, static_cast<std::size_t>(s.record_count - record));
    file.read(block.data(), static_cast<std::streamsize>(wanted * s.record_length));
    const auto whole = static_cast<std::size_t>(file.gcount()) / s.record_length;
    for (std::size_t i = 0; i < whole; ++i) {
      const char* field = block.data() + i * s.record_length + s.field_offset;
      Entry entry;
      entry.record = ++record;
      if (numeric) {
        entry.number = NumberOf(field, s.field_length);
      } else if (logical) {
        entry.number = LogicalOf(field[0]);
      } else {
        entry.text.assign(field, s.field_length);
      }
      entries.push_back(std::move(entry));
    }
    progress_ = static_cast<int>(90.0 * record / std::max(1, s.record_count));
    if (whole < wanted) break;  // the file ends early: the records it holds
  }
  const bool descending = s.descending;
  std::stable_sort(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) {
    const int order = numeric || logical
                          ? (a.number < b.number ? -1 : (b.number < a.number ? 1 : 0))
                          : a.text.compare(b.text);
    return descending ? order > 0 : order < 0;
  });
  order_.reserve(entries.size());
  for (const Entry& entry : entries) order_.push_back(entry.record);
  progress_ = 100;
  done_ = true;
}

}  // namespace vx::browser
