#pragma once
// Text routines of the command parsers (USE, LOCATE): taking an option keyword out of a command
// text, upper case in the user's character set, and counting and finding occurrences of a
// pattern. Trimming and file names live in strings.h.

#include <cstddef>
#include <string>
#include <string_view>

namespace vx {

// Whether `keyword` (" EXCLUSIVE", " NOCASE", ...) occurs in `text` as a whole word, compared in
// upper case; when it does, removes its first such occurrence from `text` and answers true. An
// occurrence that runs on into a letter, digit or "_" (" EXCLUSIVELY") is not the keyword.
bool TakeKeyword(std::string_view keyword, std::string& text);
// The text in upper case by the ANSI code page in force.
std::string UpperText(std::string_view text);
// The number of non-overlapping occurrences of `pattern` in `text`, scanning from the start;
// 0 for an empty pattern.
int CountOccurrences(std::string_view pattern, std::string_view text);
// The 0-based position of the n-th non-overlapping occurrence of `pattern` in `text`: n = 1 is
// the first from the start, n = -1 the last (scanning from the end). std::string::npos when
// there are fewer occurrences, for n = 0 and for an empty pattern.
std::size_t FindOccurrence(int n, std::string_view pattern, std::string_view text);

}  // namespace vx
