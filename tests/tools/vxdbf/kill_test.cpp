// Every write command of vxdbf killed at chosen and random moments, then: nothing lost (the
// complete old or the complete new table, memos and tags included, check clean), nothing left
// behind (no temporary file once the next open and check --repair ran), nothing blocked (the
// next edit works). A moment is the Nth write or flush the command makes: the child replaces
// those calls in the platform's table with one that kills the process before the Nth, so a
// kill never depends on timing.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <random>
#include <regex>
#include <sstream>

#include "engine/startup/engine_startup.h"
#include "platform/os/system_calls.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/vxdbf/run_vxdbf.h"

namespace vx::tool {
namespace {

namespace fs = std::filesystem;
using Snapshot = std::map<std::string, std::vector<unsigned char>>;

// The child's countdown to its kill (0: count only) and its count of calls.
int KillAtCall = 0;
int Calls = 0;

bool NextCallKills() { return ++Calls == KillAtCall; }
ssize_t CountingWrite(int fd, const void* data, std::size_t count, off_t offset) {
  if (NextCallKills()) ::kill(::getpid(), SIGKILL);
  return os::RealSystemCalls().pwrite(fd, data, count, offset);
}
int CountingFsync(int fd) {
  if (NextCallKills()) ::kill(::getpid(), SIGKILL);
  return ::fsync(fd);
}

// The command in a child that counts its writes and flushes and dies before call `kill_at`
// (0: never); answers the count when it ran to the end, -1 when it was killed.
int RunCounted(const std::vector<std::string>& args, const std::string& input, int kill_at) {
  test::Child child([&](test::Child& self) {
    KillAtCall = kill_at;
    Calls = 0;
    os::Syscalls.pwrite = CountingWrite;
    os::Syscalls.fsync = CountingFsync;
    Vxdbf(args, input);
    for (int i = 0; i < 4; ++i) self.Send(static_cast<char>((Calls >> (8 * i)) & 0xFF));
    return 0;
  });
  int count = 0;
  for (int i = 0; i < 4; ++i) {
    const char c = child.Receive();
    count |= (static_cast<unsigned char>(c)) << (8 * i);
  }
  return child.Wait() == 0 ? count : -1;
}

class KillTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitEngine();
    path_ = dir_.File("t.dbf");
    ASSERT_EQ(Vxdbf({"create", path_, "--version", "0x8B", "--field", "NAME,C,10", "--field",
                     "NUM,N,6", "--field", "NOTES,M"})
                  .status,
              0);
    std::string rows = "NAME,NUM,NOTES\n";
    for (int i = 1; i <= 40; ++i) {
      rows += "n" + std::to_string(i % 7) + "," + std::to_string(i) + ",memo " +
              std::to_string(i) + std::string(i * 23, 'x') + "\n";
    }
    ASSERT_EQ(Vxdbf({"append", path_}, rows).status, 0);
    for (int n = 5; n <= 40; n += 5) ASSERT_EQ(Vxdbf({"delete", path_, std::to_string(n)}).status, 0);
    ASSERT_EQ(Vxdbf({"index", path_, "--tag", "NAME", "--key", "NAME"}).status, 0);
    ASSERT_EQ(Vxdbf({"index", path_, "--tag", "NUM", "--key", "NUM", "--descending"}).status, 0);
    // One edit under the index makes its semaphore file, which the kills below then find made.
    ASSERT_EQ(Vxdbf({"set", path_, "1", "NAME=n1"}).status, 0);
    original_ = Files();
  }

  Snapshot Files() const {
    Snapshot files;
    for (const auto& entry : fs::directory_iterator(dir_.path())) {
      files[entry.path().filename().string()] = test::ReadBytes(entry.path().string());
    }
    return files;
  }
  void Restore(const Snapshot& files) const {
    for (const auto& entry : fs::directory_iterator(dir_.path())) fs::remove(entry.path());
    for (const auto& [name, bytes] : files) test::WriteBytes(dir_.File(name), bytes);
  }
  std::vector<std::string> Leftovers() const {
    static const std::regex kTemporary("VX[RISMPB][0-9A-Z]{6}\\..*|.*\\.vxj", std::regex::icase);
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(dir_.path())) {
      const std::string name = entry.path().filename().string();
      if (std::regex_match(name, kTemporary)) found.push_back(name);
    }
    return found;
  }
  // What the table (and a copy's target) show.
  std::string Shown(const std::string& target) {
    std::string shown = Vxdbf({"dump", path_}).out;
    // Opening the target undoes a copy's journal beside it even where no target stands.
    if (!target.empty()) shown += "|" + Vxdbf({"dump", target}).out;
    return shown;
  }

  test::TempDir dir_;
  std::string path_;
  Snapshot original_;
};

