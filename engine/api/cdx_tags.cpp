// The tags of a FoxPro table's structural .CDX through the library: listed by Table::tags,
// walked by Table::order and searched by Table::seek and find. The index is only read (the
// engine refuses edits of such a table); each call holds the file's read lock while it reads.

#include <vexel/vexel.hpp>

#include "engine/api/internal.h"
#include "engine/foundation/errors.h"
#include "engine/index/cdx_orders.h"
#include "platform/os/path_text.h"

namespace vexel::detail {

namespace {

vx::CdxIndex& Index(const Table::Impl& impl) {
  if (impl.cdx == nullptr) {
    Fail(222, "the tags of " + vx::os::PathText(impl.path) + " cannot be used: " + impl.cdx_fault);
  }
  return *impl.cdx;
}

// Takes the read lock and reads the directory again; Error after a report.
struct Hold {
  explicit Hold(vx::CdxIndex& index) : hold(index.file) {
    if (!hold.held()) RethrowEngineError();
  }
  vx::CdxReadHold hold;
};

const vx::CdxTagKeys& SearchableKeys(const Table::Impl& impl, std::size_t n) {
  vx::CdxIndex& cdx = Index(impl);
  const vx::CdxTagKeys& keys = cdx.keys[n];
  if (!keys.unusable.empty()) {
    throw NotSupported(220, "tag " + ToUtf8(impl.codepage, cdx.file.tags()[n].name) +
                                " cannot be searched: " + ToUtf8(impl.codepage, keys.unusable));
  }
  return keys;
}

}  // namespace

bool UsesCdx(const Table::Impl& impl) { return impl.cdx != nullptr || !impl.cdx_fault.empty(); }

std::size_t CdxTagNumber(const Table::Impl& impl, std::string_view tag) {
  vx::CdxIndex& cdx = Index(impl);
  const int n = cdx.file.FindTag(FromUtf8(impl.codepage, UpperAscii(tag), "the tag name"));
  if (n < 0) {
    FailInput(220, "no tag " + std::string(tag) + " in " + cdx.file.path());
  }
  return static_cast<std::size_t>(n);
}

std::vector<TagInfo> CdxTags(const Table::Impl& impl) {
  vx::CdxIndex& cdx = Index(impl);
  const Hold hold(cdx);
  std::vector<TagInfo> tags;
  for (std::size_t n = 0; n < cdx.file.tags().size(); ++n) {
    const vx::CdxTag& tag = cdx.file.tags()[n];
    TagInfo info;
    info.name = ToUtf8(impl.codepage, tag.name);
    info.key = ToUtf8(impl.codepage, tag.header.key_expression);
    if (tag.header.HasFor()) info.for_expr = ToUtf8(impl.codepage, tag.header.for_expression);
    info.descending = tag.header.descending;
    info.unique = tag.header.Unique();
    info.key_type = cdx.keys[n].type;
    info.searchable = cdx.keys[n].unusable.empty();
    tags.push_back(std::move(info));
  }
  return tags;
}

std::optional<std::uint32_t> CdxSeek(const Table::Impl& impl, std::string_view tag,
                                     const Value& key, SeekMode mode) {
  const std::size_t n = CdxTagNumber(impl, tag);
  const vx::CdxTagKeys& keys = SearchableKeys(impl, n);
  vx::CdxIndex& cdx = Index(impl);
  vx::KeyBuffer wanted{};
  int length = 0;
  vx::CdxSearchKey(cdx, n, KeyText(impl, keys.type, key), mode == SeekMode::exact, wanted, length);
  bool found = false;
  std::string there;
  std::uint32_t record = 0;
  {
    const Hold hold(cdx);
    const vx::CdxTag& t = cdx.file.tags()[n];
    if (!cdx.file.Seek(t, wanted.data(), length, found, there, record)) RethrowEngineError();
    const bool equal = found && vx::CdxFile::Compare(t, reinterpret_cast<const std::uint8_t*>(there.data()),
                                                     wanted.data(), length) == 0;
    if (!equal && !(found && mode == SeekMode::soft)) return std::nullopt;
  }
  GoRecord(impl, record);
  return record;
}

std::vector<std::uint32_t> CdxRange(const Table::Impl& impl, std::string_view tag,
                                    const std::optional<Value>& from,
                                    const std::optional<Value>& to) {
  const std::size_t n = CdxTagNumber(impl, tag);
  vx::CdxIndex& cdx = Index(impl);
  vx::KeyBuffer first{};
  vx::KeyBuffer last{};
  int first_length = 0;
  int last_length = 0;
  bool from_key = false;
  if (from || to) {
    const vx::CdxTagKeys& keys = SearchableKeys(impl, n);
    if (from) {
      const std::string text = KeyText(impl, keys.type, *from);
      // An empty text is no starting key: the walk starts at the first key.
      from_key = !text.empty();
      vx::CdxSearchKey(cdx, n, text, false, first, first_length);
    }
    if (to) vx::CdxSearchKey(cdx, n, KeyText(impl, keys.type, *to), false, last, last_length);
  }
  const Hold hold(cdx);
  const vx::CdxTag& t = cdx.file.tags()[n];
  std::vector<std::uint32_t> records;
  // More entries than records: a damaged tree, whose walk ends there.
  const auto most = static_cast<std::size_t>(std::max(impl.table().record_count, 0));
  bool stopped = false;
  const bool walked = cdx.file.WalkFrom(
      t, from_key ? first.data() : nullptr, first_length,
      [&](const std::uint8_t* key, std::uint32_t record) {
        if (to && vx::CdxFile::Compare(t, key, last.data(), last_length) > 0) {
          stopped = true;
          return false;
        }
        records.push_back(record);
        stopped = records.size() > most;
        return !stopped;
      });
  if (!walked && !stopped) RethrowEngineError();
  return records;
}

void OpenCdx(Table::Impl& impl, vx::TableRecord& t) {
  const std::string named = vx::os::PathText(impl.options.index);
  if (named.empty() ? !vx::UsesStructuralCdx(t) : !vx::IsCdxName(named)) return;
  auto cdx = std::make_shared<vx::CdxIndex>();
  vx::QuietErrors quiet;
  vx::EngineErrorCode = 0;
  if (vx::OpenCdxFor(t, vx::CdxPath(t, named), *cdx)) {
    impl.cdx = std::move(cdx);
  } else {
    impl.cdx_fault = ToUtf8(impl.codepage, std::string(vx::LastErrorMessage));
    impl.warnings.push_back("the structural index of " + vx::os::PathText(impl.path) +
                            " cannot be read (" + impl.cdx_fault + "); its tags cannot be used");
  }
  vx::EngineErrorCode = 0;
}

}  // namespace vexel::detail
