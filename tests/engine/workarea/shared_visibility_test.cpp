// What another program writes to a shared table is seen by the next read, and the other way
// round, on both read paths (through a mapping and with pread): this program and a second one
// (visibility_peer, started with fork and exec) take turns, record by record, one writing and
// the other reading what was just written, with appends that grow the file past what either
// side has seen.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "engine/workarea/locks.h"
#include "engine/workarea/navigation.h"
#include "platform/os/read_mapping.h"
#include "tests/engine/workarea/work_area_fixture.h"

namespace vx {
namespace {

// The second program, talking line by line over two pipes.
class Peer {
 public:
  Peer(const std::string& table, os::ReadPath path) {
    int down[2], up[2];
    if (::pipe(down) != 0 || ::pipe(up) != 0) std::abort();
    pid_ = ::fork();
    if (pid_ < 0) std::abort();
    if (pid_ == 0) {
      ::dup2(down[0], 0);
      ::dup2(up[1], 1);
      for (int fd : {down[0], down[1], up[0], up[1]}) ::close(fd);
      ::setenv("VX_READ_PATH", path == os::ReadPath::kPread ? "pread" : "map", 1);
      ::execl(VX_VISIBILITY_PEER, VX_VISIBILITY_PEER, table.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(down[0]);
    ::close(up[1]);
    to_ = down[1];
    from_ = up[0];
  }
  ~Peer() {
    ::close(to_);
    ::close(from_);
    int status = 0;
    for (int i = 0; i < 3000 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i) ::usleep(10000);
    if (::waitpid(pid_, &status, WNOHANG) == 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  // Sends one command and answers the peer's reply ("" when it did not answer within 30 s).
  std::string Ask(const std::string& command) {
    const std::string line = command + "\n";
    if (::write(to_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return "";
    std::string answer;
    char c = 0;
    while (true) {
      pollfd p{from_, POLLIN, 0};
      if (::poll(&p, 1, 30000) <= 0 || ::read(from_, &c, 1) != 1) return "";
      if (c == '\n') return answer;
      answer += c;
    }
  }

 private:
  pid_t pid_ = -1;
  int to_ = -1;
  int from_ = -1;
};

std::string NameHere() {
  const std::string_view text = test::Image().Text(1);
  return std::string(text.substr(0, text.find_last_not_of(' ') + 1));
}

class SharedVisibilityTest : public test::WorkAreaTest,
                             public ::testing::WithParamInterface<os::ReadPath> {
 protected:
  void SetUp() override {
    WorkAreaTest::SetUp();
    os::SetReadPath(GetParam());
  }
  void TearDown() override {
    WorkAreaTest::TearDown();
    os::SetReadPath(os::ReadPath::kMapped);
  }
};

TEST_P(SharedVisibilityTest, EachWriteIsSeenByTheOtherProgramsNextRead) {
  constexpr int kRecords = 40;
  const std::string path = MakeTable("vis.dbf", {{"NAME", 'C', 12, 0, 0}});
  Use(path);
  ASSERT_TRUE(ALock());
  for (int i = 1; i <= kRecords; ++i) {
    test::Image().SetText(1, "start" + std::to_string(i));
    Append();
  }
  Unlock();
  Peer peer(path, GetParam());
  // Rounds alternate: this program writes record n and the peer reads it at once, then the
  // peer writes record n + 1 and this program reads it. Every eighth round the writer appends
  // instead, so the reader meets a record past the end it knew.
  std::int32_t count = kRecords;
  for (int round = 0; round < 120; ++round) {
    SCOPED_TRACE(round);
    const std::string value = "v" + std::to_string(round);
    const bool append = round % 8 == 7;
    const std::int32_t n = append ? count + 1 : 1 + (round * 7) % count;
    if (round % 2 == 0) {
      if (append) {
        ASSERT_TRUE(ALock());
        test::Image().SetText(1, value);
        Append();
        Unlock();
        ASSERT_EQ(RecNo(), n);
      } else {
        GO(n);
        ASSERT_TRUE(RLock());
        test::Image().SetText(1, value);
        REPLACE();
        Unlock();
      }
      EXPECT_EQ(peer.Ask("R " + std::to_string(n)), value);
    } else {
      if (append) {
        ASSERT_EQ(peer.Ask("A " + value), std::to_string(n));
      } else {
        ASSERT_EQ(peer.Ask("W " + std::to_string(n) + " " + value), "ok");
      }
      GO(n);
      EXPECT_EQ(EngineErrorCode, 0);
      EXPECT_EQ(NameHere(), value);
    }
    if (append) ++count;
  }
}

INSTANTIATE_TEST_SUITE_P(BothPaths, SharedVisibilityTest,
                         ::testing::Values(os::ReadPath::kMapped, os::ReadPath::kPread),
                         [](const auto& info) {
                           return info.param == os::ReadPath::kMapped ? "mapped" : "pread";
                         });

}  // namespace
}  // namespace vx
