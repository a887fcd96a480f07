#include "engine/memo/text_sample.h"

#include <algorithm>

#include "engine/memo/memo_storage.h"
#include "engine/table/code_page_ranking.h"
#include "engine/workarea/navigation.h"

namespace vx {

namespace {

// How much of a table the assistant reads: enough text to judge, bounded for large tables.
constexpr std::int32_t kMaxRecords = 20000;
constexpr std::size_t kMaxMemoBytes = 64 * 1024;
constexpr std::size_t kEnoughHighBytes = 256 * 1024;

}  // namespace

TableSample ReadCodePageSample(TableRecord& t) {
  TableSample sample;
  const std::int32_t count = std::min(t.record_count, kMaxRecords);
  const bool memo_file = MemoOf(t) != nullptr;
  for (std::int32_t n = 1; n <= count && sample.high_bytes < kEnoughHighBytes; ++n) {
    GO(n);
    ++sample.records;
    for (const FieldEntry& f : t.fields) {
      std::string text;
      if (f.type == 'C') {
        // Some writers pad with NUL bytes: padding, not a sign of binary data.
        text.assign(t.record.data() + f.offset, f.length);
        std::replace(text.begin(), text.end(), '\0', ' ');
      } else if (f.type == 'M' && memo_file) {
        const std::int32_t block = StoredMemoBlock(t, f, t.record.data());
        if (block <= 0 || !ReadMemo(t, block, text)) continue;
        if (text.size() > kMaxMemoBytes) text.resize(kMaxMemoBytes);
        ++sample.memos;
      } else {
        continue;
      }
      const auto high = static_cast<std::size_t>(std::count_if(
          text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; }));
      // Binary values (time stamps some programs keep in character fields, pictures in memos)
      // are no text in any page.
      if (high == 0 || LooksBinary(text)) continue;
      sample.high_bytes += high;
      sample.texts.push_back(std::move(text));
    }
  }
  return sample;
}

}  // namespace vx
