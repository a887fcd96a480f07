// pack, zap and packmemo: a table written again beside itself with the records it keeps.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vexel/maintenance.hpp>

#include "engine/api/ops/file_replacement.h"
#include "engine/api/ops/operation.h"
#include "engine/api/ops/record_order.h"
#include "engine/api/ops/table_rewrite.h"
#include "engine/api/ops/table_shape.h"
#include "engine/expr/expression.h"
#include "engine/foundation/errors.h"
#include "engine/foundation/number_text.h"
#include "engine/foundation/settings.h"
#include "engine/foundation/strings.h"
#include "engine/memo/memo_storage.h"
#include "engine/table/dbf_file.h"
#include "engine/table/dbf_records.h"
#include "engine/table/field_values.h"
#include "engine/table/language_driver.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/codepage.h"
#include "platform/os/file.h"
#include "platform/os/system.h"

namespace vx::ops {

namespace {

// Which records a rewrite keeps.
enum class Keep { kNone, kLive, kAll };

// Writes the table again beside itself, keeping the records `keep` allows (none for
// zap, the live ones for pack) with their memos, builds every tag again and puts the new files
// in place.
vexel::PackResult RewriteInPlace(const std::string& file, const vexel::RewriteOptions& rewrite,
                                 const vexel::OpenOptions& options, const std::string& command,
                                 Keep keep) {
  const vexel::OpenOptions exclusive = ExclusiveUse(options, file);
  const TableFiles files = FilesOf(file, options);
  // Record numbers change unless every record stays: the other index files are built again.
  const OtherIndexes others =
      keep == Keep::kAll ? OtherIndexes{} : ReadOtherIndexes(files.table, options);
  TableSession session = OpenExclusive(exclusive, files, command);
  TableRecord& t = session.table();
  vexel::PackResult result;
  const std::vector<TagDefinition> tags =
      files.index.empty() ? std::vector<TagDefinition>() : ReadTagDefinitions(files.index);
  MemoFile* memo = MemoOf(t);
  if (!files.memo.empty() && memo == nullptr) {
    throw DataError{"cannot open the memo file " + files.memo};
  }
  FileReplacement replacement(files.table, files.All(), options);
  const std::string temp_table = replacement.Temp(0);
  const std::string temp_memo = files.memo.empty() ? std::string() : replacement.Temp(1);
  Progress progress(options, command, t.record_count);
  DbfWriter table(replacement.CreateTemp(0), temp_table, ReadHeaderBytes(t), t.record_length,
                  t.IsDbase2());
  std::optional<MemoWriter> memos;
  if (memo != nullptr) {
    result.old_memo_size = FileSize(*memo);
    memos.emplace(replacement.CreateTemp(1), temp_memo, ReadMemoHeader(*memo), memo->kind,
                  memo->block_size);
  }
  std::vector<std::size_t> memo_fields;
  for (std::size_t i = 0; i < t.fields.size(); ++i) {
    if (t.fields[i].type == 'M' && memos) memo_fields.push_back(i);
  }
  const std::int32_t count = keep == Keep::kNone ? 0 : t.record_count;
  const std::size_t per_block = std::max<std::size_t>(1, (4u << 20) / t.record_length);
  std::vector<char> block;
  for (std::int32_t first = 1; first <= count;) {
    const auto n = static_cast<std::int32_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(per_block), count - first + 1));
    block.resize(static_cast<std::size_t>(n) * t.record_length);
    std::size_t got = 0;
    if (t.file.ReadAt(t.RecordOffset(first), std::as_writable_bytes(std::span(block)), got) !=
            os::kIoOk ||
        got != block.size()) {
      throw DataError{"cannot read records " + std::to_string(first) + " to " +
                      std::to_string(first + n - 1) + " of " + files.table +
                      "; the table's files are unchanged"};
    }
    for (std::int32_t i = 0; i < n; ++i) {
      char* record = block.data() + static_cast<std::size_t>(i) * t.record_length;
      if (record[0] == kDeletedFlag && keep == Keep::kLive) {
        ++result.removed;
        continue;
      }
      for (std::size_t f : memo_fields) {
        const FieldEntry& field = t.fields[f];
        const std::int32_t old_block = StoredMemoBlock(t, field, record);
        if (old_block <= 0) continue;
        const std::int32_t new_block =
            CopyMemoInto(*memo, old_block, *memos, first + i, field.name);
        if (field.storage == FieldStorage::kBinaryMemo) {
          PutBinaryMemoBlock(field, record, new_block);
          continue;
        }
        std::memcpy(record + field.offset, BlockDigits(new_block, field.length).data(),
                    field.length);
      }
      table.Append(record);
    }
    first += n;
    progress.Step(first - 1);
    ReachStage(ReplaceStage::kCopying);
  }
  if (keep == Keep::kNone) result.removed = t.record_count;
  CompleteAndReplace(table, memos, temp_table, files.table, tags, progress, replacement,
                     files.All().size() - 1, session);
  if (memos) result.new_memo_size = memos->size();
  result.kept = table.count();
  result.tags = TagNames(tags);
  result.backups = replacement.Finish(rewrite.backup);
  RebuildOtherIndexes(files.table, others);
  return result;
}

}  // namespace

std::int64_t PackMemoFile(const std::string& file, const vexel::OpenOptions& options) {
  RefuseReadOnly(options, file);
  if (FilesOf(file, options).memo.empty()) throw InputError{file + " has no memo file"};
  const vexel::PackResult r = RewriteInPlace(file, {}, options, "packmemo", Keep::kAll);
  return static_cast<std::int64_t>(r.old_memo_size) - static_cast<std::int64_t>(r.new_memo_size);
}

}  // namespace vx::ops

namespace vexel {

PackResult pack_table(const std::string& file, const RewriteOptions& rewrite,
                      const OpenOptions& options) {
  return vx::ops::Run(
      [&] { return vx::ops::RewriteInPlace(file, rewrite, options, "pack", vx::ops::Keep::kLive); });
}

PackResult zap_table(const std::string& file, const RewriteOptions& rewrite,
                     const OpenOptions& options) {
  return vx::ops::Run(
      [&] { return vx::ops::RewriteInPlace(file, rewrite, options, "zap", vx::ops::Keep::kNone); });
}

}  // namespace vexel