TEST_F(KillTest, EveryWriteCommandKilledAnywhereLeavesOldOrNewAndNothingBehind) {
  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::string memo_text(3000, 'm');
  const std::string copy = dir_.File("copy.dbf");
  const struct {
    std::vector<std::string> args;
    std::string input;
    bool partial;  // a prefix of the new rows may stand (appends commit row by row)
  } kCommands[] = {
      {{"pack", path_}, "", false},
      {{"zap", path_, "--yes"}, "", false},
      {{"copy", path_, copy, "--with-index"}, "", false},
      {{"alter", path_, "--add", "X,C,4", "--drop", "NUM", "--drop-tag", "NUM"}, "", false},
      {{"reindex", path_}, "", false},
      {{"index", path_, "--tag", "MIX", "--key", "NAME+STR(NUM)"}, "", false},
      {{"create", path_, "--overwrite", "--field", "A,C,5", "--field", "B,M"}, "", false},
      {{"append", path_}, "NAME,NUM,NOTES\nq1,901,first\nq2,902," + memo_text + "\nq3,903,x\n", true},
      {{"set", path_, "2", "NOTES=" + memo_text, "NAME=zz"}, "", false},
      {{"check", path_, "--repair"}, "", false},
      {{"packmemo", path_}, "", false},
  };
  for (const auto& c : kCommands) {
    SCOPED_TRACE(c.args[0]);
    Restore(original_);
    const std::string old_shown = Shown(copy);
    const int total = RunCounted(c.args, c.input, 0);
    ASSERT_GE(total, 0);
    if (total == 0) continue;  // nothing written (a check --repair that found nothing to mend)
    const std::string new_shown = Shown(copy);
    std::vector<int> moments = {1, 2, 3, 5, 8, 13, total - 1, total};
    for (int i = 0; i < 2; ++i) moments.push_back(1 + static_cast<int>(random() % total));
    for (const int moment : moments) {
      if (moment < 1 || moment > total) continue;
      SCOPED_TRACE("killed before call " + std::to_string(moment) + " of " + std::to_string(total));
      Restore(original_);
      EXPECT_EQ(RunCounted(c.args, c.input, moment), -1);
      // Nothing lost: the next open undoes or keeps; the table shows the old or the new state.
      const std::string shown = Shown(copy);
      if (c.partial) {
        const std::string old_table = old_shown.substr(0, old_shown.rfind('|'));
        EXPECT_EQ(shown.compare(0, old_table.size(), old_table), 0) << shown;
      } else {
        EXPECT_TRUE(shown == old_shown || shown == new_shown) << shown;
      }
      // An edit in place (set) killed between its record and its keys leaves keys that check
      // finds and --repair mends, as for any program sharing the table.
      const bool in_place = c.partial || c.args[0] == "set";
      const Result check = Vxdbf({"check", path_});
      if (!in_place && check.status != 0) {
        // Only files a killed program left may be reported.
        std::istringstream lines(check.out);
        for (std::string line; std::getline(lines, line);) {
          EXPECT_EQ(line.rfind("folder: ", 0), 0u) << check.out;
        }
      }
      // Nothing left behind once check --repair ran; the table is sound.
      // (An append killed between writing a record and counting it leaves the record past the
      // header's count without its keys, as for other programs sharing the table: check finds
      // it and --repair counts it.)
      const Result repair = Vxdbf({"check", path_, "--repair"});
      if (!in_place) EXPECT_EQ(repair.status, 0) << repair.out << repair.err;
      EXPECT_EQ(Leftovers(), std::vector<std::string>()) << repair.out;
      EXPECT_EQ(Vxdbf({"check", path_}).status, 0);
      // Nothing blocked: the next edit goes through at once.
      const bool created = c.args[0] == "create" && shown == new_shown;
      const Result edit = Vxdbf({"append", path_}, created ? "A\nq\n" : "NAME\nq\n");
      EXPECT_EQ(edit.status, 0) << edit.err;
    }
  }
}

}  // namespace
}  // namespace vx::tool
