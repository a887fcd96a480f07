// The code-page ranking: the page the text was written in comes first, for every script the
// candidate pages serve; ties go to the table's own page, then to the common pages.

#include "engine/table/code_page_ranking.h"

#include <gtest/gtest.h>

#include "platform/os/codepage.h"

namespace vx {
namespace {

TEST(RankCodePagesTest, TheRightPageComesFirst) {
  const struct {
    int page;
    std::vector<const char*> utf8;
  } kCases[] = {
      {437, {"Ein Mann sucht Bücher über Ölmalerei.", "Größe für später"}},
      {850, {"São João e a população", "Øresund"}},
      {852, {"Zażółć gęślą jaźń", "Łódź, ulica Piękna"}},
      {866, {"Привет, мир", "Москва, улица Тверская"}},
      {1250, {"Příliš žluťoučký kůň úpěl ďábelské ódy", "Łódź się już"}},
      {1251, {"Привет, мир", "Москва, улица Тверская"}},
      {1252, {"Crème brûlée à la française", "Año nuevo, señor"}},
      {65001, {"Crème brûlée à la française", "Привет"}},
      // Pages that read the same bytes as letters: the letters' shares in the language decide.
      {1250, {"Jihočeský kraj", "Středočeský kraj", "Kraj Vysočina"}},
      {1250, {"Žluťoučký kůň", "Ústí nad Labem"}},
      {1251, {"Республика", "Оренбургская область"}},
      {1251, {"Тверь", "Щёлково"}},
      {936, {"报警信号", "温度超限", "压力传感器故障"}},
      {950, {"溫度過高", "壓力感測器故障", "電動機運轉"}},
      {932, {"温度が高すぎます", "ポンプの故障"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.page);
    std::vector<std::string> stored;
    for (const char* text : c.utf8) {
      stored.push_back(os::EncodeCodePage(c.page, text, os::OnFault::kStop).text);
    }
    const std::vector<int> pages(std::begin(kCandidatePages), std::end(kCandidatePages));
    const std::vector<PageScore> ranked = RankCodePages(stored, pages, 0);
    ASSERT_EQ(ranked.size(), pages.size());
    EXPECT_EQ(ranked[0].page, c.page) << ranked[0].score << " " << ranked[1].score;
    EXPECT_GT(ranked[0].score, 0);
    // The sample words, decoded in the right page, are words of the text.
    EXPECT_NE(std::string(c.utf8[0]).find(ranked[0].samples.at(0)), std::string::npos);
  }
  // Text every page reads alike: the preferred page, then the common ones.
  // German letters sit at the same bytes in 437 and 850: nothing tells those two apart.
  const std::vector<PageScore> german = RankCodePages(
      {os::EncodeCodePage(850, "Größe über Äpfel", os::OnFault::kStop).text}, {437, 850, 1252}, 0);
  EXPECT_LT(german[0].score - german[1].score, 0.1);
  EXPECT_EQ(RankCodePages({"plain"}, {852, 437, 1252}, 0)[0].page, 1252);
  EXPECT_EQ(RankCodePages({"plain"}, {852, 437, 1252}, 852)[0].page, 852);
}

TEST(RankCodePagesTest, BinaryValuesAndThinEvidenceDecideNothing) {
  EXPECT_TRUE(LooksBinary(std::string("\x89PNG\r\n", 6)));
  EXPECT_TRUE(LooksBinary(std::string("ab\0cd", 5)));
  EXPECT_TRUE(LooksBinary("\x01\x02\x03 text"));
  EXPECT_FALSE(LooksBinary("Crème brûlée\r\n\tà la française\x1A"));
  // One byte beyond ASCII, a letter in both pages: nothing tells them apart.
  const std::string lone = os::EncodeCodePage(1252, "ñ", os::OnFault::kStop).text;
  const std::vector<PageScore> ranked = RankCodePages({lone}, {1252, 1251}, 0);
  EXPECT_TRUE(TooCloseToCall(ranked, 1));
  EXPECT_FALSE(TooCloseToCall({ranked[0]}, 1));
}

}  // namespace
}  // namespace vx
