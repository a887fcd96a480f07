#include "tools/vxdbf/locktest_command.h"

#include <CLI/CLI.hpp>
#include <istream>
#include <ostream>
#include <set>
#include <sstream>

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
#include "platform/os/system.h"
#include "tools/vxdbf/build_commands.h"
#include "tools/vxdbf/table_text.h"
#include "tools/vxdbf/vxdbf.h"

namespace vx::tool {

namespace {

constexpr const char* kTableName = "VXLOCKTS.DBF";
constexpr int kAnswerMs = 15000;
constexpr int kAppends = 200;  // by each process
// The semaphore file's lock region.
constexpr std::uint64_t kSemaphoreRegion = 1;
constexpr std::uint64_t kSemaphoreLength = 4;

// Closes every area and restores the lock settings when the command ends.
struct EngineScope {
  std::uint8_t retries = LockRetries;
  std::uint32_t wait_ms = LockWaitMs;
  ~EngineScope() {
    QuietErrors quiet;
    CloseAll();
    LockRetries = retries;
    LockWaitMs = wait_ms;
  }
};

std::string TablePath(const std::string& dir) {
  std::string path = dir;
  if (!path.empty() && path.back() != '/') path += '/';
  return path + kTableName;
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

// The helper's side: answers one line per command line until "quit".
int Peer(const Options& o, const Streams& io) {
  EngineScope scope;
  // A share that ignores locks grants every one (to see the failures reported).
  const bool broken = o.simulate_broken_locks;
  LockRetries = 0;
  LockWaitMs = 0;
  Select(0);
  Use(TablePath(o.file));
  TableRecord& t = *SelectedTable();
  io.out << "ready" << std::endl;
  std::string line;
  while (std::getline(io.in, line)) {
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
    io.out << answer << std::endl;
  }
  return kExitOk;
}

struct Verdict {
  std::string check;
  bool passed = false;
  std::string detail;
};

// Asks the helper and answers its reply ("" when it did not answer).
std::string Ask(os::Subprocess& peer, const std::string& command) {
  std::string reply;
  if (!peer.WriteLine(command) || !peer.ReadLine(reply, kAnswerMs)) return {};
  return reply;
}

int Locktest(const Options& o, const Streams& io) {
  if (o.peer) return Peer(o, io);
  const std::string path = TablePath(o.file);
  EngineScope scope;
  LockRetries = 0;
  LockWaitMs = 0;
  {
    // A fresh scratch table with two records.
    TableRecord created;
    CreateDBF(created, path, {{"ID", 'N', 8, 0, 0}, {"TXT", 'C', 20, 0, 0}});
  }
  Select(0);
  Use(path);
  TableRecord& t = *SelectedTable();
  if (!AppendNumbered(1, 2)) throw DataError{"cannot append to the scratch table " + path};
  os::Subprocess peer;
  std::vector<std::string> args = {"locktest", o.file, "--peer"};
  if (o.simulate_broken_locks) args.push_back("--simulate-broken-locks");
  if (peer.Start(args) != 0) throw DataError{"cannot start a second vxdbf process"};
  std::string reply;
  if (!peer.ReadLine(reply, kAnswerMs) || reply != "ready") {
    throw DataError{"the second vxdbf process could not open " + path};
  }
  io.out << "locktest: two vxdbf processes share " << path << "\n";
  std::vector<Verdict> verdicts;
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
  bool written = RLock();
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
  if (!peer.WriteLine("append 100000")) throw DataError{"the second vxdbf process is gone"};
  const bool appended_here = AppendNumbered(200000, kAppends);
  const bool appended_there = peer.ReadLine(reply, 4 * kAnswerMs) && reply == "done";
  Ask(peer, "quit");
  peer.Wait();
  Select(t.area);
  CloseArea();
  Select(0);
  Use(path);
  TableRecord& again = *SelectedTable();
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
  CloseArea();
  bool failed = false;
  for (const Verdict& v : verdicts) {
    std::string name = v.check + " ";
    name.resize(22, '.');
    io.out << name << " " << (v.passed ? "ok" : "FAILED") << ": " << v.detail << "\n";
    failed = failed || !v.passed;
  }
  {
    QuietErrors quiet;
    os::DeleteFile(path);
    os::DeleteFile(SemaphoreFileName(path));
  }
  if (!failed) {
    io.out << "Every check passed: the byte-range locks and writes of one program reach the "
              "other at once here.\n";
    return kExitOk;
  }
  io.out << "Tables shared in " << o.file
         << " are not safe: programs would overwrite each other's records and corrupt the "
            "index. What to change:\n"
            "  - Samba server: locking = yes, strict locking = yes, oplocks = no, level2 oplocks "
            "= no (or veto oplock files = /*.dbf/*.dbt/*.fpt/*.mdx/*.@S@/)\n"
            "  - Windows server: turn off opportunistic locks and leasing for the share (SMB2 "
            "leasing, EnableOplocks)\n"
            "  - Linux CIFS client: mount with cache=none (and without nobrl)\n"
            "  - NFS client: mount without nolock and with noac or lookupcache=none\n";
  return kExitCheckFailed;
}

}  // namespace

void RegisterLocktestCommand(Commands& commands) {
  Options& o = commands.options();
  CLI::App& locktest = commands.Add(
      {"locktest", "DIR                                 (share self-test, exit 4 on failure)",
       "Checks with a second vxdbf process that record locks, the append lock, the semaphore "
       "region and writes on a scratch table in DIR reach the other process at once, and says "
       "what to change on the share when they do not.",
       "vxdbf locktest /mnt/share/data", Locktest});
  locktest.add_option("DIR", o.file, "a folder on the share (a scratch table is made there)")
      ->required();
  // The helper's side, and a helper that places no locks (to see the failures reported).
  locktest.add_flag("--peer", o.peer)->group("");
  locktest.add_flag("--simulate-broken-locks", o.simulate_broken_locks)->group("");
}

}  // namespace vx::tool
