// Conversions of the pages without a table here through the C library's iconv.
#include <iconv.h>

#include <cerrno>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "platform/os/codepage_internal.h"

namespace vx::os::detail {
namespace {

// One iconv conversion descriptor, opened once per page and direction and kept for the life of
// the thread (opening one loads a converter module).
class IconvHandle {
 public:
  IconvHandle(const std::string& to, const std::string& from)
      : cd_(iconv_open(to.c_str(), from.c_str())) {}
  ~IconvHandle() {
    if (valid()) iconv_close(cd_);
  }
  IconvHandle(const IconvHandle&) = delete;
  IconvHandle& operator=(const IconvHandle&) = delete;
  bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

// iconv's name of a page: "CP" + the number, but for the pages it knows only by name.
std::string IconvName(int page) {
  if (page > 28590 && page <= 28606) return "ISO-8859-" + std::to_string(page - 28590);
  switch (page) {
    case 10000:
      return "MACINTOSH";
    case 10029:
      return "MAC-CENTRALEUROPE";
    case 20866:
      return "KOI8-R";
    case 21866:
      return "KOI8-U";
    default:
      return "CP" + std::to_string(page);
  }
}

// The descriptor from or to UTF-8 for a page, or null when iconv does not know it.
IconvHandle* IconvFor(int page, bool to_utf8) {
  thread_local std::map<std::pair<int, bool>, std::unique_ptr<IconvHandle>> handles;
  auto& slot = handles[{page, to_utf8}];
  if (!slot) {
    const std::string name = IconvName(page);
    slot = to_utf8 ? std::make_unique<IconvHandle>("UTF-8", name)
                   : std::make_unique<IconvHandle>(name, "UTF-8");
  }
  if (!slot->valid()) return nullptr;
  iconv(slot->get(), nullptr, nullptr, nullptr, nullptr);  // back to the initial state
  return slot.get();
}

// Runs iconv over `input`. `unit` gives the length of the character at an offset, so that a
// refused character is skipped whole; `fault` is what a refusal means.
ConvertedText RunIconv(IconvHandle& handle, std::string_view input, OnFault on_fault,
                       TextFault fault, const std::function<std::size_t(std::size_t)>& unit) {
  ConvertedText result;
  std::size_t at = 0;
  char buffer[4096];
  while (at < input.size()) {
    char* in = const_cast<char*>(input.data() + at);
    std::size_t in_left = input.size() - at;
    char* out = buffer;
    std::size_t out_left = sizeof buffer;
    const std::size_t done = iconv(handle.get(), &in, &in_left, &out, &out_left);
    result.text.append(buffer, static_cast<std::size_t>(out - buffer));
    at = input.size() - in_left;
    if (done != static_cast<std::size_t>(-1) || errno == E2BIG) continue;
    // EILSEQ (no such character) or EINVAL (a sequence cut short at the end of the input).
    const std::size_t length = errno == EINVAL ? input.size() - at : unit(at);
    NoteFault(result, fault, at, length, on_fault);
    if (on_fault == OnFault::kStop) return result;
    at += length;
    iconv(handle.get(), nullptr, nullptr, nullptr, nullptr);
  }
  // Flush a stateful encoding's shift back to its initial state.
  char* out = buffer;
  std::size_t out_left = sizeof buffer;
  iconv(handle.get(), nullptr, nullptr, &out, &out_left);
  result.text.append(buffer, static_cast<std::size_t>(out - buffer));
  return result;
}

}  // namespace

bool SystemPageKnown(int page) { return IconvFor(page, true) != nullptr; }

ConvertedText SystemConvert(int page, bool to_utf8, std::string_view input, OnFault on_fault) {
  IconvHandle* handle = IconvFor(page, to_utf8);
  if (handle == nullptr) {
    ConvertedText result;
    result.fault = TextFault::kUnknownPage;
    return result;
  }
  if (to_utf8) {
    return RunIconv(*handle, input, on_fault, TextFault::kNoCharacter,
                    [](std::size_t) { return std::size_t{1}; });
  }
  return RunIconv(*handle, input, on_fault, TextFault::kNotInPage, [input](std::size_t at) {
    std::size_t pos = at;
    NextCodePoint(input, pos);
    return pos - at;
  });
}

}  // namespace vx::os::detail
