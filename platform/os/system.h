#pragma once
// System information and process services: the user's language, the OS version, memory status,
// local time, the millisecond tick count, the fatal-message path and the hook that lets a GUI
// process pending messages during waits.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vx::os {

// The user's default language as a Win32 language identifier: primary language in the low 10
// bits, sublanguage above them. Taken from LC_ALL, LC_MESSAGES or LANG (the first that is set
// and not empty; on Windows, when none is, the system's GetUserDefaultLangID): "de_DE" gives
// primary 7 sublanguage 1, "en_GB" 9/2, "en_US" 9/1, "fr_CA" 12/3, "ru_RU" 25/1; "C", "POSIX",
// nothing or an unknown language gives 9/1 (US English). A known language in a country without its
// own sublanguage gets sublanguage 1.
int UserDefaultLangId();
inline int PrimaryLanguage(int lang_id) { return lang_id & 0x3FF; }
inline int SubLanguage(int lang_id) { return lang_id >> 10; }

// The kernel version as major.minor ("6.1"; Windows 10 and 11 say "10.0").
std::string OsVersionText();

// `path` made absolute against the working directory and normalized ("a/./b/../c" is "a/c");
// the path unchanged when that fails.
std::string AbsolutePath(const std::string& path);

// Physical memory in bytes (0 when unknown).
std::uint64_t PhysicalMemoryBytes();

struct LocalTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
  int weekday = 0;  // 0 Sunday .. 6 Saturday
};
LocalTime Now();

// Milliseconds since an arbitrary start (the monotonic clock), wrapping at 2^32 like the Win32
// tick count.
std::uint32_t TickCount();

// Whether standard error is a terminal (progress output is for people, not for logs).
bool StandardErrorIsTerminal();
// Whether standard input is a terminal (a question may be asked there).
bool StandardInputIsTerminal();

// This program started again as a helper process with `args` (without the program name), its
// standard input and output connected to pipes; standard error is shared. For self-tests that
// need a second process (vxdbf locktest). The destructor closes the pipes and waits for the
// helper, killing it when it has not ended within a few seconds.
class Subprocess {
 public:
  Subprocess() = default;
  ~Subprocess();
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;
  // Answers 0, or the error number of the failed start.
  int Start(const std::vector<std::string>& args);
  bool WriteLine(const std::string& line);
  // The next line the helper wrote (without its newline); false at its end of output or when
  // nothing came within `timeout_ms`.
  bool ReadLine(std::string& line, int timeout_ms);
  // Closes the pipes and answers the exit status (-1 when it was killed or did not start).
  int Wait();

 private:
#ifdef _WIN32
  void* process_ = nullptr;  // HANDLEs
  void* to_ = nullptr;
  void* from_ = nullptr;
#else
  int pid_ = -1;
  int to_ = -1;
  int from_ = -1;
#endif
  std::string pending_;
};

// Sleeps for the given milliseconds; 0 or less only yields the processor.
void SleepMs(int ms);

// The process-wide hook that processes pending GUI messages during waits; empty by default.
void SetProcessMessagesHook(std::function<void()> hook);
void ProcessPendingMessages();

// Shows a fatal message (through the installed hook, else on standard error) and ends the
// process with `exit_code` through std::exit, so that open streams are flushed. The hook, when
// set, shows a message box with the caption; without it the text goes to standard error as
// "caption: text". The system keeps only the low 8 bits of the code (a parent sees 300 as 44).
void SetFatalMessageHook(std::function<void(const std::string& caption, const std::string& text)>);
[[noreturn]] void FatalExit(const std::string& caption, const std::string& text, int exit_code);

}  // namespace vx::os
