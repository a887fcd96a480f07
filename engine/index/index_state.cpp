#include "engine/index/index_state.h"

#include "engine/index/ndx_orders.h"
#include "engine/index/order_internal.h"
#include "engine/table/dbf_file.h"
#include "engine/workarea/work_areas.h"

namespace vx {

IndexState::~IndexState() = default;

IndexState* NewIndexState() { return new IndexState; }

TableIndexState::TableIndexState() = default;
TableIndexState::~TableIndexState() = default;

TableIndexState& IndexStateOf(TableRecord& t) {
  if (!t.index) t.index = std::make_shared<TableIndexState>();
  return *static_cast<TableIndexState*>(t.index.get());
}

TableIndexState* FoundIndexState(const TableRecord& t) {
  return static_cast<TableIndexState*>(t.index.get());
}

TableIndexState* FoundIndexState(int area) {
  const TableRecord* t = AreaTable(area);
  return t == nullptr ? nullptr : FoundIndexState(*t);
}

IndexState default_index;
constinit thread_local IndexState* tls_index = &default_index;

}  // namespace vx
