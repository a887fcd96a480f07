#pragma once
// Test support: a forked helper process with a pipe in each direction, for tests of sharing
// between programs. Both sides exchange single bytes and block on them, so the order of events
// never depends on timing; the child never returns into the test framework.

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>

namespace vx::test {

// Runs `body` in a new process; its answer becomes the exit status.
class Child {
 public:
  explicit Child(const std::function<int(Child&)>& body) {
    int up[2], down[2];
    if (::pipe(up) != 0 || ::pipe(down) != 0) std::abort();
    pid_ = ::fork();
    if (pid_ < 0) std::abort();
    if (pid_ == 0) {
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
    if (::write(out_, &c, 1) != 1) std::abort();
  }
  // The next byte from the other side; 0 when it closed its end.
  char Receive() {
    char c = 0;
    return ::read(in_, &c, 1) == 1 ? c : 0;
  }
  // Parent: the child's process id (for a test that kills it).
  pid_t Pid() const { return pid_; }
  // Parent: closes the pipes and answers the exit status (-1: not a normal exit).
  int Wait() {
    if (pid_ <= 0) return exit_status_;
    ::close(out_);
    ::close(in_);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return exit_status_;
  }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  int exit_status_ = -1;
};

}  // namespace vx::test
