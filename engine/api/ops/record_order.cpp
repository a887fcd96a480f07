#include "engine/api/ops/record_order.h"

#include "engine/api/ops/operation.h"
#include "engine/foundation/errors.h"
#include "engine/index/cdx_orders.h"
#include "engine/index/ndx_orders.h"
#include "engine/index/orders.h"
#include "engine/index/table_check.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/codepage.h"
#include "platform/os/file.h"

namespace vx::ops {

void OpenTag(const TagChoice& choice, const std::string& file) {
  if (const TableRecord* t = SelectedTable(); t != nullptr) {
    const std::string unsupported = UnsupportedIndexFile(IndexPath(*t, choice.index));
    if (!unsupported.empty()) {
      throw vexel::NotSupported(220, unsupported + ": its tags cannot be used");
    }
  }
  if (!SetIndexTo(choice.index)) throw InputError{"no index for " + file};
  const std::string wanted = os::AnsiUpperText(os::Utf8ToAnsi(choice.tag));
  for (int n = 1; n <= OrderCount(); ++n) {
    if (OrderTagName(n) == wanted) {
      Set_Order_To(n);
      return;
    }
  }
  throw InputError{"no tag \"" + choice.tag + "\" in " + IndexFileName()};
}

std::vector<OrderedRecord> RecordOrder(const TagChoice& choice, const std::string& file,
                                       TableRecord& t, std::int32_t count) {
  std::vector<OrderedRecord> order;
  if (choice.tag.empty() && !IsNdxName(choice.index)) {
    if (count < 0) count = t.record_count;
    for (std::int32_t n = 1; n <= count; ++n) order.push_back({n, {}});
    return order;
  }
  if (IsNdxName(choice.index)) return NdxOrder(choice.index, t);
  if (ChoosesCdx(choice, t)) return CdxOrder(choice, t);
  OpenTag(choice, file);
  GoTop();
  while (!dEOF() && order.size() <= static_cast<std::size_t>(t.record_count)) {
    order.push_back({RecNo(), OrderKeyText(CurrentOrder())});
    SKIP(1);
  }
  CloseIndex();
  return order;
}

std::vector<OrderedRecord> NdxOrder(const std::string& name, TableRecord& t) {
  NdxIndex ndx;
  if (!OpenNdxFor(t, NdxPath(t, name), ndx, false)) throw InputError{"no index " + name};
  std::vector<OrderedRecord> order;
  const NdxReadHold hold(ndx.file);
  if (!hold.held()) throw InputError{LastErrorMessage};
  // More items than records: a damaged tree, whose walk ends there. A walk that fails is no
  // order: the records it did not reach would be missing without a word.
  bool stopped = false;
  const bool walked = ndx.file.Walk([&](const std::uint8_t* key, std::uint32_t record) {
    order.push_back({static_cast<std::int32_t>(record), NdxKeyText(ndx, key)});
    stopped = order.size() > static_cast<std::size_t>(std::max(t.record_count, 0));
    return !stopped;
  });
  if (!walked && !stopped) throw DataError{LastErrorMessage};
  return order;
}

bool ChoosesCdx(const TagChoice& choice, const TableRecord& t) {
  return IsCdxName(choice.index) ||
         (choice.index.empty() && !choice.tag.empty() && UsesStructuralCdx(t));
}

std::size_t OpenCdxTag(const TagChoice& choice, TableRecord& t, CdxIndex& out) {
  const std::string path = CdxPath(t, choice.index);
  if (!os::FileExists(path)) throw InputError{"no index " + path};
  if (!OpenCdxFor(t, path, out)) throw DataError{LastErrorMessage};
  const int n = out.file.FindTag(os::Utf8ToAnsi(choice.tag));
  if (n < 0) throw InputError{"no tag \"" + choice.tag + "\" in " + path};
  return static_cast<std::size_t>(n);
}

std::vector<OrderedRecord> CdxOrder(const TagChoice& choice, TableRecord& t) {
  CdxIndex cdx;
  const std::size_t tag = OpenCdxTag(choice, t, cdx);
  std::vector<OrderedRecord> order;
  const CdxReadHold hold(cdx.file);
  if (!hold.held()) throw DataError{LastErrorMessage};
  // More entries than records: a damaged tree, whose walk ends there.
  const auto most = static_cast<std::size_t>(std::max(t.record_count, 0));
  bool stopped = false;
  const bool walked = cdx.file.Walk(cdx.file.tags()[tag], [&](const std::uint8_t* key, std::uint32_t record) {
    order.push_back({static_cast<std::int32_t>(record), CdxKeyText(cdx, tag, key)});
    stopped = order.size() > most;
    return !stopped;
  });
  if (!walked && !stopped) throw DataError{LastErrorMessage};
  return order;
}

int ProductionTagCount(const std::string& table_file, bool flagged) {
  if (!flagged) return -1;
  const std::string path = DerivedFileName(table_file, "MDX");
  if (!os::FileExists(path)) return -1;
  QuietErrors quiet;
  MdxFile file;
  if (!file.Open(path, os::kOpenReadOnlyDenyNone)) return -1;
  return file.header().TagCount();
}

}  // namespace vx::ops
