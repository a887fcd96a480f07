// The production index set-up of the file dataset as CreateIndex asks, with the index file made
// by the test writer; and the seeks through the active order.

#include <gmock/gmock.h>

#include <ctime>
#include <filesystem>

#include "engine/index/orders.h"
#include "engine/index/semaphore.h"
#include "platform/os/codepage.h"
#include "tests/components/dataset/dataset_fixture.h"

namespace vx {
namespace {

using ::testing::ElementsAre;

const std::vector<std::string> kTitles = {"Vertigo", "Alien", "Metropolis", "Casablanca"};
// IndexList lines describing exactly the writer's TITLE tag.
const std::vector<std::string> kTitleList = {"TITLE,F,F,TITLE", ""};

class IndexSetUpTest : public test::DatasetTest {
 protected:
  // A dataset over movie.DBF with IndexList lines and mode; the events are recorded.
  ZOvEzi* Films(const std::vector<std::string>& index_list, TCreateIndexType mode,
                bool can_make = true) {
    ZOvEzi* films = FilmDataset();
    for (const std::string& line : index_list) films->IndexList().Add(line);
    films->SetCreateIndex(mode);
    films->OnBeforeMakeIndex = [this, can_make](const std::string& name, bool& make) {
      events_.push_back("before " + std::filesystem::path(name).filename().string());
      make = can_make;
    };
    films->OnAfterMakeIndex = [this](const std::string& name) {
      events_.push_back("after " + std::filesystem::path(name).filename().string());
    };
    return films;
  }
  int ProductionFlag() { return test::ReadBytes(dir_.File("movie.DBF")).at(28); }
  std::vector<std::string> events_;
};

TEST_F(IndexSetUpTest, ExistingIndexOpensWithoutBuildingInEveryModeThatKeepsIt) {
  struct Case {
    std::vector<std::string> list;
    TCreateIndexType mode;
  };
  const Case cases[] = {
      {{}, ciNotFound},                 // no list: the header flag decides, the index opens
      {{"TITLE,F,F,TITLE"}, ciAlways},  // one line is no pair: same
      {kTitleList, ciNever},
      {kTitleList, ciNotFound},
      {{"title,f,f,title", ""}, ciVerifyHeader},  // same tags, other case
  };
  MakeIndexedFilms(kTitles);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.list.empty() ? "(none)" : c.list[0]);
    events_.clear();
    ZOvEzi* films = Films(c.list, c.mode);
    films->SetActive(true);
    EXPECT_THAT(films->OrderNames(), ElementsAre("TITLE"));
    EXPECT_TRUE(events_.empty());
    delete films;
    EXPECT_EQ(ProductionFlag(), 1);
  }
}

// Counts the progress window's steps and remembers its title.
struct ProgressCount : TIndexProgress {
  static inline int steps = 0;
  static inline std::string title;
  void Step() override { ++steps; }
};

TEST_F(IndexSetUpTest, TwoTagListBuildsOnFirstOpenOpensOnTheNextRebuildsForOtherTags) {
  ZOvEzi* films = FilmDataset();
  films->SetActive(true);
  AddFilms(*films, {{"Vertigo", 1958}, {"alien", 1979}, {"Metropolis", 1927}});
  delete films;
  ASSERT_FALSE(std::filesystem::exists(dir_.File("movie.MDX")));
  IndexProgressMaker = [](const std::string& title) {
    ProgressCount::title = title;
    return std::make_unique<ProgressCount>();
  };
  const std::vector<std::string> two_tags = {"UTITLE,F,F,UPPER(TITLE)", "", "YEAR,T,F,YEAR",
                                             ".NOT. DELETED()"};

  // First open: built, with 100 steps per tag in a window titled for the index.
  films = Films(two_tags, ciNotFound);
  films->SetActive(true);
  EXPECT_THAT(events_, ElementsAre("before movie.MDX", "after movie.MDX"));
  EXPECT_EQ(ProgressCount::steps, 200);
  EXPECT_EQ(ProgressCount::title, "Indexing " + dir_.File("movie.MDX") + "...");
  EXPECT_THAT(films->OrderNames(), ElementsAre("UTITLE", "YEAR"));
  EXPECT_TRUE(films->Find("ALIEN"));
  EXPECT_EQ(films->RecNo(), 2);
  films->SetActiveOrder(2);  // descending years
  films->First();
  EXPECT_EQ(films->FieldByName("YEAR")->AsInteger(), 1979);
  delete films;
  EXPECT_EQ(ProductionFlag(), 1);

  // Next opens: the index is there and its tags are the list's.
  for (TCreateIndexType mode : {ciNotFound, ciVerifyHeader}) {
    events_.clear();
    films = Films(two_tags, mode);
    films->SetActive(true);
    EXPECT_TRUE(events_.empty()) << mode;
    EXPECT_THAT(films->OrderNames(), ElementsAre("UTITLE", "YEAR"));
    delete films;
  }

  // Other tags: ciVerifyHeader rebuilds; a handler that declines leaves the flag off.
  films = Films({"DIRECTOR,F,F,DIRECTOR", ""}, ciVerifyHeader);
  films->SetActive(true);
  EXPECT_THAT(events_, ElementsAre("before movie.MDX", "after movie.MDX"));
  EXPECT_THAT(films->OrderNames(), ElementsAre("DIRECTOR"));
  delete films;
  events_.clear();
  films = Films({"YEAR,F,F,YEAR", ""}, ciVerifyHeader, false);
  films->SetActive(true);
  EXPECT_THAT(events_, ElementsAre("before movie.MDX"));
  EXPECT_TRUE(films->OrderNames().empty());
  delete films;
  EXPECT_EQ(ProductionFlag(), 0);
  IndexProgressMaker = nullptr;
}

