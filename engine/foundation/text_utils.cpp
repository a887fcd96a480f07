#include "engine/foundation/text_utils.h"

#include "platform/os/codepage.h"

namespace vx {

namespace {

bool IsWordChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         os::AnsiIsAlpha(c);
}

}  // namespace

bool TakeKeyword(std::string_view keyword, std::string& text) {
  if (keyword.empty()) return false;
  const std::string upper_keyword = UpperText(keyword);
  // Upper-casing maps byte to byte, so positions in the upper-case copy are positions in text.
  const std::string upper_text = UpperText(text);
  const bool keyword_ends_in_word = IsWordChar(upper_keyword.back());
  std::size_t pos = upper_text.find(upper_keyword);
  while (pos != std::string::npos) {
    const std::size_t end = pos + upper_keyword.size();
    if (!keyword_ends_in_word || end == upper_text.size() || !IsWordChar(upper_text[end])) {
      text.erase(pos, upper_keyword.size());
      return true;
    }
    pos = upper_text.find(upper_keyword, pos + 1);
  }
  return false;
}

std::string UpperText(std::string_view text) { return os::AnsiUpperText(text); }

int CountOccurrences(std::string_view pattern, std::string_view text) {
  if (pattern.empty()) return 0;
  int count = 0;
  for (std::size_t pos = text.find(pattern); pos != std::string_view::npos;
       pos = text.find(pattern, pos + pattern.size())) {
    ++count;
  }
  return count;
}

std::size_t FindOccurrence(int n, std::string_view pattern, std::string_view text) {
  if (n == 0 || pattern.empty() || pattern.size() > text.size()) return std::string::npos;
  if (n > 0) {
    std::size_t pos = text.find(pattern);
    while (pos != std::string_view::npos && --n > 0) pos = text.find(pattern, pos + pattern.size());
    return pos;
  }
  std::size_t pos = text.rfind(pattern);
  while (pos != std::string_view::npos && ++n < 0) {
    // The next occurrence from the end must finish before this one starts.
    if (pos < pattern.size()) return std::string::npos;
    pos = text.rfind(pattern, pos - pattern.size());
  }
  return pos;
}

}  // namespace vx
