#pragma once
// vxdbf's progress display for work the tool drives itself (the library's operations report
// through OpenOptions::progress, which OpenOptionsOf draws the same way).

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>

namespace vx::tool {

// Whether standard input / standard error is a terminal: a person can be asked to confirm (zap),
// a progress bar can be redrawn in place.
bool StandardInputIsTerminal() noexcept;
bool StandardErrorIsTerminal() noexcept;

// A progress display for vexel::OpenOptions::progress: when standard error is a terminal,
// one line on `out` redrawn in place ("pack 42%"), ended when the work ends; otherwise nothing.
std::function<void(const std::string& label, std::int64_t done, std::int64_t total)>
TerminalProgress(std::ostream& out);

// A progress bar on standard error for long work, when standard error is a terminal.
class Progress {
 public:
  Progress(std::ostream& err, std::string label, std::int64_t total);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  void Step(std::int64_t done);

 private:
  std::function<void(const std::string&, std::int64_t, std::int64_t)> show_;
  std::string label_;
  std::int64_t total_ = 0;
  bool started_ = false;
};

}  // namespace vx::tool