TEST_F(IndexSetUpTest, ADamagedIndexIsRebuiltWhenItCannotBeOpened) {
  const struct {
    const char* what;
    void (*damage)(std::vector<unsigned char>&);
  } cases[] = {
      {"cut below an index's size", [](auto& f) { f.resize(2500); }},
      {"version byte", [](auto& f) { f[0] = 9; }},
      {"tag header key length", [](auto& f) { f[4 * 512 + 12] = 0; }},
  };
  MakeIndexedFilms(kTitles);
  const auto sound = test::ReadBytes(dir_.File("movie.MDX"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto bytes = sound;
    c.damage(bytes);
    test::WriteBytes(dir_.File("movie.MDX"), bytes);
    events_.clear();
    ZOvEzi* films = Films(kTitleList, ciNotFound);
    films->SetActive(true);
    EXPECT_THAT(events_, ElementsAre("before movie.MDX", "after movie.MDX"));
    EXPECT_THAT(films->OrderNames(), ElementsAre("TITLE"));
    EXPECT_TRUE(films->Find("Casablanca"));
    EXPECT_EQ(films->RecNo(), 4);
    delete films;
    EXPECT_NE(test::ReadBytes(dir_.File("movie.MDX")), bytes);
  }
}

TEST(IndexListPairTest, FlagsAtTheirPlacesAndTheRestIsTheKey) {
  TagDefinition d;
  ASSERT_TRUE(ParseIndexListPair("NAME,T,T,UPPER(A)+B", " .NOT. DELETED() ", d));
  EXPECT_EQ(d.name, "NAME");
  EXPECT_TRUE(d.descending);
  EXPECT_TRUE(d.unique);
  EXPECT_EQ(d.key_expression, "UPPER(A)+B");
  EXPECT_EQ(d.for_condition, ".NOT. DELETED()");
  ASSERT_TRUE(ParseIndexListPair("A_VERY_LONG_NAME,F;x", "", d));
  EXPECT_EQ(d.name, "A_VERY_LON");
  EXPECT_FALSE(d.descending);
  EXPECT_FALSE(d.unique);
  EXPECT_EQ(d.key_expression, "");
  EXPECT_FALSE(ParseIndexListPair("no comma", "", d));
}

TEST_F(IndexSetUpTest, SemaphoreOfTodayMeansAnotherProgramIsIndexing) {
  MakeIndexedFilms(kTitles);
  const std::string semaphore = SemaphoreFileName(dir_.File("movie.DBF"));
  // Another program logged in (one login, no reader, update counter 0).
  test::WriteBytes(semaphore, {1, 0, 0, 0});
  ZOvEzi* films = Films({"YEAR,F,F,YEAR", ""}, ciAlways);
  films->SetActive(true);
  EXPECT_TRUE(events_.empty());  // opened as it is, not rebuilt
  EXPECT_THAT(films->OrderNames(), ElementsAre("TITLE"));
  delete films;

  // One of another day is stale: erased, and the index is rebuilt.
  test::WriteBytes(semaphore, {1, 0, 0, 0});
  const auto yesterday = std::filesystem::last_write_time(semaphore) - std::chrono::hours(48);
  std::filesystem::last_write_time(semaphore, yesterday);
  films = Films({"YEAR,F,F,YEAR", ""}, ciAlways, false);
  films->SetActive(true);
  EXPECT_THAT(events_, ElementsAre("before movie.MDX"));
  EXPECT_FALSE(std::filesystem::exists(semaphore));
  delete films;
}

TEST_F(IndexSetUpTest, AnUpperKeyOfAccentedTitlesOnAnOemTableIsFoundAsTyped) {
  // Titles in the program's ANSI text go to the table as OEM (850); the component builds
  // UPPER(TITLE) from the stored bytes, with case in that page, and Find converts the text the
  // same way: every title is found, and walking the order re-finds every record's key.
  os::SetCodePages(850, 1252);
  ZOvEzi* films = FilmDataset();
  films->SetActive(true);
  const std::vector<std::string> titles = {"\xC9lan", "\xE9t\xE9", "\xD1u", "\xC4pfel", "Zorro"};
  std::vector<std::pair<std::string, int>> rows;
  for (const std::string& title : titles) rows.emplace_back(title, 2000);
  AddFilms(*films, rows);
  delete films;
  films = Films({"UTITLE,F,F,UPPER(TITLE)", ""}, ciNotFound);
  films->SetActive(true);
  EXPECT_EQ(films->TableCodePage(), 850);
  for (std::size_t i = 0; i < titles.size(); ++i) {
    EXPECT_TRUE(films->Find(os::AnsiUpperText(titles[i]))) << i;
    EXPECT_EQ(films->RecNo(), static_cast<std::int32_t>(i + 1));
    // The stored page's bytes find it as well: 0x90 is \xC9 in 850.
  }
  EXPECT_TRUE(films->FindStored("\x90T\x90"));
  EXPECT_EQ(films->RecNo(), 2);
  std::vector<std::int32_t> order;
  for (films->First(); !films->Eof(); films->Next()) order.push_back(films->RecNo());
  EXPECT_THAT(order, ElementsAre(5, 4, 1, 2, 3));  // Zorro, then 0x8E, 0x90 (two), 0xA5
  delete films;
  os::SetCodePagesFromLocale();
}

TEST_F(IndexSetUpTest, FindFindExactAndLocateSeekTheActiveOrder) {
  MakeIndexedFilms(kTitles);
  ZOvEzi* films = Films({}, ciNever);
  films->SetActive(true);
  EXPECT_EQ(films->ActiveOrder(), 1);  // the production index opens with its first tag
  EXPECT_FALSE(films->IsSequenced());
  EXPECT_TRUE(films->Find("Metro"));
  EXPECT_EQ(films->FieldByName("TITLE")->AsString(), "Metropolis");
  EXPECT_FALSE(films->FindExact("Metro"));
  EXPECT_TRUE(films->FindExact("Alien"));
  EXPECT_EQ(films->RecNo(), 2);
  EXPECT_FALSE(KeyPadding);  // restored after the exact seek
  // Locate seeks the value whatever field it names.
  EXPECT_TRUE(films->Locate("YEAR", Variant("Casablanca"), {}));
  EXPECT_EQ(films->RecNo(), 4);
  // Key order, both ways.
  std::vector<std::string> order;
  for (films->First(); !films->Eof(); films->Next())
    order.push_back(films->FieldByName("TITLE")->AsString());
  EXPECT_THAT(order, ElementsAre("Alien", "Casablanca", "Metropolis", "Vertigo"));
  films->Last();
  films->Prior();
  EXPECT_EQ(films->FieldByName("TITLE")->AsString(), "Metropolis");
  // Natural order: Locate searches the records themselves.
  films->SetActiveOrder(0);
  EXPECT_TRUE(films->IsSequenced());
  EXPECT_EQ(films->FieldByName("TITLE")->AsString(), "Metropolis");  // stays on the record
  EXPECT_TRUE(films->Locate("TITLE", Variant("Vertigo"), {}));
  EXPECT_EQ(films->RecNo(), 1);
  delete films;
}

}  // namespace
}  // namespace vx
