// The system services of system.h that differ between systems: Win32.
#include <cstdio>
#include <utility>

#include "platform/os/file.h"
#include "platform/os/system.h"
#include "platform/os/win32.h"

namespace vx::os {

namespace {

// One argument quoted for CreateProcess as the C runtime splits a command line: backslashes
// are literal except before a quote, where they are doubled.
std::wstring Quoted(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"')
      out.append(backslashes * 2 + 1, L'\\');
    else
      out.append(backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  out += L'"';
  return out;
}

void CloseIf(void*& handle) {
  if (handle != nullptr) ::CloseHandle(std::exchange(handle, nullptr));
}

}  // namespace

std::string OsVersionText() {
  // GetVersionEx answers what the program's manifest allows; the kernel's own version is in
  // RtlGetVersion.
  using RtlGetVersionProc = LONG(WINAPI*)(OSVERSIONINFOW*);
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof info;
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  auto proc = ntdll != nullptr ? reinterpret_cast<RtlGetVersionProc>(reinterpret_cast<void*>(
                                     ::GetProcAddress(ntdll, "RtlGetVersion")))
                               : nullptr;
  if (proc == nullptr || proc(&info) != 0) return {};
  return std::to_string(info.dwMajorVersion) + "." + std::to_string(info.dwMinorVersion);
}

std::uint64_t PhysicalMemoryBytes() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  return ::GlobalMemoryStatusEx(&status) ? status.ullTotalPhys : 0;
}

LocalTime Now() {
  SYSTEMTIME st{};
  ::GetLocalTime(&st);
  LocalTime t;
  t.year = st.wYear;
  t.month = st.wMonth;
  t.day = st.wDay;
  t.hour = st.wHour;
  t.minute = st.wMinute;
  t.second = st.wSecond > 59 ? 59 : st.wSecond;
  t.millisecond = st.wMilliseconds;
  t.weekday = st.wDayOfWeek;
  return t;
}

std::uint32_t TickCount() { return static_cast<std::uint32_t>(::GetTickCount64()); }

bool StandardErrorIsTerminal() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

bool StandardInputIsTerminal() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

Subprocess::~Subprocess() { Wait(); }

int Subprocess::Start(const std::vector<std::string>& args) {
  wchar_t self[32768];
  const DWORD length = ::GetModuleFileNameW(nullptr, self, 32768);
  if (length == 0 || length >= 32768) return static_cast<int>(::GetLastError());
  std::wstring command = Quoted(std::wstring(self, length));
  for (const std::string& arg : args) command += L" " + Quoted(WideFromUtf8(arg));

  // The child's ends are inherited; ours are not.
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE child_in = nullptr, to_child = nullptr, from_child = nullptr, child_out = nullptr;
  if (!::CreatePipe(&child_in, &to_child, &inherit, 0)) return static_cast<int>(::GetLastError());
  if (!::CreatePipe(&from_child, &child_out, &inherit, 0)) {
    const int err = static_cast<int>(::GetLastError());
    ::CloseHandle(child_in);
    ::CloseHandle(to_child);
    return err;
  }
  ::SetHandleInformation(to_child, HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(from_child, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = child_in;
  startup.hStdOutput = child_out;
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  const BOOL started = ::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &process);
  const int err = started ? 0 : static_cast<int>(::GetLastError());
  ::CloseHandle(child_in);
  ::CloseHandle(child_out);
  if (!started) {
    ::CloseHandle(to_child);
    ::CloseHandle(from_child);
    return err;
  }
  ::CloseHandle(process.hThread);
  process_ = process.hProcess;
  to_ = to_child;
  from_ = from_child;
  return 0;
}

bool Subprocess::WriteLine(const std::string& line) {
  if (to_ == nullptr) return false;
  const std::string text = line + "\n";
  std::size_t done = 0;
  while (done < text.size()) {
    DWORD n = 0;
    if (!::WriteFile(to_, text.data() + done, static_cast<DWORD>(text.size() - done), &n,
                     nullptr) ||
        n == 0) {
      return false;
    }
    done += n;
  }
  return true;
}

bool Subprocess::ReadLine(std::string& line, int timeout_ms) {
  const std::uint32_t start = TickCount();
  for (;;) {
    const std::size_t newline = pending_.find('\n');
    if (newline != std::string::npos) {
      line = pending_.substr(0, newline);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      pending_.erase(0, newline + 1);
      return true;
    }
    if (from_ == nullptr) return false;
    // Anonymous pipes have no wait with a deadline: look, and sleep a moment while empty.
    DWORD available = 0;
    if (!::PeekNamedPipe(from_, nullptr, 0, nullptr, &available, nullptr)) return false;
    if (available == 0) {
      if (static_cast<int>(TickCount() - start) >= timeout_ms) return false;
      ::Sleep(2);
      continue;
    }
    char buffer[256];
    DWORD n = 0;
    const DWORD want = available < sizeof buffer ? available : sizeof buffer;
    if (!::ReadFile(from_, buffer, want, &n, nullptr) || n == 0) return false;
    pending_.append(buffer, n);
  }
}

int Subprocess::Wait() {
  if (process_ == nullptr) return -1;
  CloseIf(to_);
  CloseIf(from_);
  int result = -1;
  if (::WaitForSingleObject(process_, 5000) == WAIT_OBJECT_0) {
    DWORD code = 0;
    if (::GetExitCodeProcess(process_, &code)) result = static_cast<int>(code & 0xFF);
  } else {
    ::TerminateProcess(process_, 1);
    ::WaitForSingleObject(process_, INFINITE);
  }
  CloseIf(process_);
  return result;
}

}  // namespace vx::os
