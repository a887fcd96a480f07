#include "tools/vxdbf/progress.h"

#include <vexel/operations.hpp>

namespace vx::tool {

Progress::Progress(std::ostream& err, std::string label, std::int64_t total)
    : show_(vexel::terminal_progress(err)), label_(std::move(label)), total_(total) {}

Progress::~Progress() {
  if (started_ && show_) show_(label_, -1, total_);
}

void Progress::Step(std::int64_t done) {
  if (!show_ || total_ <= 0) return;
  started_ = true;
  show_(label_, done, total_);
}

}  // namespace vx::tool
