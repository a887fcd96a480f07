// The browser window driven as a user would: typing into the search field in tag order, going
// back to natural order, a record another program holds locked, and every corpus table opened
// and drawn once.

#include <gmock/gmock.h>

#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>

#include "browser/browser_form.h"
#include "engine/index/orders.h"
#include "engine/workarea/work_areas.h"
#include "platform/os/codepage.h"
#include "platform/os/file.h"
#include "tests/components/dataset/dataset_fixture.h"
#include "tests/engine/index/index_fixture.h"
#include "tests/support/mdx_writer.h"

namespace vx::browser {
namespace {

using ::testing::ElementsAreArray;

// Record order; the TITLE tag orders them Alien, Casablanca, Ma Vie, Mad Max, Matrix, ...
const std::vector<std::string> kTitles = {"Zorro",  "Matrix",     "Alien",     "Mad Max",
                                          "Ma Vie", "Casablanca", "Metropolis"};

class BrowserTest : public test::DatasetTest {
 protected:
  void TearDown() override {
    delete browser_;
    browser_ = nullptr;
    DatasetTest::TearDown();
  }

  std::string MakeFilmTable() { return MakeIndexedFilms(kTitles); }

  TBrowserForm* Browse(const std::string& path) {
    browser_ = new TBrowserForm(nullptr);
    browser_->Show();
    EXPECT_TRUE(browser_->OpenTable(path));
    return browser_;
  }

  static void Type(QWidget* widget, const std::string& text) {
    for (char c : text) {
      QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(QChar(c)));
      QApplication::sendEvent(widget, &press);
    }
  }

  // The TITLE of every row in the grid's window, top to bottom.
  std::vector<std::string> GridTitles() {
    std::vector<std::string> titles;
    TDataLink& link = browser_->Grid->DataLink();
    for (int row = 0; row < link.RecordCount(); ++row) {
      LinkRecordScope scope(link, row);
      titles.push_back(browser_->Table->FieldByName("TITLE")->AsString());
    }
    return titles;
  }

  std::string CurrentTitle() { return browser_->Table->FieldByName("TITLE")->AsString(); }

