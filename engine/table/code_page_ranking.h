#pragma once
// Which code page a table's stored text reads best in: candidate pages scored on the text
// itself (letters in their usual shares for the languages a page serves, common words and
// Chinese characters, against symbols, controls and box drawing between letters), for tables
// without a language driver mark or with a doubtful one. Reading the text out of a table is
// the caller's (ReadCodePageSample in the memo layer reads fields and memos).

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vx {

// One candidate page and how well the text reads in it.
struct PageScore {
  int page = 0;
  double score = 0;                    // per byte beyond ASCII; higher reads better
  std::vector<std::string> samples{};  // the sample words, decoded in this page (UTF-8)
  // This page reads every byte of the text as the same character as the first page does: the
  // two are equivalent for this text (German text in 437 and 850, or in 1252 and 1250).
  bool reads_as_best = false;
};

// The pages the assistant tries at least (65001: the text is UTF-8, whatever the mark says;
// 936, 950 and 932: Chinese and Japanese in two-byte characters).
inline constexpr int kCandidatePages[] = {437,  850,  852,  866, 1250, 1251, 1252,
                                          1253, 1254, 1257, 936, 950,  932,  65001};

// Scores `pages` on the stored texts (field values and memos, as bytes) and answers them best
// first. Letters score by how often the best language of their script uses them (a letter it
// lacks costs), common Chinese characters score over rare ones, box drawing, controls and
// symbols between letters cost, and common words of the languages the pages serve add.
// `preferred` (the table's own page, or 0) gets the score of one more well-read character and
// comes first among equal scores; then the more common pages. Pages this system cannot
// convert are left out.
std::vector<PageScore> RankCodePages(const std::vector<std::string>& texts,
                                     const std::vector<int>& pages, int preferred);

// Whether the best two pages of `ranked` score so alike that the text (holding `high_bytes`
// bytes beyond ASCII) does not tell them apart.
bool TooCloseToCall(const std::vector<PageScore>& ranked, std::size_t high_bytes);

// Whether a stored value is binary data, not text in any page: a picture's signature, NUL
// bytes, or more than one byte in twenty a control character.
bool LooksBinary(std::string_view text);

}  // namespace vx
