// The share self-test (include/vexel/locktest.hpp): both sides, talking one line at a time
// over the second process's standard input and output.

#include <istream>
#include <ostream>
#include <set>
#include <sstream>
#include <vexel/locktest.hpp>

#include "engine/api/ops/operation.h"
#include "engine/foundation/errors.h"
#include "engine/foundation/strings.h"
#include "engine/index/semaphore.h"
#include "engine/table/dbf_file.h"
#include "engine/table/dbf_records.h"
#include "engine/workarea/locks.h"
#include "engine/workarea/navigation.h"
#include "engine/workarea/record_image.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/file.h"
#include "platform/os/path_text.h"
#include "platform/os/system.h"

namespace vx::ops {

namespace {

constexpr int kAnswerMs = 15000;
constexpr int kAppends = 200;  // by each process
// The semaphore file's lock region.
constexpr std::uint64_t kSemaphoreRegion = 1;
constexpr std::uint64_t kSemaphoreLength = 4;

// The scratch table opened in a free work area, closed again (with the lock settings restored)
// when the test ends, however it ends; the other areas are left alone.
class ScratchArea {
 public:
  ScratchArea() : retries_(LockRetries), wait_ms_(LockWaitMs) {
    // Refused locks are the point of the test: no retries, no waits.
    LockRetries = 0;
    LockWaitMs = 0;
  }
  ~ScratchArea() {
    Close();
    LockRetries = retries_;
    LockWaitMs = wait_ms_;
  }
  ScratchArea(const ScratchArea&) = delete;
  ScratchArea& operator=(const ScratchArea&) = delete;

  TableRecord& Open(const std::string& path) {
    Close();
    Select(0);
    Use(path);
    area_ = Selected();
    return *SelectedTable();
  }
  void Close() {
    if (area_ == 0) return;
    QuietErrors quiet;
    const AreaSelection selection(area_);
    area_ = 0;
    CloseArea();
  }

 private:
  std::uint8_t retries_;
  std::uint32_t wait_ms_;
  int area_ = 0;
};

std::string TablePath(const std::filesystem::path& dir) {
  std::string path = vx::os::PathText(dir);
  if (!path.empty() && path.back() != '/') path += '/';
  return path + vexel::locktest_table;
}

std::string FieldText(const TableRecord& t, int n) {
  const FieldEntry& f = t.fields[static_cast<std::size_t>(n - 1)];
  return TrimText(std::string(t.record.data() + f.offset, f.length));
}

// Appends `count` records numbered from `first`, each under the append lock, waiting for the
// lock while the other process holds it.
bool AppendNumbered(int first, int count) {
  TableRecord& t = *SelectedTable();
  for (int i = 0; i < count; ++i) {
    const std::uint32_t start = os::TickCount();
    while (!ALock()) {
      if (os::TickCount() - start > static_cast<std::uint32_t>(kAnswerMs)) return false;
      os::SleepMs(1);
    }
    ClearRecord();
    RecordImage image = RecordImage::Of(t);
    image.SetNumber(1, first + i);
    image.SetText(2, "appended");
    Append();
    Unlock();
  }
  return true;
}

// Whether the semaphore file's lock region can be locked through a new open of the file.
bool TrySemaphoreRegion(const std::string& path, os::File& holder) {
  if (!os::FileExists(path)) {
    os::File created;
    if (os::File::Create(path, created) != os::kIoOk) return false;
  }
  if (os::File::Open(path, os::kOpenReadWriteDenyNone, holder) != os::kIoOk) return false;
  return holder.LockRange(kSemaphoreRegion, kSemaphoreLength) == os::kIoOk;
}

// Asks the other process and answers its reply ("" when it did not answer).
std::string Ask(os::Subprocess& peer, const std::string& command) {
  std::string reply;
  if (!peer.WriteLine(command) || !peer.ReadLine(reply, kAnswerMs)) return {};
  return reply;
}

}  // namespace

}  // namespace vx::ops

namespace vexel {

bool LocktestReport::passed() const {
  for (const LocktestVerdict& v : verdicts) {
    if (!v.passed) return false;
  }
  return true;
}

void locktest_peer(const std::filesystem::path& dir, std::istream& in, std::ostream& out,
                   bool simulate_broken_locks) {
  vx::ops::Run([&] {
    using namespace vx;
    using namespace vx::ops;
    // A share that ignores locks grants every one.
    const bool broken = simulate_broken_locks;
    ScratchArea area;
    TableRecord& t = area.Open(TablePath(dir));
    out << "ready" << std::endl;
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream words(line);
      std::string command;
      words >> command;
      std::string answer;
      if (command == "rlock") {
        std::int32_t n = 0;
        words >> n;
        GO(n);
        const bool granted = broken || RLock();
        if (granted && !broken) Unlock();
        answer = granted ? "granted" : "refused";
      } else if (command == "alock") {
        const bool granted = broken || ALock();
        if (granted && !broken) Unlock();
        answer = granted ? "granted" : "refused";
      } else if (command == "sem") {
        os::File holder;
        answer = broken || TrySemaphoreRegion(SemaphoreFileName(t.file_name), holder) ? "granted"
                                                                                      : "refused";
      } else if (command == "read") {
        std::int32_t n = 0;
        words >> n;
        GO(n);
        answer = "value " + FieldText(t, 2);
      } else if (command == "append") {
        int first = 0;
        words >> first;
        answer = AppendNumbered(first, kAppends) ? "done" : "timeout";
      } else if (command == "quit") {
        break;
      } else {
        answer = "unknown";
      }
      out << answer << std::endl;
    }
  });
}

