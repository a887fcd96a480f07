// The browser on a large table, on a real display (run it under Xvfb, see
// scripts/browser-bench-xvfb.sh): start-up to the first paint of the grid, each keystroke of a
// seek until the grid shows its record, PgDn and PgUp in a tag's order and in natural order,
// and a column sort without a tag (the longest stall of the window's event loop while it runs,
// keys taken meanwhile, and how soon Cancel stops it), all while another program edits the
// table. A measurement, not a test: it prints figures.
//
// Usage: browser_bench make DIR [RECORDS]   writes DIR/BIG.DBF (the film table) and its
//                                           production index with the tag TITLE
//        browser_bench run DIR/BIG.DBF [--paging]   (--paging: start-up, seeks and paging alone)

#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench/film_table.h"
#include "browser/browser_form.h"
#include "components/dataset/table_dataset.h"
#include "engine/index/index_build.h"
#include "engine/startup/engine_startup.h"
#include "engine/table/dbf_records.h"
#include "engine/workarea/locks.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/record_image.h"
#include "engine/workarea/work_areas.h"
#include "platform/dataset/application.h"
#include "platform/os/file.h"
#include "platform/widgets/forms.h"

namespace vx::bench {
namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds of processor time this thread has used: with other programs busy on the same
// cores a key's wall-clock time is mostly waiting, and this says how much was its own work.
double ThreadCpuMillis() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1000 + now.tv_nsec / 1e6;
}

double MillisSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Milliseconds since this process started, from its start time in /proc (clock ticks since
// boot) and the boot clock.
double MillisSinceProcessStart() {
  std::ifstream stat("/proc/self/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // Field 22 (starttime) counts from the field after the command name's closing parenthesis.
  std::size_t pos = text.rfind(')');
  for (int field = 2; field < 22 && pos != std::string::npos; ++field)
    pos = text.find(' ', pos + 1);
  if (pos == std::string::npos) return -1;
  const double started = std::strtod(text.c_str() + pos + 1, nullptr) / sysconf(_SC_CLK_TCK);
  timespec now{};
  clock_gettime(CLOCK_BOOTTIME, &now);
  return (static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9 - started) * 1000;
}

int Make(const std::string& dir, std::int64_t count) {
  const std::string path = dir + "/BIG.DBF";
  WriteFilms(path, count);
  InitEngine();
  Select(1);
  Use(path + " EXCLUSIVE");
  if (!AddIndexTag({"TITLE", "TITLE", "", false, false})) return 1;
  CloseAll();
  std::printf("wrote %s: %lld records with the production index tag TITLE\n", path.c_str(),
              static_cast<long long>(count));
  return 0;
}

// Another program: changes YEAR of a random record every few milliseconds, and every tenth
// time its TITLE (so the tag changes too), each under the record's lock, until its parent goes.
// It counts its edits in memory shared with the parent (a pipe it wrote to would fill up and
// stop it once the parent, busy measuring, had not read it for a while).
[[noreturn]] void EditForever(const std::string& path, std::atomic<std::int64_t>* report) {
  InitEngine();
  Select(1);
  Use(path);
  std::mt19937 random(20261209);
  TableRecord* table = SelectedTable();
  const std::int32_t count = table != nullptr ? table->record_count : 0;
  std::int64_t edits = 0;
  const pid_t parent = getppid();
  while (count > 0 && getppid() == parent) {
    const auto n = static_cast<std::int32_t>(random() % static_cast<unsigned>(count)) + 1;
    GO(n);
    if (RLock()) {
      RecordImage image = RecordImage::Of(*SelectedTable());
      image.SetNumber(2, 1900 + static_cast<double>(random() % 120));
      if (edits % 10 == 0) image.SetText(1, "Edited " + std::to_string(edits));
      REPLACE();
      Unlock();
      ++edits;
      report->store(edits);
    }
    usleep(5000);
  }
  _exit(0);
}

// How long the window could not react: the longest gap between two ticks of a 5 ms timer,
// less the 5 ms, and when it ended (ms after the start).
struct Stall {
  double longest = 0;
  double at = 0;
};

// Runs the event loop until `done` or `limit_ms`, calling `meanwhile` on every tick.
Stall LongestStall(const std::function<bool()>& done, double limit_ms,
                   const std::function<void()>& meanwhile = {}) {
  const Clock::time_point start = Clock::now();
  Clock::time_point last = start;
  Stall stall;
  QTimer tick;
  tick.setInterval(5);
  QObject::connect(&tick, &QTimer::timeout, [&] {
    const Clock::time_point now = Clock::now();
    const double gap = std::chrono::duration<double, std::milli>(now - last).count() - 5;
    if (gap > stall.longest) stall = {gap, MillisSince(start)};
    last = now;
    if (meanwhile) meanwhile();
  });
  tick.start();
  while (!done() && MillisSince(start) < limit_ms) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  tick.stop();
  return stall;
}

void Key(QWidget* widget, int key, const QString& text = {}) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
  QApplication::sendEvent(widget, &press);
}

void ClickTitle(browser::TBrowserForm& form, const std::string& field) {
  browser::TBrowserGrid* grid = form.Grid;
  for (int i = 0; i < grid->Columns().Count(); ++i) {
    if (grid->Columns().Items(i)->FieldName() != field) continue;
    const TRect cell = grid->CellRect(grid->DataToRawColumn(i), 0);
    const QPointF at(cell.Left + cell.Width() / 2.0, cell.Top + cell.Height() / 2.0);
    QMouseEvent press(QEvent::MouseButtonPress, at, at, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, at, at, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(grid->Widget(), &press);
    QApplication::sendEvent(grid->Widget(), &release);
    return;
  }
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Marks the grid's first paint.
class PaintWatch : public QObject {
 public:
  bool painted = false;

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) painted = true;
    return false;
  }
};

int Run(int argc, char** argv, const std::string& path, bool paging_only) {
  const Clock::time_point main_start = Clock::now();
  void* shared = mmap(nullptr, sizeof(std::atomic<std::int64_t>), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) return 1;
  auto* edits = new (shared) std::atomic<std::int64_t>(0);
  const pid_t editor = fork();
  if (editor == 0) EditForever(path, edits);

  QApplication app(argc, argv);
  QCoreApplication::setOrganizationName("VexelBench");
  QCoreApplication::setApplicationName("vexel");
  InitWidgets(argc, argv);
  SetMessageBoxHook({});
  InitEngine();
  InitTableDatasetUnit();
  LockRetries = 0;
  TComponent owner(nullptr);
  auto* form = new browser::TBrowserForm(&owner);
  PaintWatch watch;
  form->Grid->Widget()->installEventFilter(&watch);
  form->Show();
  if (!form->OpenTable(path)) return 1;
  while (!watch.painted && MillisSince(main_start) < 60000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  const double from_main = MillisSince(main_start);
  const double from_process = MillisSinceProcessStart();
  const std::int32_t records = form->Table->RecordCount();
  std::printf("table: %d records, production index tag TITLE\n", records);
  std::printf("start-up to first paint: %.0f ms from the process's start (%.0f ms from main)\n",
              from_process, from_main);

  // Seeks in the TITLE tag, typed a key at a time; each key until the grid has painted.
  form->ChooseOrder(1);
  std::vector<double> keys, keys_cpu;
  std::mt19937 random(7);
  for (int word = 0; word < 6; ++word) {
    form->SearchField->clear();
    QCoreApplication::processEvents();
    const std::string text = "Film number " + std::to_string(random() % records);
    for (const char c : text) {
      const Clock::time_point start = Clock::now();
      const double cpu = ThreadCpuMillis();
      Key(form->SearchField, 0, QString(QChar(c)));
      form->Grid->Widget()->repaint();
      keys.push_back(MillisSince(start));
      keys_cpu.push_back(ThreadCpuMillis() - cpu);
    }
    QCoreApplication::processEvents();
  }
  std::printf(
      "seek, each keystroke until the grid shows it: median %.1f ms, longest %.1f ms "
      "(%zu keystrokes; the window's own processor time median %.1f ms, longest %.1f ms)\n",
      Median(keys), *std::max_element(keys.begin(), keys.end()), keys.size(), Median(keys_cpu),
      *std::max_element(keys_cpu.begin(), keys_cpu.end()));

  // Paging: PgDn and PgUp pressed on the grid in the TITLE order and in natural order, from
  // places a seek or Ctrl+G reached, each key until the grid has painted. The window's events
  // (its refresh every two seconds among them) run for 10 ms between keys, and the longest
  // stall of the event loop meanwhile is kept, so that a refresh a key would wait for counts.
  for (const int order : {1, 0}) {
    form->ChooseOrder(order);
    form->Grid->SetFocus();
    std::vector<double> pages, pages_cpu;
    Stall worst;
    const std::int64_t edits_before = edits->load();
    for (int stretch = 0; stretch < 12; ++stretch) {
      const std::int32_t at = static_cast<std::int32_t>(random() % records) + 1;
      if (order == 1) {
        form->Seek("Film number " + std::to_string(at));
      } else {
        form->GoToRecord(at);
      }
      for (int i = 0; i < 40; ++i) {
        const Clock::time_point start = Clock::now();
        const double cpu = ThreadCpuMillis();
        Key(form->Grid->Widget(), i < 30 ? Qt::Key_PageDown : Qt::Key_PageUp);
        form->Grid->Widget()->repaint();
        pages.push_back(MillisSince(start));
        pages_cpu.push_back(ThreadCpuMillis() - cpu);
        const Stall between = LongestStall([] { return false; }, 10);
        if (between.longest > worst.longest) worst = between;
      }
    }
    std::printf(
        "PgDn/PgUp in %s, each key until the grid shows the page: median %.1f ms, longest "
        "%.1f ms (%zu keys; own processor time median %.1f ms, longest %.1f ms); longest stall "
        "of the window between keys %.0f ms; the other program made %lld edits meanwhile\n",
        order == 1 ? "the TITLE order" : "natural order", Median(pages),
        *std::max_element(pages.begin(), pages.end()), pages.size(), Median(pages_cpu),
        *std::max_element(pages_cpu.begin(), pages_cpu.end()), worst.longest,
        static_cast<long long>(edits->load() - edits_before));
  }

  if (!paging_only) {
    // A sort without a tag, by a click on YEAR's title; PgDn in the grid now and then meanwhile.
    form->Grid->SetFocus();
    const Clock::time_point sort_start = Clock::now();
    ClickTitle(*form, "YEAR");
    const double click = MillisSince(sort_start);
    std::vector<double> page_keys;
    int ticks = 0;
    const Stall stall = LongestStall([&] { return !form->Sorting(); }, 600000,
                                     [&] {
                                       if (++ticks % 40 != 0) return;
                                       const Clock::time_point start = Clock::now();
                                       std::uint16_t key = VK_NEXT;
                                       form->Grid->KeyDown(key, {});
                                       form->Grid->Widget()->repaint();
                                       page_keys.push_back(MillisSince(start));
                                     });
    const double sorted = MillisSince(sort_start);
    std::printf(
        "sort by YEAR without a tag: %.1f s in the background (the click took %.0f ms); "
        "longest stall of the window %.0f ms (ending %.1f s in); PgDn meanwhile: median %.1f ms, "
        "longest %.1f ms (%zu keys); %s\n",
        sorted / 1000, click, stall.longest, stall.at / 1000, Median(page_keys),
        page_keys.empty() ? 0.0 : *std::max_element(page_keys.begin(), page_keys.end()),
        page_keys.size(), form->Notice.c_str());

    // Another sort, cancelled after a second by its Cancel button.
    ClickTitle(*form, "RUNTIME");
    LongestStall([] { return false; }, 1000);
    const Clock::time_point cancel_start = Clock::now();
    const bool was_sorting = form->Sorting();
    form->SortCancel->click();
    const double cancel_stall = LongestStall([&] { return !form->Sorting(); }, 60000).longest;
    std::printf("cancel: %s %.0f ms after the click (longest stall %.0f ms); %s\n",
                was_sorting ? "stopped" : "(already done)", MillisSince(cancel_start), cancel_stall,
                form->Notice.c_str());
  }

  kill(editor, SIGTERM);
  waitpid(editor, nullptr, 0);
  std::printf("another program changed %lld records meanwhile (every tenth its TITLE key)\n",
              static_cast<long long>(edits->load()));
  delete form;
  return 0;
}

}  // namespace
}  // namespace vx::bench

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "make" && argc >= 3) {
    return vx::bench::Make(argv[2], argc > 3 ? std::atoll(argv[3]) : 10000000);
  }
  if (mode == "run" && argc >= 3) {
    return vx::bench::Run(argc, argv, argv[2], argc > 3 && std::string(argv[3]) == "--paging");
  }
  std::fprintf(stderr,
               "usage: browser_bench make DIR [RECORDS]\n"
               "       browser_bench run DIR/BIG.DBF [--paging]\n");
  return 2;
}
