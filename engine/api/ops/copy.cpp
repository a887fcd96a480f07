// copy: a new table from an existing one (chosen fields, another kind or code page, its memos
// and, on request, its tags).
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

// copy keeps the binary kinds (and .NULL.) as stored, which needs a new table of the same
// family: Visual FoxPro to Visual FoxPro, level 7 to level 7.
void RefuseBinaryConversion(const TableRecord& t, std::uint8_t version) {
  const bool same = t.IsVisualFoxPro() ? version == t.version()
                                       : t.IsLevel7() && (version == kVersionLevel7 ||
                                                          version == kVersionLevel7Memo);
  if (HasBinaryFields(t) && !same) {
    throw InputError{"copy keeps the binary field types of " + t.file_name +
                     " (Visual FoxPro or level 7) only in a table of the same kind, as a copy "
                     "in the table's own version is; nothing was changed"};
  }
}

vexel::CopyResult Copy(const std::string& file, const std::string& target_name,
                       const vexel::CopyOptions& o, const vexel::OpenOptions& options) {
  const std::string target = DefaultExtension(TrimText(target_name), "DBF");
  const TableFiles files = FilesOf(file, options);
  if (os::ResolvePath(target) == files.table) {
    throw InputError{"copy writes a new table: NEW must not be " + file};
  }
  if (os::FileExists(target) && !o.overwrite) {
    throw InputError{target + " exists", {{vexel::Remedy::overwrite, "replaces it"}}};
  }
  if (o.with_index && files.index.empty()) {
    throw InputError{file + " has no production index to copy with it"};
  }
  // The source is only read (a read_only caller may copy it), and under exclusive use.
  vexel::OpenOptions exclusive = options;
  exclusive.mode = vexel::OpenMode::exclusive;
  TableSession session = OpenExclusive(exclusive, files, "copy", Access::kSource);
  TableRecord& t = session.table();
  RefuseCutTable(t, file, "Nothing was copied");
  TableText& from_text = session.text();
  const std::vector<std::size_t> chosen = ChosenFields(o.fields, file, t, from_text);
  const std::uint8_t version = CopyVersion(o.version, t.version());
  RefuseBinaryConversion(t, version);
  const int page = o.codepage != 0 ? o.codepage : from_text.page();
  TableText to_text(page, options.lossy);
  const bool convert = page != from_text.page();
  std::vector<FieldEntry> definitions;
  bool memo_fields = false;
  for (std::size_t i : chosen) {
    definitions.push_back(DefinitionOf(t, t.fields[i]));
    memo_fields = memo_fields || t.fields[i].type == 'M';
  }
  const TableMark mark = ReadTableMark(t);
  const bool mark_page = o.codepage != 0 || (mark.has_byte && mark.id != 0);
  if (mark_page) CheckCodePageMark(page, version == kVersionLevel7Memo);
  Expr condition;
  if (!o.condition.empty()) {
    condition = Expr::Compile(from_text.FromUtf8(o.condition, "the condition"));
    if (!condition || condition->result_type != 'L') {
      throw InputError{"the condition must be a logical expression: " + Quoted(o.condition)};
    }
  }
  std::vector<TagDefinition> tags;
  if (o.with_index) {
    for (TagDefinition tag : ReadTagDefinitions(files.index)) {
      if (convert) {
        for (std::string* text : {&tag.name, &tag.key_expression, &tag.for_condition}) {
          *text = to_text.FromUtf8(from_text.ToUtf8(*text, "tag " + tag.name), "tag " + tag.name);
        }
      }
      tags.push_back(tag);
    }
  }
  std::vector<std::string> finals{os::ResolvePath(target)};
  const std::string memo_final =
      os::ResolvePath(DerivedFileName(target, MemoExtension(MemoVersionOf(version))));
  finals.push_back(memo_final);
  finals.push_back(os::ResolvePath(DerivedFileName(target, "MDX")));
  finals.push_back(os::ResolvePath(DerivedFileName(target, "CPG")));
  FileReplacement replacement(finals.front(), finals, options);
  // A table replaced with overwrite loses the memo file and index the copy does not have.
  if (!memo_fields) replacement.Remove(1);
  if (tags.empty()) replacement.Remove(2);
  // A page no driver byte names is marked by a .cpg, as the source's .cpg marks it when the
  // copy keeps its page and mark.
  PlaceCodePageFile(replacement, 3,
                    !mark_page                          ? mark.cpg.page
                    : LanguageDriverForCodePage(page) ? 0
                                                        : page);
  const std::string temp = replacement.Temp(0);
  const std::string temp_memo = memo_fields ? replacement.Temp(1) : std::string();
  NewTable shape;
  {
    const ShapeFolder folder;
    CreateEmpty(folder.Table(), definitions, version);
    if (mark_page) WriteCodePageMark(folder.Table(), page);
    shape = ReadNewTable(folder.Table(), folder.Memo(version), memo_final);
  }
  CarryDescriptors(t, ReadHeaderBytes(t), chosen, shape);
  // The new table's null and varying-length bits, for SetFieldNull and PutVaryingBytes.
  TableRecord bits;
  bits.null_flags_offset = shape.null_flags_offset;
  bits.null_flags_length = shape.null_flags_length;
  std::vector<OrderedRecord> order;
  if (!o.structure_only) order = RecordOrder({o.tag, o.index}, file, t);
  Progress progress(options, "copy", static_cast<std::int64_t>(order.size()));
  DbfWriter table(replacement.CreateTemp(0), temp, shape.header, shape.record_length, false);
  std::optional<MemoWriter> memos;
  if (memo_fields) {
    memos.emplace(replacement.CreateTemp(1), temp_memo, shape.memo_header, shape.memo_kind,
                  shape.block_size, options.lossy);
  }
  MemoFile* source_memo = MemoOf(t);
  std::vector<char> record(shape.record_length, ' ');
  std::int64_t done = 0;
  for (const OrderedRecord& ordered : order) {
    progress.Step(++done);
    const std::int32_t n = ordered.record;
    GO(n);
    if (condition && *static_cast<const std::int32_t*>(condition.Evaluate()) == 0) continue;
    record[0] = t.record[0];
    if (bits.null_flags_length > 0) {
      std::memset(record.data() + bits.null_flags_offset, 0, bits.null_flags_length);
    }
    for (std::size_t j = 0; j < chosen.size(); ++j) {
      const FieldEntry& from = t.fields[chosen[j]];
      const FieldEntry& to = shape.fields[j];
      const std::string where = "record " + std::to_string(n) + ", field " + from.name;
      SetFieldNull(bits, to, record.data(), FieldIsNull(t, from, t.record.data()));
      if (from.storage == FieldStorage::kVarchar || from.storage == FieldStorage::kVarbinary) {
        std::string bytes(VaryingBytes(t, from, t.record.data()));
        if (convert && !HoldsBytes(from)) {
          bytes = to_text.FromUtf8(from_text.ToUtf8(bytes, where), where);
          if (bytes.size() > to.length) {
            throw InputError{where + ": the text takes " + std::to_string(bytes.size()) +
                             " bytes in code page " + std::to_string(page) + ", the field " +
                             std::to_string(to.length)};
          }
        }
        PutVaryingBytes(bits, to, record.data(), bytes);
        continue;
      }
      if (IsBinaryField(from) && from.storage != FieldStorage::kBinaryMemo) {
        std::memcpy(record.data() + to.offset, t.record.data() + from.offset, to.length);
        continue;
      }
      std::string value(t.record.data() + from.offset, from.length);
      if (from.type == 'M') {
        const std::int32_t block = StoredMemoBlock(t, from, t.record.data());
        std::int32_t new_block = 0;
        if (block > 0 && source_memo == nullptr) throw DataError{where + ": no memo file"};
        // Pictures, objects and binary memos are copied as they are, in any code page.
        if (block > 0 && (!convert || HoldsBytes(from)) && source_memo->kind == memos->kind()) {
          new_block = CopyMemoInto(*source_memo, block, *memos, n, from.name);
        } else if (block > 0) {
          std::string text = MemoText(*source_memo, block, "CopyMemo", where);
          if (convert) text = to_text.FromUtf8(from_text.ToUtf8(text, where), where);
          new_block = memos->AppendText(text, where);
        }
        if (to.storage == FieldStorage::kBinaryMemo) {
          PutBinaryMemoBlock(to, record.data(), new_block);
          continue;
        }
        value = BlockDigits(new_block, to.length);
      } else if (from.type == 'C' && convert) {
        value = to_text.FromUtf8(from_text.ToUtf8(value, where), where);
      }
      value.resize(to.length, ' ');
      std::memcpy(record.data() + to.offset, value.data(), to.length);
    }
    table.Append(record.data());
    ReachStage(ReplaceStage::kCopying);
  }
  CompleteAndReplace(table, memos, temp, finals.front(), tags, progress, replacement, 2, session);
  replacement.Finish(false);
  to_text.ReportReplacements(options);
  if (memos) memos->ReportCuts(options);
  return {target, table.count(), TagNames(tags)};
}

}  // namespace

}  // namespace vx::ops

namespace vexel {

CopyResult copy_table(const std::string& file, const std::string& target, const CopyOptions& copy,
                      const OpenOptions& options) {
  return vx::ops::Run([&] { return vx::ops::Copy(file, target, copy, options); });
}

}  // namespace vexel
