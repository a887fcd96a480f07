#include "engine/api/ops/table_rewrite.h"

#include <algorithm>
#include <cstring>

#include "engine/api/ops/file_replacement.h"
#include "engine/api/ops/operation.h"
#include "engine/foundation/errors.h"
#include "engine/foundation/strings.h"
#include "engine/index/mdx_file.h"
#include "engine/index/table_check.h"
#include "engine/table/dbf_file.h"
#include "engine/table/dbf_records.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/system.h"

namespace vx::ops {

namespace {

constexpr std::size_t kWriteBlock = 1 << 20;

[[noreturn]] void WriteFailed(const std::string& path, int io) {
  throw DataError{"cannot write " + path + " (" + ErrorDescription(static_cast<std::uint16_t>(io)) +
                  "); the table's files are unchanged"};
}

void PutLe32(char* at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<char>(v >> (8 * i));
}
void PutBe32(char* at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<char>(v >> (8 * (3 - i)));
}

}  // namespace

DbfWriter::DbfWriter(os::File file, const std::string& path, std::vector<char> header,
                     std::uint16_t record_length, bool dbase2)
    : path_(path),
      file_(std::move(file)),
      header_(std::move(header)),
      record_length_(record_length),
      dbase2_(dbase2),
      offset_(header_.size()) {
  const int io = file_.WriteAt(0, std::as_bytes(std::span(header_)));
  if (io != os::kIoOk) WriteFailed(path_, io);
  buffer_.reserve(kWriteBlock + record_length_);
}

void DbfWriter::Append(const char* record) {
  buffer_.insert(buffer_.end(), record, record + record_length_);
  ++count_;
  if (buffer_.size() >= kWriteBlock) Flush();
}

void DbfWriter::Flush() {
  if (buffer_.empty()) return;
  const int io = file_.WriteAt(offset_, std::as_bytes(std::span(buffer_)));
  if (io != os::kIoOk) WriteFailed(path_, io);
  offset_ += buffer_.size();
  buffer_.clear();
}

void DbfWriter::Finish() {
  buffer_.push_back(kEndOfFileMarker);
  Flush();
  const os::LocalTime now = os::Now();
  auto* h = reinterpret_cast<unsigned char*>(header_.data());
  const auto count = static_cast<std::uint32_t>(count_);
  if (dbase2_) {
    h[1] = static_cast<unsigned char>(count);
    h[2] = static_cast<unsigned char>(count >> 8);
    h[3] = static_cast<unsigned char>(now.month);
    h[4] = static_cast<unsigned char>(now.day);
    h[5] = static_cast<unsigned char>(now.year - 1900);
  } else {
    h[1] = static_cast<unsigned char>(now.year - 1900);
    h[2] = static_cast<unsigned char>(now.month);
    h[3] = static_cast<unsigned char>(now.day);
    PutLe32(header_.data() + 4, count);
  }
  int io = file_.WriteAt(0, std::as_bytes(std::span(header_).first(dbase2_ ? 8 : kPrologueSize)));
  if (io == os::kIoOk) io = file_.Flush();
  const int closed = file_.Close();
  if (io == os::kIoOk) io = closed;
  if (io != os::kIoOk) WriteFailed(path_, io);
}

MemoWriter::MemoWriter(os::File file, const std::string& path, std::vector<char> header,
                       MemoKind kind, std::uint32_t block_size, bool lossy)
    : path_(path),
      file_(std::move(file)),
      kind_(kind),
      block_size_(block_size == 0 ? 512 : block_size),
      lossy_(lossy) {
  header.resize((header.size() + block_size_ - 1) / block_size_ * block_size_, '\0');
  if (header.empty()) header.resize(block_size_, '\0');
  const int io = file_.WriteAt(0, std::as_bytes(std::span(header)));
  if (io != os::kIoOk) WriteFailed(path_, io);
  flushed_ = end_ = header.size();
  buffer_.reserve(kWriteBlock * 2);
}

std::int32_t MemoWriter::Place(std::string_view bytes, std::uint64_t blocks) {
  const std::uint64_t block = end_ / block_size_;
  if (block > 0x7FFFFFFF) throw DataError{path_ + " would grow past the largest block number"};
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  buffer_.resize(buffer_.size() + (blocks * block_size_ - bytes.size()), '\0');
  end_ += blocks * block_size_;
  if (buffer_.size() >= kWriteBlock) Flush();
  return static_cast<std::int32_t>(block);
}

std::int32_t MemoWriter::AppendStored(std::string_view bytes) {
  // As the engine counts a memo with a block header: stored length / block size + 1 blocks.
  std::uint64_t blocks = (bytes.size() + block_size_ - 1) / block_size_;
  if (kind_ != MemoKind::kDbase3) {
    blocks = std::max<std::uint64_t>(blocks, bytes.size() / block_size_ + 1);
  }
  return Place(bytes, std::max<std::uint64_t>(blocks, 1));
}

std::int32_t MemoWriter::AppendText(std::string_view text, const std::string& where) {
  if (const std::size_t end = MemoCutAt(kind_, text); end != std::string_view::npos) {
    if (!lossy_) {
      throw InputError{where + ": " + MemoCutProblem(end, text.size()),
                       {{vexel::Remedy::lossy, "stores it cut, counted"}}};
    }
    text = text.substr(0, end);
    ++cut_;
  }
  if (text.empty()) return 0;
  std::string stored;
  stored.reserve(text.size() + 8);
  if (kind_ == MemoKind::kDbase3) {
    stored.assign(text);
    stored += std::string(2, kEndOfFileMarker);  // two end markers, as dBASE III writes them
  } else {
    stored.resize(8);
    if (kind_ == MemoKind::kFoxPro) {
      PutBe32(stored.data(), kFoxProText);
      PutBe32(stored.data() + 4, static_cast<std::uint32_t>(text.size()));
    } else {
      stored[0] = stored[1] = static_cast<char>(0xFF);
      stored[2] = 0x08;
      stored[3] = 0x00;
      PutLe32(stored.data() + 4, static_cast<std::uint32_t>(text.size() + 8));
    }
    stored.append(text);
  }
  return AppendStored(stored);
}

void MemoWriter::Flush() {
  if (buffer_.empty()) return;
  const int io = file_.WriteAt(flushed_, std::as_bytes(std::span(buffer_)));
  if (io != os::kIoOk) WriteFailed(path_, io);
  flushed_ += buffer_.size();
  buffer_.clear();
}

void MemoWriter::Finish() {
  Flush();
  // Next free block; for dBASE IV the head of the free chain, which ends at the block count.
  char next[4];
  const auto blocks = static_cast<std::uint32_t>(end_ / block_size_);
  if (kind_ == MemoKind::kFoxPro) {
    PutBe32(next, blocks);
  } else {
    PutLe32(next, blocks);
  }
  int io = file_.WriteAt(0, std::as_bytes(std::span(next)));
  if (io == os::kIoOk) io = file_.Flush();
  const int closed = file_.Close();
  if (io == os::kIoOk) io = closed;
  if (io != os::kIoOk) WriteFailed(path_, io);
}

std::int32_t CopyMemoInto(MemoFile& from, std::int32_t block, MemoWriter& to, std::int32_t record,
                          const std::string& field) {
  const auto unreadable = [&] {
    return DataError{"record " + std::to_string(record) + ", field " + field + ": memo block " +
                     std::to_string(block) + " cannot be read (" + TakeErrorMessage() +
                     "); the table's files are unchanged",
                     {{vexel::Remedy::check, "shows the damage"}}};
  };
  QuietErrors quiet;
  EngineErrorCode = 0;
  MemoBlockInfo info;
  from.record_number = record;
  if (!ReadBlockInfo(from, block, info, "CopyMemo")) throw unreadable();
  if (info.has_header && from.kind == to.kind() && info.length >= 0) {
    // The block header and the bytes as stored: a FoxPro picture stays a picture.
    std::string stored(static_cast<std::size_t>(info.length) + kMemoBlockHeaderSize, '\0');
    std::size_t got = 0;
    const std::uint64_t offset = static_cast<std::uint64_t>(block) * from.block_size;
    if (from.file.ReadAt(offset, std::as_writable_bytes(std::span(stored)), got) != os::kIoOk ||
        got != stored.size()) {
      throw unreadable();
    }
    return to.AppendStored(stored);
  }
  std::string text;
  bool unterminated = false;
  if (!ReadMemoText(from, block, text, "CopyMemo", nullptr, &unterminated)) throw unreadable();
  return to.AppendText(text, "record " + std::to_string(record) + ", field " + field);
}

void MemoWriter::ReportCuts(const vexel::OpenOptions& options) const {
  if (cut_ == 0) return;
  Warn(options, std::to_string(cut_) + (cut_ == 1 ? " memo" : " memos") +
                    " stored cut before byte 0x1A, which ends a dBASE III memo",
       {{vexel::Remedy::lossy, ""}});
}

std::vector<char> ReadHeaderBytes(TableRecord& t) {
  std::vector<char> header(static_cast<std::size_t>(t.header_length));
  std::size_t got = 0;
  if (t.file.ReadAt(0, std::as_writable_bytes(std::span(header)), got) != os::kIoOk ||
      got != header.size()) {
    throw DataError{"cannot read the header of " + t.file_name};
  }
  return header;
}

std::vector<char> ReadMemoHeader(MemoFile& m) {
  std::vector<char> header(static_cast<std::size_t>(FirstMemoBlock(m)) * m.block_size, '\0');
  std::size_t got = 0;
  if (m.file.ReadAt(0, std::as_writable_bytes(std::span(header)), got) != os::kIoOk) {
    throw DataError{"cannot read the header of " + m.name};
  }
  return header;
}

std::vector<TagDefinition> ReadTagDefinitions(const std::string& index_path) {
  if (const std::string unsupported = UnsupportedIndexFile(index_path); !unsupported.empty()) {
    throw vexel::NotSupported(220, unsupported + ": its tags cannot be built for the new table; "
                                                 "nothing was changed");
  }
  std::vector<TagDefinition> tags;
  QuietErrors quiet;
  MdxFile file;
  if (!file.Open(index_path, os::kOpenReadOnlyDenyNone)) {
    throw DataError{"cannot read the index " + index_path + " (" + TakeErrorMessage() + ")",
                    {{vexel::Remedy::repair, "builds it again"}}};
  }
  for (int i = 1; i <= file.header().TagCount(); ++i) {
    TagHeader header;
    if (!file.ReadTagHeader(i, header)) {
      throw DataError{"cannot read tag " + file.header().TagName(i) + " of " + index_path};
    }
    tags.push_back({file.header().TagName(i), TrimText(header.KeyExpression()),
                    header.HasFor() ? TrimText(header.ForExpression()) : std::string(),
                    header.Descending(), header.Unique()});
  }
  return tags;
}

void BuildProductionIndex(const std::string& temp_table, const std::string& final_table,
                          const std::vector<TagDefinition>& tags, Progress& progress,
                          FileReplacement& replacement, std::size_t index_entry) {
  if (tags.empty()) return;
  ReachStage(ReplaceStage::kIndexing);
  // The new table's area is closed on every way out, before its files may be removed.
  OpenedArea opened(temp_table + " EXCLUSIVE");
  progress.FollowIndexBuild();
  bool built = false;
  {
    QuietErrors quiet;
    EngineErrorCode = 0;
    built = MakeIndex(tags);
  }
  if (!built) {
    const std::uint16_t code = LastErrorCode;
    throw DataError{"the index could not be built (" + ErrorDescription(code) + ": " +
                    TakeErrorMessage() + "); the table's files are unchanged"};
  }
  const std::string index = DerivedFileName(temp_table, "MDX");
  opened.Close();
  // The index names the table it belongs to: the final name, not the temporary one.
  char name[16] = {};
  const std::string stem = SplitPath(final_table).name;
  std::memcpy(name, stem.data(), std::min<std::size_t>(stem.size(), 15));
  os::File file;
  int io = os::File::Open(index, os::kOpenReadWriteDenyAll, file, os::Links::kRefuse);
  if (io == os::kIoOk) io = file.WriteAt(4, std::as_bytes(std::span(name)));
  if (io == os::kIoOk) io = file.Flush();
  if (io != os::kIoOk) WriteFailed(index, io);
  replacement.Adopt(index_entry, file);
}

void VerifyNewTable(const std::string& path, std::int32_t records) {
  TableRecord t;
  t.file_name = path;
  t.open_mode = os::kOpenReadOnlyDenyNone;
  QuietErrors quiet;
  EngineErrorCode = 0;
  OpenDbf(t);
  const bool opened = EngineErrorCode == 0 && t.file.IsOpen();
  const std::int32_t count = t.record_count;
  if (t.file.IsOpen()) CloseDbf(t);
  if (!opened || count != records) {
    throw DataError{"the new table " + path + " did not read back as written (" +
                    std::to_string(count) + " records, " + std::to_string(records) +
                    " expected); the table's files are unchanged"};
  }
}

}  // namespace vx::ops
