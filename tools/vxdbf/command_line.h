#pragma once
// vxdbf's command line: the options every command may take, their parsing, the usage error and
// the conversions between UTF-8 and a table's text at the tool's edge.

#include <string>
#include <string_view>
#include <vector>

namespace vx::tool {

// A usage error: the message and the usage text go to standard error, exit status 2.
struct UsageError {
  std::string message;
};

// Input rows or values that do not fit the table: exit status 2, nothing written.
struct InputError {
  std::string message;
};

// A lock that stayed refused after its retries: exit status 3, the table unchanged.
struct LockRefused {
  std::string message;
};

struct Options {
  std::vector<std::string> positional;
  bool json = false;
  bool deleted = false;
  bool visible = false;
  bool ansi = false;
  bool exclusive = false;
  bool all = false;
  int retries = 0;
  int wait_seconds = 0;
  std::string format = "csv";
  std::vector<std::string> field_definitions;
  std::string version;
};

// Parses the options after the command word; unknown options are usage errors.
Options ParseOptions(const std::vector<std::string>& args, std::size_t first);

// Text of a table in its code page (OEM, or ANSI with --ansi) as UTF-8, and back. Text going
// into the engine is ANSI: the engine converts it to the table's page on write.
std::string ToUtf8(std::string_view bytes, bool ansi);
std::string FromUtf8(std::string_view utf8);

}  // namespace vx::tool
