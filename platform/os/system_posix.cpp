// The system services of system.h that differ between systems: POSIX.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <utility>

#include "platform/os/system.h"

namespace vx::os {

std::string OsVersionText() {
  utsname name{};
  if (::uname(&name) != 0) return {};
  // "6.1.0-18-amd64" -> "6.1"
  unsigned major = 0, minor = 0;
  if (std::sscanf(name.release, "%u.%u", &major, &minor) != 2) return name.release;
  return std::to_string(major) + "." + std::to_string(minor);
}

std::uint64_t PhysicalMemoryBytes() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page_size = ::sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0) return 0;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
}

LocalTime Now() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  std::tm tm{};
  ::localtime_r(&now.tv_sec, &tm);
  LocalTime t;
  t.year = tm.tm_year + 1900;
  t.month = tm.tm_mon + 1;
  t.day = tm.tm_mday;
  t.hour = tm.tm_hour;
  t.minute = tm.tm_min;
  t.second = tm.tm_sec > 59 ? 59 : tm.tm_sec;  // a leap second is not a time of day here
  t.millisecond = static_cast<int>(now.tv_nsec / 1000000);
  t.weekday = tm.tm_wday;
  return t;
}

bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) != 0; }
bool StandardInputIsTerminal() { return isatty(STDIN_FILENO) != 0; }

Subprocess::~Subprocess() { Wait(); }

int Subprocess::Start(const std::vector<std::string>& args) {
  int down[2], up[2];
  if (::pipe2(down, O_CLOEXEC) != 0) return errno;
  if (::pipe2(up, O_CLOEXEC) != 0) {
    const int err = errno;
    ::close(down[0]);
    ::close(down[1]);
    return err;
  }
  std::vector<std::string> argv_text = {"vxdbf"};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) return errno;
  if (pid == 0) {
    ::dup2(down[0], STDIN_FILENO);
    ::dup2(up[1], STDOUT_FILENO);
    ::execv("/proc/self/exe", argv.data());
    ::_exit(127);
  }
  ::close(down[0]);
  ::close(up[1]);
  pid_ = pid;
  to_ = down[1];
  from_ = up[0];
  return 0;
}

bool Subprocess::WriteLine(const std::string& line) {
  if (to_ < 0) return false;
  const std::string text = line + "\n";
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(to_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool Subprocess::ReadLine(std::string& line, int timeout_ms) {
  const std::uint32_t start = TickCount();
  for (;;) {
    const std::size_t newline = pending_.find('\n');
    if (newline != std::string::npos) {
      line = pending_.substr(0, newline);
      pending_.erase(0, newline + 1);
      return true;
    }
    if (from_ < 0) return false;
    const int left = timeout_ms - static_cast<int>(TickCount() - start);
    if (left <= 0) return false;
    pollfd p{from_, POLLIN, 0};
    const int ready = ::poll(&p, 1, left);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char buffer[256];
    const ssize_t n = ::read(from_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    pending_.append(buffer, static_cast<std::size_t>(n));
  }
}

int Subprocess::Wait() {
  if (pid_ < 0) return -1;
  if (to_ >= 0) ::close(std::exchange(to_, -1));
  if (from_ >= 0) ::close(std::exchange(from_, -1));
  int status = 0;
  for (int waited = 0; waited < 5000; waited += 10) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    SleepMs(10);
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  return -1;
}

std::uint32_t TickCount() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                  static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);
}

}  // namespace vx::os
