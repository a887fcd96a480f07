#pragma once
// vxdbf codepage: the code-page assistant. For a table without a language driver mark, or one
// whose mark is doubtful, it scores candidate pages on the table's own text and memos and lists
// them best first with sample words decoded in each; --set N writes the mark.

#include <string>
#include <vector>

#include "tools/vxdbf/command_line.h"

namespace vx::tool {

// One candidate page and how well the text reads in it.
struct PageScore {
  int page = 0;
  double score = 0;                  // per byte beyond ASCII; higher reads better
  std::vector<std::string> samples;  // the sample words, decoded in this page (UTF-8)
};

// The pages the assistant tries at least (65001: the text is UTF-8, whatever the mark says;
// 936, 950 and 932: Chinese and Japanese in two-byte characters).
inline constexpr int kCandidatePages[] = {437,  850, 852, 866, 1250, 1251,
                                          1252, 936, 950, 932, 65001};

// Scores `pages` on the stored texts (field values and memos, as bytes) and answers them best
// first. Letters score by how often the best language of their script uses them (a letter it
// lacks costs), common Chinese characters score over rare ones, box drawing, controls and
// symbols between letters cost, and common words of the languages the pages serve add.
// `preferred` (the table's own page, or 0) gets the score of one more well-read character and
// comes first among equal scores; then the more common pages.
std::vector<PageScore> RankCodePages(const std::vector<std::string>& texts,
                                     const std::vector<int>& pages, int preferred);

void RegisterCodepageCommand(Commands& commands);

}  // namespace vx::tool
