#pragma once
// vxdbf's progress display.

#include <cstdint>
#include <iosfwd>
#include <string>

namespace vx::tool {

// A progress bar on standard error for long work, when standard error is a terminal.
class Progress {
 public:
  Progress(std::ostream& err, std::string label, std::int64_t total);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  void Step(std::int64_t done);
  // Routes the index builds that run while this lives to the same bar.
  void FollowIndexBuild();

 private:
  static void IndexStep(void* context, int step, int steps);
  std::ostream* err_ = nullptr;
  std::string label_;
  std::int64_t total_ = 0;
  int shown_ = -1;
  bool following_ = false;
};

}  // namespace vx::tool
