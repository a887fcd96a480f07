// The dBASE III .NDX files a table was opened with (OpenOptions::ndx_files) as tags of their
// own: listed by Table::tags after the production index's tags, each named by its file name
// ("NAMES.NDX", which no tag of an .MDX can be called), searched by Table::seek and find and
// walked by Table::order. Each call opens the file for reading and holds its read lock while it
// reads, so it sees every edit, this table's own included (the edits keep the files attached to
// the work area current); an order walk takes its records at its start, as a .CDX tag's does.

#include <algorithm>
#include <vexel/vexel.hpp>

#include "engine/api/internal.h"
#include "engine/foundation/errors.h"
#include "engine/index/ndx_orders.h"
#include "platform/os/path_text.h"

namespace vexel::detail {

namespace {

// The key type a caller gives keys in: characters (also a date keyed as its eight characters),
// a number, or a date keyed as its day number.
char NdxKeyType(const vx::NdxIndex& ndx) {
  if (!ndx.file.header().numeric) return 'C';
  return ndx.expressions.result_type == 'D' ? 'D' : 'N';
}

[[noreturn]] void FailRead() {
  Fail(vx::EngineErrorCode != 0 ? vx::EngineErrorCode : 222, vx::LastErrorMessage);
}

void OpenForReading(const Table::Impl& impl, const std::string& path, vx::NdxIndex& ndx) {
  if (!vx::OpenNdxFor(impl.table(), path, ndx, false)) FailRead();
}

std::string NdxFilePath(const Table::Impl& impl, const std::filesystem::path& name) {
  return vx::NdxPath(impl.table(), vx::os::PathText(name));
}

}  // namespace

std::optional<std::string> NdxNamed(const Table::Impl& impl, std::string_view tag) {
  const std::string wanted = UpperAscii(tag);
  for (const std::filesystem::path& name : impl.options.ndx_files) {
    const std::string path = NdxFilePath(impl, name);
    if (UpperAscii(std::filesystem::path(path).filename().string()) == wanted) return path;
  }
  return std::nullopt;
}

std::vector<TagInfo> NdxTags(const Table::Impl& impl) {
  std::vector<TagInfo> tags;
  for (const std::filesystem::path& name : impl.options.ndx_files) {
    const std::string path = NdxFilePath(impl, name);
    vx::NdxIndex ndx;
    OpenForReading(impl, path, ndx);
    TagInfo info;
    info.name = std::filesystem::path(path).filename().string();
    info.key = ToUtf8(impl.codepage, ndx.file.header().expression);
    info.unique = ndx.file.header().unique;
    info.key_type = NdxKeyType(ndx);
    tags.push_back(std::move(info));
  }
  return tags;
}

std::optional<std::uint32_t> NdxSeek(const Table::Impl& impl, const std::string& path,
                                     const Value& key, SeekMode mode) {
  vx::NdxIndex ndx;
  OpenForReading(impl, path, ndx);
  vx::KeyBuffer wanted{};
  int length = 0;
  vx::NdxSearchKey(ndx, KeyText(impl, NdxKeyType(ndx), key), mode == SeekMode::exact, wanted,
                   length);
  bool found = false;
  std::string there;
  std::uint32_t record = 0;
  {
    const vx::NdxReadHold hold(ndx.file);
    if (!hold.held() || !ndx.file.Seek(wanted.data(), length, found, there, record)) FailRead();
    const bool equal =
        found && ndx.file.Compare(reinterpret_cast<const std::uint8_t*>(there.data()),
                                  wanted.data(), length) == 0;
    if (!equal && !(found && mode == SeekMode::soft)) return std::nullopt;
  }
  GoRecord(impl, record);
  return record;
}

std::vector<std::uint32_t> NdxRange(const Table::Impl& impl, const std::string& path,
                                    const std::optional<Value>& from,
                                    const std::optional<Value>& to) {
  vx::NdxIndex ndx;
  OpenForReading(impl, path, ndx);
  const char type = NdxKeyType(ndx);
  vx::KeyBuffer first{};
  vx::KeyBuffer last{};
  int first_length = 0;
  int last_length = 0;
  if (from) vx::NdxSearchKey(ndx, KeyText(impl, type, *from), false, first, first_length);
  if (to) vx::NdxSearchKey(ndx, KeyText(impl, type, *to), false, last, last_length);
  std::vector<std::uint32_t> records;
  // More items than records: a damaged tree, whose walk ends there.
  const auto most = static_cast<std::size_t>(std::max(impl.table().record_count, 0));
  bool stopped = false;
  const vx::NdxReadHold hold(ndx.file);
  if (!hold.held()) FailRead();
  const bool walked = ndx.file.Walk([&](const std::uint8_t* key, std::uint32_t record) {
    if (first_length > 0 && ndx.file.Compare(key, first.data(), first_length) < 0) return true;
    if (to && ndx.file.Compare(key, last.data(), last_length) > 0) {
      stopped = true;
      return false;
    }
    records.push_back(record);
    stopped = records.size() > most;
    return !stopped;
  });
  if (!walked && !stopped) FailRead();
  return records;
}

}  // namespace vexel::detail
