#include "tools/vxdbf/progress.h"

#include <algorithm>
#include <ostream>

#include "engine/index/index_build.h"
#include "platform/os/system.h"

namespace vx::tool {

Progress::Progress(std::ostream& err, std::string label, std::int64_t total)
    : label_(std::move(label)), total_(total) {
  if (os::StandardErrorIsTerminal() && total > 0) err_ = &err;
}

Progress::~Progress() {
  if (following_) SetIndexProgress(nullptr, nullptr, 0);
  if (err_ != nullptr && shown_ >= 0) *err_ << "\n" << std::flush;
}

void Progress::Step(std::int64_t done) {
  if (err_ == nullptr || total_ <= 0) return;
  const int percent = static_cast<int>(std::min<std::int64_t>(100, done * 100 / total_));
  if (percent == shown_) return;
  shown_ = percent;
  *err_ << "\r" << label_ << " " << percent << "%   " << std::flush;
}

void Progress::IndexStep(void* context, int step, int steps) {
  auto* progress = static_cast<Progress*>(context);
  if (steps <= 0) return;
  progress->label_ = "index";
  progress->total_ = steps;
  progress->shown_ = -1;
  progress->Step(step);
}

void Progress::FollowIndexBuild() {
  if (err_ == nullptr) return;
  following_ = true;
  SetIndexProgress(IndexStep, this, 100);
}

}  // namespace vx::tool
