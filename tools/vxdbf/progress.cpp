#include "tools/vxdbf/progress.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <ostream>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace vx::tool {

bool StandardInputIsTerminal() noexcept {
#ifdef _WIN32
  return _isatty(_fileno(stdin)) != 0;
#else
  return isatty(STDIN_FILENO) != 0;
#endif
}

bool StandardErrorIsTerminal() noexcept {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(STDERR_FILENO) != 0;
#endif
}

std::function<void(const std::string&, std::int64_t, std::int64_t)> TerminalProgress(
    std::ostream& out) {
  if (!StandardErrorIsTerminal()) return {};
  // One line redrawn in place: the label and a whole percentage, drawn again only when the
  // percentage changes; the end of the work ends the line.
  struct Bar {
    std::string label;
    std::int64_t total = 0;
    int shown = -1;
  };
  auto bar = std::make_shared<Bar>();
  return [&out, bar](const std::string& label, std::int64_t done, std::int64_t total) {
    if (done < 0) {
      if (bar->shown >= 0) out << "\n" << std::flush;
      *bar = Bar{};
      return;
    }
    if (total <= 0) return;
    if (label != bar->label || total != bar->total) {
      bar->label = label;
      bar->total = total;
      bar->shown = -1;
    }
    const int percent = static_cast<int>(std::min<std::int64_t>(100, done * 100 / total));
    if (percent == bar->shown) return;
    bar->shown = percent;
    out << "\r" << label << " " << percent << "%   " << std::flush;
  };
}

Progress::Progress(std::ostream& err, std::string label, std::int64_t total)
    : show_(TerminalProgress(err)), label_(std::move(label)), total_(total) {}

Progress::~Progress() {
  if (started_ && show_) show_(label_, -1, total_);
}

void Progress::Step(std::int64_t done) {
  if (!show_ || total_ <= 0) return;
  started_ = true;
  show_(label_, done, total_);
}

}  // namespace vx::tool
