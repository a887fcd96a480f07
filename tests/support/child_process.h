#pragma once
// Test support: a forked helper process with a pipe in each direction, for tests of sharing
// between programs. Both sides exchange single bytes and block on them, so the order of events
// never depends on timing; the child never returns into the test framework.
//
// Every wait on the other process has a deadline (kChildDeadlineSeconds). A parent that waits
// past it records a test failure and kills the child; a child that waits past it exits with
// kChildTimedOut. A fault that deadlocks the two sides thus fails the test instead of hanging
// the suite.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

namespace vx::test {

inline constexpr int kChildDeadlineSeconds = 30;
inline constexpr int kChildTimedOut = 97;

// Reads one byte from `fd`, waiting at most `seconds`. Answers 1 with the byte, 0 when the
// other end closed, -1 when the deadline passed.
inline int ReadByteWithin(int fd, char& c, int seconds) {
  pollfd p{fd, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&p, 1, seconds * 1000);
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return -1;
  ssize_t n;
  do {
    n = ::read(fd, &c, 1);
  } while (n < 0 && errno == EINTR);
  return n == 1 ? 1 : 0;
}

// Waits at most `seconds` for process `pid` to end; kills it when it does not. Answers the
// waitpid status, or -1 after a kill (the test failure is recorded here).
inline int WaitForExitWithin(pid_t pid, int seconds) {
  int status = 0;
  for (int waited_ms = 0; waited_ms < seconds * 1000; waited_ms += 10) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    if (done < 0 && errno != EINTR) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  ADD_FAILURE() << "the other process did not end within " << seconds << " s; killed";
  return -1;
}

// Runs `body` in a new process; its answer becomes the exit status.
class Child {
 public:
  explicit Child(const std::function<int(Child&)>& body) {
    int up[2], down[2];
    if (::pipe(up) != 0 || ::pipe(down) != 0) std::abort();
    pid_ = ::fork();
    if (pid_ < 0) std::abort();
    if (pid_ == 0) {
      is_child_ = true;
      ::close(up[0]);
      ::close(down[1]);
      in_ = down[0];
      out_ = up[1];
      int status = 99;
      try {
        status = body(*this);
      } catch (...) {
        status = 98;
      }
      ::_exit(status);  // never back into the test framework
    }
    ::close(up[1]);
    ::close(down[0]);
    in_ = up[0];
    out_ = down[1];
  }
  ~Child() { Wait(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  void Send(char c = '.') {
    if (::write(out_, &c, 1) != 1 && !is_child_) ADD_FAILURE() << "the other process is gone";
  }
  // The next byte from the other side; 0 when it closed its end or did not answer within the
  // deadline (in the parent that also fails the test and kills the child).
  char Receive() {
    char c = 0;
    const int got = ReadByteWithin(in_, c, kChildDeadlineSeconds);
    if (got == 1) return c;
    if (got < 0) {
      if (is_child_) ::_exit(kChildTimedOut);
      ADD_FAILURE() << "no answer from the other process within " << kChildDeadlineSeconds << " s";
      ::kill(pid_, SIGKILL);
    }
    return 0;
  }
  // Parent: the child's process id (for a test that kills it).
  pid_t Pid() const { return pid_; }
  // Parent: closes the pipes and answers the exit status (-1: not a normal exit, or killed
  // after the deadline).
  int Wait(int deadline_seconds = kChildDeadlineSeconds) {
    if (pid_ <= 0) return exit_status_;
    ::close(out_);
    ::close(in_);
    const int status = WaitForExitWithin(pid_, deadline_seconds);
    pid_ = -1;
    exit_status_ = status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return exit_status_;
  }

 private:
  pid_t pid_ = -1;
  bool is_child_ = false;
  int in_ = -1;
  int out_ = -1;
  int exit_status_ = -1;
};

}  // namespace vx::test