  TBrowserForm* browser_ = nullptr;
};

TEST_F(BrowserTest, SearchFieldSeeksAsYouTypeInTagOrderAndNaturalOrderRestoresRecordOrder) {
  Browse(MakeFilmTable());
  ASSERT_EQ(browser_->OrderBox->count(), 2);
  EXPECT_EQ(browser_->OrderBox->itemText(1).toStdString(), "TITLE");
  EXPECT_THAT(GridTitles(), ElementsAreArray(kTitles));  // opens in natural order

  browser_->OrderBox->setCurrentIndex(1);
  EXPECT_EQ(browser_->Table->ActiveOrder(), 1);
  EXPECT_FALSE(browser_->Table->IsSequenced());
  std::vector<std::string> sorted = kTitles;
  std::sort(sorted.begin(), sorted.end());
  browser_->Table->First();
  EXPECT_THAT(GridTitles(), ElementsAreArray(sorted));

  Type(browser_->SearchField, "M");
  EXPECT_EQ(CurrentTitle(), "Ma Vie");
  Type(browser_->SearchField, "at");
  EXPECT_EQ(CurrentTitle(), "Matrix");
  // A text beyond every key leaves the cursor on the last record in key order.
  browser_->SearchField->setText("Zz");
  EXPECT_EQ(CurrentTitle(), "Zorro");

  browser_->OrderBox->setCurrentIndex(0);
  EXPECT_TRUE(browser_->Table->IsSequenced());
  browser_->Table->First();
  EXPECT_THAT(GridTitles(), ElementsAreArray(kTitles));
  EXPECT_TRUE(RecordedMessages().empty());
}

TEST_F(BrowserTest, SearchTextThatBeginsNoKeyStandsOnTheNextHigherKey) {
  Browse(MakeFilmTable());
  browser_->OrderBox->setCurrentIndex(1);
  // Alien, Casablanca, Ma Vie, Mad Max, Matrix, Metropolis, Zorro.
  for (const auto& [text, title] :
       std::vector<std::pair<std::string, std::string>>{{"B", "Casablanca"},
                                                        {"Mb", "Metropolis"},
                                                        {"Mab", "Mad Max"},
                                                        {"N", "Zorro"},
                                                        {"A", "Alien"},
                                                        {"0", "Alien"}}) {
    browser_->SearchField->setText(QString::fromStdString(text));
    EXPECT_EQ(CurrentTitle(), title) << text;
  }
  EXPECT_TRUE(RecordedMessages().empty());
}

TEST_F(BrowserTest, SearchFindsKeysOfEveryHighByteInTheTablesOwnCodePage) {
  // An OEM table (page 850) whose CODE holds each byte 128..255 once, NUM the byte's value; the
  // search text goes into the table's page straight from what the user types.
  os::SetCodePages(850, 1252);
  std::vector<test::Row> rows;
  for (int b = 128; b < 256; ++b) rows.push_back({std::string(1, static_cast<char>(b)), b});
  test::WriteBytes(dir_.File("T.DBF"), test::TableBytes(rows));
  test::WriteBytes(dir_.File("T.MDX"), test::BuildMdx("T", test::RowTags(rows)));
  Browse(dir_.File("T.DBF"));
  browser_->OrderBox->setCurrentIndex(1);
  ASSERT_EQ(browser_->OrderBox->currentText().toStdString(), "CODE");
  for (int b = 128; b < 256; ++b) {
    const std::string typed =
        os::DecodeCodePage(850, std::string(1, static_cast<char>(b)), os::OnFault::kStop).text;
    browser_->SearchField->setText(QString::fromStdString(typed));
    EXPECT_EQ(browser_->Table->FieldByName("NUM")->AsInteger(), b) << typed;
  }
  EXPECT_TRUE(RecordedMessages().empty());
  os::SetCodePagesFromLocale();
}

TEST_F(BrowserTest, TypingMaStopsOnTheFirstTitleBeginningWithMa) {
  Browse(MakeFilmTable());
  browser_->OrderBox->setCurrentIndex(1);
  browser_->SearchField->setFocus();
  Type(browser_->SearchField, "Ma");
  EXPECT_EQ(browser_->SearchField->text().toStdString(), "Ma");
  EXPECT_EQ(CurrentTitle(), "Ma Vie");
  EXPECT_EQ(browser_->Table->RecNo(), 5);
}

TEST_F(BrowserTest, GridFollowsTheOrderWhenAKeyIsEditedAppendedOrDeleted) {
  Browse(MakeFilmTable());
  browser_->ChooseOrder(1);
  ZOvEzi* films = browser_->Table;
  ASSERT_TRUE(films->Find("Alien"));
  films->Edit();
  films->FieldByName("TITLE")->SetAsString("Nosferatu");
  films->Post();
  EXPECT_THAT(RecordedMessages(), ::testing::IsEmpty());
  // The record moved to its new place in the order and the cursor went with it.
  EXPECT_EQ(CurrentTitle(), "Nosferatu");
  EXPECT_EQ(films->RecNo(), 3);
  films->Next();
  EXPECT_EQ(CurrentTitle(), "Zorro");
  films->First();
  EXPECT_THAT(GridTitles(), ElementsAreArray({"Casablanca", "Ma Vie", "Mad Max", "Matrix",
                                              "Metropolis", "Nosferatu", "Zorro"}));
  // An appended record takes its place in the order too.
  films->Append();
  films->FieldByName("TITLE")->SetAsString("Brazil");
  films->Post();
  films->First();
  EXPECT_THAT(GridTitles(), ElementsAreArray({"Brazil", "Casablanca", "Ma Vie", "Mad Max", "Matrix",
                                              "Metropolis", "Nosferatu", "Zorro"}));
  // Hidden deleted records leave the window.
  browser_->SetShowDeleted(false);
  ASSERT_TRUE(films->Find("Matrix"));
  std::uint16_t key = VK_DELETE;
  browser_->Grid->KeyDown(key, TShiftState{ssCtrl});
  films->First();
  EXPECT_THAT(GridTitles(), ElementsAreArray({"Brazil", "Casablanca", "Ma Vie", "Mad Max",
                                              "Metropolis", "Nosferatu", "Zorro"}));
  EXPECT_THAT(RecordedMessages(), ::testing::IsEmpty());
}

TEST_F(BrowserTest, FindAndLocateLandOnTheFilmInTagOrder) {
  Browse(MakeFilmTable());
  browser_->ChooseOrder(1);
  ZOvEzi* films = browser_->Table;
  EXPECT_TRUE(films->Find("Casablanca"));
  EXPECT_EQ(CurrentTitle(), "Casablanca");
  EXPECT_FALSE(films->FindExact("Mad"));
  EXPECT_TRUE(films->Find("Mad"));
  EXPECT_EQ(CurrentTitle(), "Mad Max");
  // The key field named is not consulted: the value is sought in the active order.
  EXPECT_TRUE(films->Locate("DIRECTOR", Variant("Metropolis"), {}));
  EXPECT_EQ(CurrentTitle(), "Metropolis");
  EXPECT_FALSE(films->Locate("TITLE", Variant("Metro"), {}));
  EXPECT_TRUE(films->Locate("TITLE", Variant("Metro"), {loPartialKey}));
  // A miss without soft seek runs off the end: the dataset stands on its last record.
  EXPECT_FALSE(films->Find("Nothing"));
  EXPECT_TRUE(films->Eof());
  EXPECT_EQ(CurrentTitle(), "Zorro");
}

TEST_F(BrowserTest, RecordLockedByAnotherProgramShowsTheMarkAndRefusesTheEdit) {
  const std::string path = MakeFilmTable();
  test::Child other([&](test::Child& c) {
    os::File file;
    if (os::File::Open(path, os::kOpenReadWriteDenyNone, file) != os::kIoOk) return 1;
    if (file.LockRange(test::FilmRecordLock(3), test::kFilmRecordLength) != os::kIoOk) return 2;
    c.Send('L');
    c.Receive();
    return 0;
  });
  ASSERT_EQ(other.Receive(), 'L');

  Browse(path);
  EXPECT_EQ(browser_->LockedRecords(), std::set<std::int32_t>{3});
  const QImage picture = browser_->Render();  // the mark is drawn without trouble
  EXPECT_FALSE(picture.isNull());

  browser_->Table->SetRecNo(3);
  browser_->Table->Edit();
  browser_->Table->FieldByName("YEAR")->SetAsInteger(2001);
  browser_->Table->Post();
  EXPECT_THAT(RecordedMessages(), ElementsAreArray({"Lock failed [Post]"}));
  EXPECT_EQ(StoredField("movie.DBF", 3, test::kYear), "1992");

  other.Send('U');
  EXPECT_EQ(other.Wait(), 0);
  browser_->RefreshLocks();
  EXPECT_TRUE(browser_->LockedRecords().empty());
}

TEST_F(BrowserTest, CtrlDeleteTogglesTheMarkAndShowDeletedHidesIt) {
  // Without the index: deleting needs no key maintenance.
  ZOvEzi* films = FilmDataset();
  films->SetActive(true);
  AddFilms(*films, {{"Alien", 1979}, {"Brazil", 1985}});
  delete films;
  Browse(dir_.File("movie.DBF"));
  browser_->Table->SetRecNo(1);
  std::uint16_t key = VK_DELETE;
  browser_->Grid->KeyDown(key, TShiftState{ssCtrl});
  EXPECT_EQ(StoredFlag("movie.DBF", 1), '*');
  browser_->SetShowDeleted(false);
  browser_->Table->First();
  EXPECT_THAT(GridTitles(), ElementsAreArray({"Brazil"}));
  browser_->SetShowDeleted(true);
  browser_->Table->First();
  key = VK_DELETE;
  browser_->Grid->KeyDown(key, TShiftState{ssCtrl});
  EXPECT_EQ(StoredFlag("movie.DBF", 1), ' ');
  EXPECT_TRUE(RecordedMessages().empty());
}

TEST_F(BrowserTest, MemoColumnOpensTheMemoWindowAndOkStoresTheText) {
  ZOvEzi* films = FilmDataset();
  films->SetActive(true);
  AddFilms(*films, {{"Vertigo", 1958}});
  delete films;
  Browse(dir_.File("movie.DBF"));
  bool shown = false;
  QTimer timer;
  timer.setSingleShot(true);
  QObject::connect(&timer, &QTimer::timeout, [&] {
    TVxMemoWindow* window = browser_->MemoWindow;
    if (!window->Modal()) return;
    shown = true;
    for (QChar c : QString("A detective")) {
      QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
      QApplication::sendEvent(window->Memo->Widget(), &press);
    }
    window->SetModalResult(mrOk);
  });
  int plot = -1;
  for (int i = 0; i < browser_->Grid->Columns().Count(); ++i) {
    if (browser_->Grid->Columns().Items(i)->FieldName() == "PLOT") plot = i;
  }
  ASSERT_GE(plot, 0);
  browser_->Grid->SetSelectedIndex(plot);
  timer.start(0);
  browser_->OpenMemo();
  EXPECT_TRUE(shown);
  EXPECT_EQ(StoredPlot(1), "A detective");
  EXPECT_THAT(RecordedMessages(), ::testing::IsEmpty());
}

TEST_F(BrowserTest, DamagedTableShowsTheEngineTextInAMessageBox) {
  test::WriteBytes(dir_.File("bad.DBF"), std::vector<unsigned char>(10, 0x03));
  browser_ = new TBrowserForm(nullptr);
  EXPECT_FALSE(browser_->OpenTable(dir_.File("bad.DBF")));
  ASSERT_EQ(RecordedMessages().size(), 1u);
  EXPECT_THAT(RecordedMessages()[0], ::testing::HasSubstr("Error #"));
  EXPECT_EQ(browser_->OrderBox->count(), 1);
}

// Whether the engine opens the table and its production index (in a copy).
bool EngineAccepts(const std::string& path) {
  QuietErrors quiet;
  EngineErrorCode = 0;
  Use(path);
  if (EngineErrorCode != 0) return false;
  OpenProductionIndex();
  const bool accepted = EngineErrorCode == 0;
  CloseAll();
  EngineErrorCode = 0;
  return accepted;
}

// Corpus tables the engine opens but the dataset components refuse, with the refusal the
// browser shows: numeric fields wider than 20 digits and a repeated field name.
const std::map<std::string, std::string> kDatasetRefusals = {
    {"contain_null_padded_numeric.dbf", "Invalid field size"},
    {"contain_none_float.dbf", "Invalid field size"},
    {"HOMTABV5.DBF", "Invalid field size"},
    {"dbase_03.dbf", "Table: Duplicate field name 'POINT_ID'"},
};

TEST_F(BrowserTest, OpensEveryCorpusTableTheEngineAcceptsWithoutAnErrorBox) {
  namespace fs = std::filesystem;
  const fs::path corpus = test::CorpusDir();
  if (corpus.empty() || !fs::exists(corpus)) GTEST_SKIP() << "no corpus folder at " << corpus;
  int opened = 0;
  int copies = 0;
  for (const auto& entry : fs::recursive_directory_iterator(corpus)) {
    if (!entry.is_regular_file()) continue;
    std::string ext = entry.path().extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), ::toupper);
    if (ext != ".DBF") continue;
    // A copy of the table and its companions: opening shared writes semaphore files.
    const fs::path copy = fs::path(dir_.File("c" + std::to_string(copies++)));
    fs::remove_all(copy);
    fs::create_directories(copy);
    for (const auto& sibling : fs::directory_iterator(entry.path().parent_path())) {
      if (sibling.is_regular_file() && sibling.path().stem() == entry.path().stem())
        fs::copy_file(sibling.path(), copy / sibling.path().filename());
    }
    const std::string table = (copy / entry.path().filename()).string();
    if (!EngineAccepts(table)) continue;
    SCOPED_TRACE(entry.path().string());
    ClearRecordedMessages();
    auto* browser = new TBrowserForm(nullptr);
    browser->Show();
    const auto refusal = kDatasetRefusals.find(entry.path().filename().string());
    const bool refused = refusal != kDatasetRefusals.end();
    EXPECT_EQ(browser->OpenTable(table), !refused);
    const QImage picture = browser->Render();
    EXPECT_FALSE(picture.isNull());
    for (int order = 1; order < browser->OrderBox->count(); ++order) browser->ChooseOrder(order);
    if (refused) {
      EXPECT_THAT(RecordedMessages(), ElementsAreArray({refusal->second}));
    } else {
      EXPECT_THAT(RecordedMessages(), ::testing::IsEmpty());
    }
    delete browser;
    ++opened;
  }
  EXPECT_GT(opened, 100);
}

}  // namespace
}  // namespace vx::browser
