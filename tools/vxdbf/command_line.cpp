#include "tools/vxdbf/command_line.h"

#include <cstdlib>

#include "platform/os/codepage.h"

namespace vx::tool {

namespace {

int NumberOption(const std::string& option, const std::string& text, int limit) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value < 0 || value > limit) {
    throw UsageError{option + " wants a number from 0 to " + std::to_string(limit)};
  }
  return static_cast<int>(value);
}

}  // namespace

Options ParseOptions(const std::vector<std::string>& args, std::size_t first) {
  Options o;
  for (std::size_t i = first; i < args.size(); ++i) {
    const std::string& a = args[i];
    const auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw UsageError{a + " needs a value"};
      return args[++i];
    };
    if (a == "--json") {
      o.json = true;
    } else if (a == "--deleted") {
      o.deleted = true;
    } else if (a == "--visible") {
      o.visible = true;
    } else if (a == "--ansi") {
      o.ansi = true;
    } else if (a == "--exclusive") {
      o.exclusive = true;
    } else if (a == "--all") {
      o.all = true;
    } else if (a == "--retries") {
      o.retries = NumberOption(a, value(), 255);
    } else if (a == "--wait") {
      o.wait_seconds = NumberOption(a, value(), 255);
    } else if (a == "--format") {
      o.format = value();
      if (o.format != "csv" && o.format != "jsonl") {
        throw UsageError{"unknown format \"" + o.format + "\""};
      }
    } else if (a == "--field") {
      o.field_definitions.push_back(value());
    } else if (a == "--version") {
      o.version = value();
    } else if (a.size() > 1 && a[0] == '-' && a[1] == '-') {
      throw UsageError{"unknown option " + a};
    } else {
      o.positional.push_back(a);
    }
  }
  return o;
}

std::string ToUtf8(std::string_view bytes, bool ansi) {
  return ansi ? os::AnsiToUtf8(bytes) : os::OemToUtf8(bytes);
}

std::string FromUtf8(std::string_view utf8) { return os::Utf8ToAnsi(utf8); }

}  // namespace vx::tool