LocktestReport locktest(const std::filesystem::path& dir, const LocktestOptions& options) {
  return vx::ops::Run([&] {
    using namespace vx;
    using namespace vx::ops;
    if (options.peer_arguments.empty()) {
      throw vx::ops::InputError{"the arguments that start the second process are missing"};
    }
    const std::string path = TablePath(dir);
    ScratchArea area;
    {
      // A fresh scratch table with two records.
      TableRecord created;
      CreateDBF(created, path, {{"ID", 'N', 8, 0, 0}, {"TXT", 'C', 20, 0, 0}});
    }
    TableRecord& t = area.Open(path);
    if (!AppendNumbered(1, 2))
      throw vx::ops::DataError{"cannot append to the scratch table " + path};
    os::Subprocess peer;
    if (peer.Start(options.peer_arguments) != 0) {
      throw vx::ops::DataError{"cannot start a second process"};
    }
    std::string reply;
    if (!peer.ReadLine(reply, kAnswerMs) || reply != "ready") {
      throw vx::ops::DataError{"the second process could not open " + path};
    }
    if (options.started) options.started(path);
    LocktestReport report;
    report.table = path;
    std::vector<LocktestVerdict>& verdicts = report.verdicts;
    const auto held_here = [&](const std::string& check, bool locked, const std::string& ask) {
      if (!locked) {
        verdicts.push_back({check, false, "this process could not take it"});
        return;
      }
      const std::string answer = Ask(peer, ask);
      verdicts.push_back({check, answer == "refused",
                          answer == "refused" ? "held here, refused to the other process"
                          : answer.empty()    ? "the other process did not answer"
                                              : "held here, yet granted to the other process"});
    };
    GO(1);
    held_here("record lock", RLock(), "rlock 1");
    Unlock();
    held_here("append lock", ALock(), "alock");
    Unlock();
    {
      os::File holder;
      held_here("semaphore region", TrySemaphoreRegion(SemaphoreFileName(t.file_name), holder),
                "sem");
    }
    // A write here is read there at once: no caching between the two.
    const std::string token = "seen" + std::to_string(os::TickCount() % 1000000);
    GO(2);
    const bool written = RLock();
    if (written) {
      RecordImage::Of(t).SetText(2, token);
      REPLACE();
      Unlock();
    }
    const std::string seen = Ask(peer, "read 2");
    verdicts.push_back({"write seen at once", written && seen == "value " + token,
                        !written       ? "this process could not lock the record"
                        : seen.empty() ? "the other process did not answer"
                        : seen == "value " + token
                            ? "written here, read there at once"
                            : "the other process read \"" +
                                  seen.substr(std::min<std::size_t>(6, seen.size())) +
                                  "\" instead of \"" + token + "\""});
    // Appends from both at once: every one counted, none overwritten.
    if (!peer.WriteLine("append 100000")) throw vx::ops::DataError{"the second process is gone"};
    const bool appended_here = AppendNumbered(200000, kAppends);
    const bool appended_there = peer.ReadLine(reply, 4 * kAnswerMs) && reply == "done";
    Ask(peer, "quit");
    peer.Wait();
    // Counted again from the file, through a new open.
    TableRecord& again = area.Open(path);
    std::set<std::string> ids;
    for (std::int32_t n = 1; n <= again.record_count; ++n) {
      GO(n);
      ids.insert(FieldText(again, 1));
    }
    const std::int32_t expected = 2 + 2 * kAppends;
    const bool all_counted = appended_here && appended_there && again.record_count == expected &&
                             static_cast<std::int32_t>(ids.size()) == expected;
    verdicts.push_back({"appends from both", all_counted,
                        std::to_string(again.record_count) + " records with " +
                            std::to_string(ids.size()) + " different numbers, " +
                            std::to_string(expected) + " expected"});
    area.Close();
    {
      QuietErrors quiet;
      os::DeleteFile(path);
      os::DeleteFile(SemaphoreFileName(path));
    }
    return report;
  });
}

}  // namespace vexel
