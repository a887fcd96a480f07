// The code-page ranking: the page the text was written in comes first, for every script the
// candidate pages serve; ties go to the table's own page, then to the common pages.

#include "engine/table/code_page_ranking.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

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
      // Western text whose bytes Central European pages read as their letters.
      {1252, {"Crème brûlée", "Smørrebrød", "Ærøskøbing Äpfel", "Zoë's café"}},
      {437, {"Bäckerei Müller, Größe", "Très bien, à bientôt", "Año nuevo, señor"}},
      {1253, {"Καλημέρα", "Θεσσαλονίκη, οδός Εγνατίας"}},
      {1254, {"Şişli, İstanbul", "Güle güle, teşekkür ederiz"}},
      {1257, {"Klaipėda, Šiaulių gatvė", "Rīga, Brīvības iela"}},
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
    std::size_t high = 0;
    for (const std::string& t : stored) {
      for (const char b : t) high += static_cast<unsigned char>(b) >= 0x80;
    }
    EXPECT_FALSE(TooCloseToCall(ranked, high)) << ranked[1].page;
    // The sample words, decoded in the right page, are words of the text.
    EXPECT_NE(std::string(c.utf8[0]).find(ranked[0].samples.at(0)), std::string::npos);
  }
  // Text every page reads alike: the preferred page, then the common ones.
  // German letters sit at the same bytes in 437 and 850: nothing tells those two apart.
  const std::vector<PageScore> german = RankCodePages(
      {os::EncodeCodePage(850, "Größe über Äpfel", os::OnFault::kStop).text}, {437, 850, 1252}, 0);
  EXPECT_EQ(german[0].page, 437);
  EXPECT_EQ(german[1].page, 850);
  EXPECT_TRUE(german[1].reads_as_best);
  EXPECT_FALSE(german[2].reads_as_best);
  EXPECT_FALSE(TooCloseToCall(german, 6)) << "equivalent pages are not close ones";
  // Text whose bytes 1252 and 1250 both read as the same letters: equivalent, the more common
  // first.
  const std::vector<PageScore> shared = RankCodePages(
      {os::EncodeCodePage(1250, "Größe über Äpfel, café", os::OnFault::kStop).text},
      {1250, 852, 1252}, 0);
  EXPECT_EQ(shared[0].page, 1252);
  EXPECT_TRUE(shared[1].reads_as_best);
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

// --- Accuracy on sentences in many languages -------------------------------------------------

// One small table of the sentence files: its values, stored in one page.
struct StoredSample {
  std::string language;
  int page = 0;
  std::vector<std::string> texts;
};

std::vector<StoredSample> ReadSamples(const std::string& name) {
  std::ifstream in(std::string(VX_CODE_PAGE_TEXT) + "/" + name);
  EXPECT_TRUE(in) << name;
  std::vector<StoredSample> samples;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream head(line.substr(0, line.find(" | ")));
    std::string language, pages;
    head >> language >> pages;
    std::vector<std::string> values;
    for (std::size_t pos = line.find(" | "); pos != std::string::npos;) {
      const std::size_t next = line.find(" | ", pos + 3);
      values.push_back(line.substr(pos + 3, next == std::string::npos ? next : next - pos - 3));
      pos = next;
    }
    for (std::size_t pos = 0; pos < pages.size();) {
      const std::size_t comma = std::min(pages.find(',', pos), pages.size());
      StoredSample sample{language, std::stoi(pages.substr(pos, comma - pos)), {}};
      for (const std::string& value : values) {
        const os::ConvertedText stored = os::EncodeCodePage(sample.page, value, os::OnFault::kStop);
        EXPECT_EQ(stored.fault, os::TextFault::kNone) << value << " in " << sample.page;
        sample.texts.push_back(stored.text);
      }
      samples.push_back(std::move(sample));
      pos = comma + 1;
    }
  }
  return samples;
}

// How the ranking does on a sentence file: right (the first page, or one that reads every byte
// as the same letter as the first, is the page the text was stored in), too close to call, and
// the wrong first pages by the right one.
struct Accuracy {
  std::size_t samples = 0, right = 0, close = 0;
  std::map<std::pair<int, int>, int> confusions;  // (stored in, ranked first) -> count
  double Share() const { return samples == 0 ? 0 : static_cast<double>(right) / samples; }
  std::string Report() const {
    std::string out = std::to_string(right) + " of " + std::to_string(samples) + " right, " +
                      std::to_string(close) + " too close to call;";
    for (const auto& [pair, count] : confusions) {
      out += " " + std::to_string(pair.first) + "->" + std::to_string(pair.second) + " x" +
             std::to_string(count);
    }
    return out;
  }
};

Accuracy Measure(const std::vector<StoredSample>& samples, bool verbose) {
  Accuracy a;
  const std::vector<int> pages(std::begin(kCandidatePages), std::end(kCandidatePages));
  for (const StoredSample& s : samples) {
    const std::vector<PageScore> ranked = RankCodePages(s.texts, pages, 0);
    std::size_t high = 0;
    for (const std::string& t : s.texts) {
      for (const char c : t) high += static_cast<unsigned char>(c) >= 0x80;
    }
    ++a.samples;
    bool right = ranked[0].page == s.page;
    for (const PageScore& p : ranked) right = right || (p.page == s.page && p.reads_as_best);
    if (right) ++a.right;
    if (TooCloseToCall(ranked, high)) ++a.close;
    if (!right) ++a.confusions[{s.page, ranked[0].page}];
    if (verbose && (!right || TooCloseToCall(ranked, high))) {
      std::printf("%s%s %d -> %d (%.2f vs %.2f): %s\n", right ? "close " : "",
                  s.language.c_str(), s.page,
                  ranked[0].page, ranked[0].score, ranked[1].score,
                  os::DecodeCodePage(s.page, s.texts[0], os::OnFault::kReplace).text.c_str());
    }
  }
  return a;
}

// The ranking is tuned on training.txt; heldout.txt measures it. The figure asserted is the one
// reached when the tuning was done (the README quotes it with its confusions).
TEST(RankCodePagesTest, HeldOutSentencesAreReadInTheirPage) {
  const Accuracy a = Measure(ReadSamples("heldout.txt"), std::getenv("VX_RANKING_VERBOSE"));
  std::printf("held-out: %s\n", a.Report().c_str());
  EXPECT_GE(a.right, 236U) << a.Report();  // 236 of 238 when tuned
}

// The tuning aid: run with --gtest_also_run_disabled_tests.
TEST(RankCodePagesTest, DISABLED_TrainingSentences) {
  const Accuracy a = Measure(ReadSamples("training.txt"), true);
  std::printf("training: %s\n", a.Report().c_str());
}

}  // namespace
}  // namespace vx
